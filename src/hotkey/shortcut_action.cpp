#include "shortcut_action.h"

#include <objbase.h>
#include <shellapi.h>

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
