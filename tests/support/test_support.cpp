#include "test_support.h"

#include <shellapi.h>
#include <stdio.h>

#include <gtest/gtest.h>

namespace kvtest {

std::string BinDir() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string EnvironmentValue(const char* name) {
    char value[1024];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

std::string WindowsPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string WindowsPathFromEnvironment(const char* name) { return WindowsPath(EnvironmentValue(name)); }

std::string SystemFolder() {
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof(system));
    return std::string(system, length < sizeof(system) ? length : 0);
}

std::string AgentPath() {
    std::string path = WindowsPathFromEnvironment("KEYVANE_AGENT");
    return path.empty() ? BinDir() + "Keyvane.exe" : path;
}

Process::~Process() {
    if (process_) CloseHandle(process_);
}

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
    std::swap(process_, other.process_);
    std::swap(id_, other.id_);
    return *this;
}

bool Process::Start(const std::string& commandLine) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    return true;
}

bool Process::Open(const std::string& file, const std::string& parameters) {
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    // No error dialog: a failure must come back as an error code.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = "open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info)) return false;
    if (!info.hProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    process_ = info.hProcess;
    id_ = GetProcessId(info.hProcess);
    return true;
}

DWORD Process::WaitExit(DWORD deadlineMs) {
    if (!process_ || WaitForSingleObject(process_, deadlineMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool Process::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void Process::Kill() {
    if (Running()) {
        TerminateProcess(process_, 999);
        WaitForSingleObject(process_, DefaultDeadlineMs);
    }
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

Process StartAgent(const std::string& tail, const std::string& path) {
    Process agent;
    EXPECT_TRUE(agent.Open(path, tail)) << "starting " << path << " with tail of " << tail.size()
                                        << " bytes: error " << GetLastError();
    return agent;
}

std::vector<HWND> FindAgentWindows() {
    std::vector<HWND> windows;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, AgentClass, AgentTitle)) != nullptr)
        windows.push_back(window);
    return windows;
}

HWND WaitForAgentWindow(DWORD deadlineMs) {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindWindowA(AgentClass, AgentTitle)) != nullptr; }, deadlineMs);
    return found;
}

DWORD WindowProcessId(HWND window) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    return id;
}

bool StopAllAgents() {
    return WaitFor([] {
        std::vector<HWND> windows = FindAgentWindows();
        for (HWND window : windows) PostMessageA(window, WM_QUIT, 0, 0);
        return windows.empty();
    });
}

std::string ReadFileText(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return text;
    char chunk[4096];
    size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, count);
    fclose(file);
    return text;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = ReadFileText(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool WriteFileText(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && ok;
}

std::string TempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    return std::string(dir) + name;
}

}  // namespace kvtest
