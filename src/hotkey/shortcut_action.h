// What the shortcut key does: Windows+B, then the configured application.
#pragma once
#include <windows.h>

#include "config_value.h"

struct KeyEvent {
    BYTE virtualKey;
    BYTE scanByte;
    DWORD flags;
};
// The four keybd_event calls of one press, in order.
extern const KeyEvent WindowsBEvents[4];

void SendWindowsB();
void LaunchConfiguredApp();
void RunShortcutAction();
