// Which keyboards the agent serves and which report it acts on; the diagnosis tool judges by the same.
#pragma once
#include <windows.h>

#include <stddef.h>

struct KeyboardId {
    USHORT vendorId;
    USHORT productId;
};

// The keyboards' vendor-defined collection that carries the shortcut report.
const USHORT VendorUsagePage = 0xFF00;
const USHORT VendorUsage = 0x0001;

extern const KeyboardId SupportedKeyboards[3];

bool IsSupportedKeyboard(DWORD vendorId, DWORD productId);
// Whether a row of `table` holds both ids; a vendor may have several models.
bool IsKeyboardIn(const KeyboardId* table, size_t count, DWORD vendorId, DWORD productId);

// Whether a packet of `size` bytes, already read whole, is a well-formed HID packet whose
// first report starts 00 01. Never reads outside the `size` bytes.
bool IsShortcutPacket(const RAWINPUT* packet, UINT size);
