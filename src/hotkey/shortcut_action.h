// What the shortcut key does: Windows+B, then the configured application.
#pragma once
#include <windows.h>

#include "launch_config.h"

extern const char ShortcutConfigKey[];  // below HKEY_LOCAL_MACHINE
extern const char FallbackApp[];

struct KeyEvent {
    BYTE virtualKey;
    BYTE scanByte;
    DWORD flags;
};
// The four keybd_event calls of one press, in order.
extern const KeyEvent WindowsBEvents[4];

const DWORD ConfigValueBufferSize = KEYVANE_CONFIG_VALUE_BYTES;

// Reads one string value into a 512-byte buffer that always ends up terminated. False, with the
// buffer empty, when the value is missing, not a string, or does not fit with its terminator.
bool ReadConfigString(HKEY key, const char* valueName, char (&buffer)[ConfigValueBufferSize]);

void SendWindowsB();
void LaunchConfiguredApp();
void RunShortcutAction();
