#include "raw_input.h"

#include "shortcut_action.h"

RawInputReads rawInputReads = {GetRawInputData, GetRawInputDeviceInfoA};

namespace {

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
