// Recognising the shortcut report of a supported keyboard in a raw-input packet.
#pragma once
#include <windows.h>

struct KeyboardId {
    USHORT vendorId;
    USHORT productId;
};

// Tested in this order; each vendor has exactly one product.
extern const KeyboardId SupportedKeyboards[3];

// The agent's two raw-input reads. They default to user32; tests put a simulated keyboard here,
// since real HID hardware cannot reach them.
struct RawInputReads {
    UINT(WINAPI* getRawInputData)(HRAWINPUT, UINT, LPVOID, PUINT, UINT);
    UINT(WINAPI* getRawInputDeviceInfo)(HANDLE, UINT, LPVOID, PUINT);
};
extern RawInputReads rawInputReads;

// Larger packets are not from a keyboard report; refusing them bounds the one allocation.
const UINT MaxRawInputPacket = 0x10000;

bool IsSupportedKeyboard(DWORD vendorId, DWORD productId);

// Whether a packet of `size` bytes, already read whole, is a well-formed HID packet whose
// first report starts 00 01. Never reads outside the `size` bytes.
bool IsShortcutPacket(const RAWINPUT* packet, UINT size);

void HandleRawInput(HRAWINPUT hRawInput);
