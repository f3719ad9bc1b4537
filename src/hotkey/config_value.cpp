#include "config_value.h"

#include <string.h>

const char ShortcutConfigKey[] = KEYVANE_CONFIG_KEY;
const char FallbackApp[] = "msinfo32.exe";

ConfigReads configReads = {RegQueryValueExA};

bool ReadConfigString(HKEY key, const char* valueName, char (&buffer)[ConfigValueBufferSize]) {
    DWORD type = REG_NONE;
    DWORD size = sizeof(buffer);
    LSTATUS status = configReads.queryValue(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    bool isString = type == REG_SZ || type == REG_EXPAND_SZ;
    if (status != ERROR_SUCCESS || !isString || size > sizeof(buffer)) {
        buffer[0] = '\0';
        return false;
    }
    // A value may be stored without its terminating zero; it still needs room for one.
    if (size == 0 || buffer[size - 1] != '\0') {
        if (size == sizeof(buffer)) {
            buffer[0] = '\0';
            return false;
        }
        buffer[size] = '\0';
    }
    return true;
}

bool FallbackPath(char (&path)[MAX_PATH]) {
    // A bare name would be resolved through the current folder and the user's own App Paths,
    // which any program of the user can fill; the agent's rights pass to what it starts.
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + sizeof(FallbackApp) > MAX_PATH) {
        path[0] = '\0';
        return false;
    }
    path[length] = '\\';
    memcpy(path + length + 1, FallbackApp, sizeof(FallbackApp));
    return true;
}
