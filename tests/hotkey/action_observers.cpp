#include "action_observers.h"

#include <tlhelp32.h>

#include <stdio.h>

#include "hotkey/shortcut_action.h"
#include "window/agent_window.h"

using namespace kvtest;

namespace observe {

const KeyLine WindowsBAsSeen[4] = {
    {0x5B, 0x5B, 0x11}, {0x42, 0x42, 0x11}, {0x5B, 0x5B, 0x91}, {0x42, 0x42, 0x91}};

std::string Describe(const KeyLine& key) {
    char text[64];
    snprintf(text, sizeof(text), "vk %02lX scan %02lX flags %02lX", key.vk, key.scan, key.flags);
    return text;
}

bool KeyObserver::Start() {
    log_ = TempPath("keyvane-keys.log");
    DeleteFileA(log_.c_str());
    const char* readyName = "Local\\keyvane-test-key-observer-ready";
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName);
    bool started = process_.Start(Quoted(BinDir() + "key_observer.exe") + " " + Quoted(log_) + " " + readyName) &&
                   WaitForSingleObject(ready, DefaultDeadlineMs) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return started;
}

void KeyObserver::Stop() { process_.Kill(); }

std::vector<KeyLine> KeyObserver::Events() const {
    std::vector<KeyLine> events;
    for (const std::string& line : ReadLines(log_)) {
        KeyLine key = {};
        if (sscanf(line.c_str(), "%lx %lx %lx", &key.vk, &key.scan, &key.flags) == 3) events.push_back(key);
    }
    return events;
}

size_t KeyObserver::WaitForEvents(size_t count) const {
    WaitFor([&] { return Events().size() >= count; });
    return Events().size();
}

LaunchLog::LaunchLog() : path_(TempPath("keyvane-launches.log")) {
    SetEnvironmentVariableA("KEYVANE_TEST_LAUNCH_LOG", path_.c_str());
    Clear();
}

std::vector<std::string> LaunchLog::Lines() const {
    std::vector<std::string> lines = ReadLines(path_);
    const std::string standIns = BinDir();
    for (std::string& line : lines)
        if (line.compare(0, standIns.size(), standIns) == 0) line.erase(0, standIns.size());
    return lines;
}

namespace {

bool StandInRunning() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    bool running = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !running; more = Process32Next(snapshot, &entry))
        for (const char* standIn : {"launch_target.exe", "msinfo32.exe", DecoyName})
            running = running || lstrcmpiA(entry.szExeFile, standIn) == 0;
    CloseHandle(snapshot);
    return running;
}

}  // namespace

std::vector<std::string> LaunchLog::WaitForLines(size_t count) const {
    WaitFor([&] { return Lines().size() >= count; });
    WaitFor([] { return !StandInRunning(); });
    return Lines();
}

void LaunchLog::Clear() const { DeleteFileA(path_.c_str()); }

bool InstallFallbackStandIn() {
    return CopyFileA(LaunchTargetPath().c_str(), (SystemFolder() + "\\msinfo32.exe").c_str(), FALSE) != 0;
}

std::string LaunchTargetPath() { return BinDir() + "launch_target.exe"; }

const char DecoyName[] = "keyvane_decoy.exe";

std::string FallbackLine() { return SystemFolder() + "\\msinfo32.exe|"; }

bool WriteConfig(const std::vector<ConfigValue>& values) {
    DeleteConfig();
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ConfigKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const ConfigValue& value : values) {
        bool isString = value.type == REG_SZ || value.type == REG_EXPAND_SZ;
        DWORD size = static_cast<DWORD>(value.data.size()) + (isString && !value.unterminated ? 1 : 0);
        ok = ok && RegSetValueExA(key, value.name, 0, value.type, reinterpret_cast<const BYTE*>(value.data.c_str()),
                                  size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

void DeleteConfig() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, ConfigKey); }

HWND CreateAgentWindowAs(const char* className, const char* title) {
    lstrcpynA(windowClassName, className, sizeof(windowClassName));
    lstrcpynA(windowTitle, title, sizeof(windowTitle));
    HINSTANCE instance = GetModuleHandleA(nullptr);
    RegisterAgentClass(instance);
    return CreateAgentWindow(instance, SW_SHOWNORMAL) ? FindWindowA(className, title) : nullptr;
}

void PostInputs(HWND window, const std::vector<HRAWINPUT>& inputs) {
    for (HRAWINPUT input : inputs) PostMessageA(window, WM_INPUT, RIM_INPUT, reinterpret_cast<LPARAM>(input));
}

void DispatchQueued() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace observe
