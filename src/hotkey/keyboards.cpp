#include "keyboards.h"

#include <stddef.h>

const KeyboardId SupportedKeyboards[3] = {
    {0x04B3, 0x3021},
    {0x17EF, 0x600B},
    {0x04F2, 0x0761},
};

namespace {

const BYTE ShortcutReport[2] = {0x00, 0x01};
const UINT HidReportOffset = offsetof(RAWINPUT, data.hid.bRawData);

}  // namespace

bool IsKeyboardIn(const KeyboardId* table, size_t count, DWORD vendorId, DWORD productId) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].vendorId == vendorId && table[i].productId == productId) return true;
    return false;
}

bool IsSupportedKeyboard(DWORD vendorId, DWORD productId) {
    return IsKeyboardIn(SupportedKeyboards, sizeof(SupportedKeyboards) / sizeof(SupportedKeyboards[0]), vendorId, productId);
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
