#include "shortcut_action.h"

#include <objbase.h>
#include <shellapi.h>
#include <string.h>

const char ShortcutConfigKey[] = KEYVANE_CONFIG_KEY;
const char FallbackApp[] = "msinfo32.exe";

// The scan bytes repeat the virtual keys and both keys are marked extended: software that
// watches for this combination may rely on exactly these events.
const KeyEvent WindowsBEvents[4] = {
    {VK_LWIN, 0x5B, KEYEVENTF_EXTENDEDKEY},
    {'B', 0x42, KEYEVENTF_EXTENDEDKEY},
    {VK_LWIN, 0x5B, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP},
    {'B', 0x42, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP},
};

namespace {

class ScopedKey {
public:
    explicit ScopedKey(HKEY key) : key_(key) {}
    ~ScopedKey() { RegCloseKey(key_); }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

private:
    HKEY key_;
};

// Once per process, on the launching thread and only when a launch is due: some file types'
// "open" runs through a COM handler. A failure changes nothing; most launches do without it.
void InitialiseComOnce() {
    static bool tried = false;
    if (tried) return;
    tried = true;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
}

bool Launch(const char* file, const char* parameters) {
    INT_PTR result = reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "open", file, parameters, "", SW_SHOWNORMAL));
    return result > 32;
}

}  // namespace

bool ReadConfigString(HKEY key, const char* valueName, char (&buffer)[ConfigValueBufferSize]) {
    DWORD type = REG_NONE;
    DWORD size = sizeof(buffer);
    LSTATUS status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
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

void SendWindowsB() {
    for (const KeyEvent& event : WindowsBEvents)
        keybd_event(event.virtualKey, event.scanByte, event.flags, 0);
}

void LaunchConfiguredApp() {
    char file[ConfigValueBufferSize] = "";
    char parameters[ConfigValueBufferSize] = "";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ShortcutConfigKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ScopedKey scopedKey(key);
        ReadConfigString(key, KEYVANE_CONFIG_FILE_VALUE, file);
        ReadConfigString(key, KEYVANE_CONFIG_PARAMETERS_VALUE, parameters);
    }
    InitialiseComOnce();
    if (file[0] != '\0' && Launch(file, parameters)) return;
    char fallback[MAX_PATH];
    if (FallbackPath(fallback)) Launch(fallback, "");
}

void RunShortcutAction() {
    SendWindowsB();
    LaunchConfiguredApp();
}
