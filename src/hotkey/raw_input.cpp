#include "raw_input.h"

#include <stddef.h>

#include "shortcut_action.h"

const KeyboardId SupportedKeyboards[3] = {
    {0x04B3, 0x3021},
    {0x17EF, 0x600B},
    {0x04F2, 0x0761},
};

RawInputReads rawInputReads = {GetRawInputData, GetRawInputDeviceInfoA};

namespace {

const BYTE ShortcutReport[2] = {0x00, 0x01};
const UINT HidReportOffset = offsetof(RAWINPUT, data.hid.bRawData);

// Owns the packet buffer so that every return releases it.
class PacketBuffer {
public:
    explicit PacketBuffer(UINT size) : data_(HeapAlloc(GetProcessHeap(), 0, size)) {}
    ~PacketBuffer() {
        if (data_) HeapFree(GetProcessHeap(), 0, data_);
    }
    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;
    RAWINPUT* get() const { return static_cast<RAWINPUT*>(data_); }

private:
    void* data_;
};

bool ReadDeviceIds(HANDLE device, DWORD* vendorId, DWORD* productId) {
    RID_DEVICE_INFO info = {};
    info.cbSize = sizeof(info);
    UINT size = sizeof(info);
    if (rawInputReads.getRawInputDeviceInfo(device, RIDI_DEVICEINFO, &info, &size) == static_cast<UINT>(-1))
        return false;
    *vendorId = info.hid.dwVendorId;
    *productId = info.hid.dwProductId;
    return true;
}

}  // namespace

bool IsSupportedKeyboard(DWORD vendorId, DWORD productId) {
    for (const KeyboardId& keyboard : SupportedKeyboards) {
        if (keyboard.vendorId == vendorId) return keyboard.productId == productId;
    }
    return false;
}

bool IsShortcutPacket(const RAWINPUT* packet, UINT size) {
    if (size < HidReportOffset || packet->header.dwType != RIM_TYPEHID) return false;
    const RAWHID& hid = packet->data.hid;
    // The HID part must not claim more report bytes than the packet holds.
    const ULONGLONG claimed = static_cast<ULONGLONG>(hid.dwSizeHid) * hid.dwCount;
    if (hid.dwCount == 0 || hid.dwSizeHid < sizeof(ShortcutReport) || claimed > size - HidReportOffset)
        return false;
    return hid.bRawData[0] == ShortcutReport[0] && hid.bRawData[1] == ShortcutReport[1];
}

void HandleRawInput(HRAWINPUT hRawInput) {
    UINT size = 0;
    if (rawInputReads.getRawInputData(hRawInput, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0)
        return;
    if (size < sizeof(RAWINPUTHEADER) || size > MaxRawInputPacket) return;

    PacketBuffer buffer(size);
    RAWINPUT* packet = buffer.get();
    if (!packet) return;
    UINT expected = size;
    if (rawInputReads.getRawInputData(hRawInput, RID_INPUT, packet, &size, sizeof(RAWINPUTHEADER)) != expected)
        return;
    if (packet->header.dwType != RIM_TYPEHID) return;

    DWORD vendorId, productId;
    if (!ReadDeviceIds(packet->header.hDevice, &vendorId, &productId)) return;
    if (!IsSupportedKeyboard(vendorId, productId)) return;
    if (!IsShortcutPacket(packet, expected)) return;

    RunShortcutAction();
}
