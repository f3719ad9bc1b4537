// Recognising the shortcut report of a supported keyboard in a raw-input packet.
#pragma once
#include <windows.h>

#include "keyboards.h"

// The agent's two raw-input reads. They default to user32; tests put a simulated keyboard here,
// since real HID hardware cannot reach them.
struct RawInputReads {
    UINT(WINAPI* getRawInputData)(HRAWINPUT, UINT, LPVOID, PUINT, UINT);
    UINT(WINAPI* getRawInputDeviceInfo)(HANDLE, UINT, LPVOID, PUINT);
};
extern RawInputReads rawInputReads;

// Larger packets are not from a keyboard report; refusing them bounds the one allocation.
const UINT MaxRawInputPacket = 0x10000;

void HandleRawInput(HRAWINPUT hRawInput);
