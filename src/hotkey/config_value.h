// Reading the launch configuration and the fallback's path: what a key press would start, for the
// agent and for the diagnosis tool alike.
#pragma once
#include <windows.h>

#include "launch_config.h"

extern const char ShortcutConfigKey[];  // below HKEY_LOCAL_MACHINE
extern const char FallbackApp[];  // started from the Windows system folder, never by bare name

const DWORD ConfigValueBufferSize = KEYVANE_CONFIG_VALUE_BYTES;

// The one registry read behind ReadConfigString. It defaults to advapi32; tests answer as Windows
// does where Wine does not (Wine refuses a string that fills the buffer without its terminator).
struct ConfigReads {
    LSTATUS(WINAPI* queryValue)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
};
extern ConfigReads configReads;

// Reads one string value into a 512-byte buffer that always ends up terminated. False, with the
// buffer empty, when the value is missing, not a string, or does not fit with its terminator.
bool ReadConfigString(HKEY key, const char* valueName, char (&buffer)[ConfigValueBufferSize]);

// The fallback's full path in the system folder; false, with `path` empty, when it cannot be had.
bool FallbackPath(char (&path)[MAX_PATH]);
