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

std::vector<LaunchCase> LaunchCases() {
    const std::string target = LaunchTargetPath();
    const std::string fallback = FallbackLine();
    const std::string tooLong(600, 'x');
    const std::string longest(511, 'p');  // what the 512-byte buffer holds with its terminator
    const std::string quoted = "say \"hi\" C:\\d\\\xE9";  // a quote, a backslash, a cp1252 byte
    return {
        {"file and parameters", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, "--mode quick"}}, "launch_target.exe|--mode quick", "ok"},
        {"empty parameters", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, ""}}, "launch_target.exe|", "ok"},
        {"no parameters value", {{"File", REG_SZ, target}}, "launch_target.exe|", "ok"},
        {"expandable string", {{"File", REG_EXPAND_SZ, target}, {"Parameters", REG_EXPAND_SZ, "x"}}, "launch_target.exe|x", "ok"},
        {"values without terminator", {{"File", REG_SZ, target, true}, {"Parameters", REG_SZ, "raw", true}}, "launch_target.exe|raw", "ok"},
        {"parameters not a string", {{"File", REG_SZ, target}, {"Parameters", REG_DWORD, std::string("\1\0\0\0", 4)}}, "launch_target.exe|", "ok"},
        {"parameters too long", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, tooLong}}, "launch_target.exe|", "ok"},
        {"parameters binary", {{"File", REG_SZ, target}, {"Parameters", REG_BINARY, "a b"}}, "launch_target.exe|", "ok"},
        {"parameters with a quote, a backslash and a cp1252 byte", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, quoted}}, "launch_target.exe|" + quoted, "ok"},
        {"missing file", {{"File", REG_SZ, BinDir() + "no such program.exe"}, {"Parameters", REG_SZ, "p"}}, fallback, "problem"},
        {"longest parameters", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, longest}}, "launch_target.exe|" + longest, "ok"},
        {"key absent", {}, fallback, "note"},
        {"bare name found only in the start folder", {{"File", REG_SZ, DecoyName}}, fallback, "problem"},
        {"key without values", {{"Other", REG_SZ, "x"}}, fallback, "note"},
        {"file empty", {{"File", REG_SZ, ""}, {"Parameters", REG_SZ, "p"}}, fallback, "note"},
        {"file not a string", {{"File", REG_DWORD, std::string("\1\0\0\0", 4)}}, fallback, "problem"},
        {"file binary", {{"File", REG_BINARY, target}}, fallback, "problem"},
        {"file too long", {{"File", REG_SZ, target + std::string(600, ' ')}}, fallback, "problem"},
        {"file exactly fills the buffer", {{"File", REG_SZ, std::string(512, 'y'), true}}, fallback, "problem"},
    };
}

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
