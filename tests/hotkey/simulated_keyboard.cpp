#include "simulated_keyboard.h"

#include <stddef.h>
#include <string.h>

#include <map>

#include "hotkey/raw_input.h"

namespace simkb {
namespace {

struct Packet {
    std::vector<BYTE> bytes;
    Faults faults;
};
struct Device {
    DWORD vendorId;
    DWORD productId;
    USHORT usagePage;
    USHORT usage;
};

std::map<ULONG_PTR, Packet> packets;
std::map<ULONG_PTR, Device> devices;
ULONG_PTR nextPacket = 0x10000;
ULONG_PTR nextDevice = 0x100;
Reads reads;

UINT Fail(DWORD error) {
    SetLastError(error);
    return static_cast<UINT>(-1);
}

UINT WINAPI SimulatedGetRawInputData(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT headerSize) {
    if (command != RID_INPUT || headerSize != sizeof(RAWINPUTHEADER) || !size) {
        ++reads.contractViolations;
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto found = packets.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == packets.end()) return Fail(ERROR_INVALID_HANDLE);
    const Packet& packet = found->second;
    const UINT needed = static_cast<UINT>(packet.bytes.size());
    if (!data) {
        ++reads.sizeQueries;
        if (packet.faults.sizeQueryFails) return Fail(ERROR_INVALID_HANDLE);
        *size = packet.faults.overrideSize ? packet.faults.reportedSize : needed;
        return 0;
    }
    ++reads.copies;
    if (packet.faults.copyFails) return Fail(ERROR_INVALID_HANDLE);
    if (*size < needed) {
        *size = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(data, packet.bytes.data(), needed);
    return packet.faults.copyReturnsLess ? needed - 1 : needed;
}

UINT WINAPI SimulatedGetRawInputDeviceInfo(HANDLE handle, UINT command, LPVOID data, PUINT size) {
    ++reads.deviceQueries;
    if (command != RIDI_DEVICEINFO || !size) {
        ++reads.contractViolations;
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!data) {
        *size = sizeof(RID_DEVICE_INFO);
        return 0;
    }
    RID_DEVICE_INFO* info = static_cast<RID_DEVICE_INFO*>(data);
    if (*size < sizeof(RID_DEVICE_INFO) || info->cbSize != sizeof(RID_DEVICE_INFO)) {
        ++reads.contractViolations;
        *size = sizeof(RID_DEVICE_INFO);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto found = devices.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == devices.end()) return Fail(ERROR_INVALID_HANDLE);
    memset(info, 0, sizeof(*info));
    info->cbSize = sizeof(RID_DEVICE_INFO);
    info->dwType = RIM_TYPEHID;
    info->hid.dwVendorId = found->second.vendorId;
    info->hid.dwProductId = found->second.productId;
    info->hid.usUsagePage = found->second.usagePage;
    info->hid.usUsage = found->second.usage;
    return sizeof(RID_DEVICE_INFO);
}

void WriteHeader(std::vector<BYTE>& bytes, HANDLE device, DWORD type) {
    RAWINPUTHEADER header = {};
    header.dwType = type;
    header.dwSize = static_cast<DWORD>(bytes.size());
    header.hDevice = device;
    header.wParam = RIM_INPUT;
    memcpy(bytes.data(), &header, sizeof(header));
}

}  // namespace

void Install() {
    rawInputReads.getRawInputData = SimulatedGetRawInputData;
    rawInputReads.getRawInputDeviceInfo = SimulatedGetRawInputDeviceInfo;
}

void Uninstall() {
    rawInputReads.getRawInputData = GetRawInputData;
    rawInputReads.getRawInputDeviceInfo = GetRawInputDeviceInfoA;
}

HANDLE AddDevice(DWORD vendorId, DWORD productId, USHORT usagePage, USHORT usage) {
    ULONG_PTR handle = nextDevice++;
    devices[handle] = Device{vendorId, productId, usagePage, usage};
    return reinterpret_cast<HANDLE>(handle);
}

void RemoveDevices() { devices.clear(); }

UINT WINAPI DeviceList(PRAWINPUTDEVICELIST list, PUINT count, UINT entrySize) {
    if (!count || entrySize != sizeof(RAWINPUTDEVICELIST)) {
        ++reads.contractViolations;
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const UINT needed = static_cast<UINT>(devices.size());
    if (!list) {
        *count = needed;
        return 0;
    }
    if (*count < needed) {
        *count = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    for (const auto& device : devices) *list++ = RAWINPUTDEVICELIST{reinterpret_cast<HANDLE>(device.first), RIM_TYPEHID};
    return needed;
}

UINT WINAPI GetData(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT headerSize) {
    return SimulatedGetRawInputData(handle, command, data, size, headerSize);
}

UINT WINAPI GetDeviceInfo(HANDLE handle, UINT command, LPVOID data, PUINT size) {
    return SimulatedGetRawInputDeviceInfo(handle, command, data, size);
}

std::vector<BYTE> HidPacket(HANDLE device, const std::vector<std::vector<BYTE>>& reports) {
    const size_t reportOffset = offsetof(RAWINPUT, data.hid.bRawData);
    const DWORD reportSize = reports.empty() ? 0 : static_cast<DWORD>(reports[0].size());
    std::vector<BYTE> bytes(reportOffset);
    for (const std::vector<BYTE>& report : reports) bytes.insert(bytes.end(), report.begin(), report.end());
    WriteHeader(bytes, device, RIM_TYPEHID);
    const DWORD count = static_cast<DWORD>(reports.size());
    memcpy(&bytes[offsetof(RAWINPUT, data.hid.dwSizeHid)], &reportSize, sizeof(reportSize));
    memcpy(&bytes[offsetof(RAWINPUT, data.hid.dwCount)], &count, sizeof(count));
    return bytes;
}

std::vector<BYTE> HidPacket(HANDLE device, const std::vector<BYTE>& report) {
    return HidPacket(device, std::vector<std::vector<BYTE>>{report});
}

std::vector<BYTE> OtherPacket(HANDLE device, DWORD type) {
    std::vector<BYTE> bytes(sizeof(RAWINPUTHEADER) + (type == RIM_TYPEMOUSE ? sizeof(RAWMOUSE) : sizeof(RAWKEYBOARD)));
    WriteHeader(bytes, device, type);
    return bytes;
}

HRAWINPUT Queue(const std::vector<BYTE>& bytes, const Faults& faults) {
    ULONG_PTR handle = nextPacket++;
    packets[handle] = Packet{bytes, faults};
    return reinterpret_cast<HRAWINPUT>(handle);
}

Reads ReadCounts() { return reads; }

void Reset() {
    packets.clear();
    reads = Reads();
}

}  // namespace simkb
