// A simulated HID keyboard behind the agent's raw-input reads. It answers GetRawInputData and
// GetRawInputDeviceInfoA as documented, from whole RAWINPUT packets queued by a test.
#pragma once
#include <windows.h>

#include <vector>

namespace simkb {

// What a packet's reads do; the defaults follow the documented contract.
struct Faults {
    bool sizeQueryFails = false;    // the size query returns (UINT)-1
    bool overrideSize = false;      // the size query reports `reportedSize` instead of the packet's
    UINT reportedSize = 0;
    bool copyFails = false;         // the copy returns (UINT)-1
    bool copyReturnsLess = false;   // the copy returns one byte less than it copied
};

const HANDLE UnknownDevice = reinterpret_cast<HANDLE>(0x7777);

// Points the agent's reads at the simulation (and back, on Uninstall). The functions below
// answer as user32's do, for other callers' seams.
UINT WINAPI GetData(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT headerSize);
UINT WINAPI GetDeviceInfo(HANDLE handle, UINT command, LPVOID data, PUINT size);
void Install();
void Uninstall();

// A device with these identifiers, on the keyboards' vendor collection unless told otherwise; its
// handle goes into packets' hDevice.
HANDLE AddDevice(DWORD vendorId, DWORD productId, USHORT usagePage = 0xFF00, USHORT usage = 0x0001);
// Forgets every device.
void RemoveDevices();
// GetRawInputDeviceList over the added devices, all of type HID.
UINT WINAPI DeviceList(PRAWINPUTDEVICELIST list, PUINT count, UINT entrySize);

// A HID packet: header, dwSizeHid, dwCount, then `reports` (each of the same size) back to back.
std::vector<BYTE> HidPacket(HANDLE device, const std::vector<std::vector<BYTE>>& reports);
std::vector<BYTE> HidPacket(HANDLE device, const std::vector<BYTE>& report);
// A packet of another device type (RIM_TYPEKEYBOARD or RIM_TYPEMOUSE) with a zeroed body.
std::vector<BYTE> OtherPacket(HANDLE device, DWORD type);

// Queues a packet; the returned handle is what WM_INPUT carries in lParam.
HRAWINPUT Queue(const std::vector<BYTE>& packet, const Faults& faults = Faults());

// Counts of the reads, for checking what the agent asked for.
struct Reads {
    int sizeQueries = 0;
    int copies = 0;
    int deviceQueries = 0;
    int contractViolations = 0;  // wrong command, header size or record size
};
Reads ReadCounts();
void Reset();

}  // namespace simkb
