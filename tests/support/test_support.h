// Helpers shared by every test program: processes, windows and files, with deadlines.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace kvtest {

const char AgentClass[] = "Keyvane Utility";
const char AgentTitle[] = "Keyvane_Utility";
const DWORD DefaultDeadlineMs = 15000;
// The launch configuration key below HKEY_LOCAL_MACHINE: the tests' own copy, so that a slip in the
// agent's cannot pass unnoticed.
const char ConfigKey[] = "Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17\\Desktop";

// Folder of the running test program, ending in a backslash; stand-ins are built beside it.
std::string BinDir();
// The shipped agent, named by the KEYVANE_AGENT variable that CTest sets.
std::string AgentPath();
std::string EnvironmentValue(const char* name);
// CTest hands paths over as Z:/unix/path; Windows programs want backslashes.
std::string WindowsPath(std::string path);
std::string WindowsPathFromEnvironment(const char* name);
// The Windows system folder, without a trailing backslash.
std::string SystemFolder();

// Polls `condition` until it holds or the deadline passes.
template <class Condition>
bool WaitFor(Condition condition, DWORD deadlineMs = DefaultDeadlineMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start > deadlineMs) return false;
        Sleep(5);
    }
}

class Process {
public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // CreateProcessA with this exact command line. Not for the agent: Windows refuses to create
    // a process whose manifest asks for UI access (740) unless the shell hands it on.
    bool Start(const std::string& commandLine);
    // ShellExecuteExA: the way Windows lets a program start the UI-access agent. The shell makes
    // the command line `"file" parameters`.
    bool Open(const std::string& file, const std::string& parameters);
    // Exit code, or STILL_ACTIVE when the process has not ended within the deadline.
    DWORD WaitExit(DWORD deadlineMs = DefaultDeadlineMs);
    bool Running() const;
    void Kill();
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Quotes a path for a command line.
std::string Quoted(const std::string& path);

// Starts the agent at `path` with `tail` after its name, as Windows allows; a failure is
// reported with the error code.
Process StartAgent(const std::string& tail = "", const std::string& path = AgentPath());

std::vector<HWND> FindAgentWindows();
HWND WaitForAgentWindow(DWORD deadlineMs = DefaultDeadlineMs);
DWORD WindowProcessId(HWND window);
// Posts WM_QUIT to every agent window until none is left.
bool StopAllAgents();

std::string ReadFileText(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
bool WriteFileText(const std::string& path, const std::string& text);
std::string TempPath(const char* name);

}  // namespace kvtest
