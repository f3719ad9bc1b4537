// InstallerSteps.dll, stored in the package's Binary table: the installer's own steps around the agent.
//
// StopAgents runs as a deferred custom action without impersonation, that is as LocalSystem inside
// the installer service, before the agent's file is removed or replaced. From there it can reach
// what a program started by the installer could not: agents in every session, at whatever
// integrity level UI access gave them. It ends every process whose image is the installed
// Keyvane.exe (CustomActionData: its full path) and waits until they are gone.
//
// ObserveAgents, an immediate step before anything is removed, notes the sessions that run an
// agent; RestartAgents, as commit step (and as rollback step), starts an agent again in each of
// them once the installation is through (or undone). CheckNewerVersion, another immediate step,
// refuses an older build over a later one that differs only in the fourth version field.
//
// None of them ever fails the installation: a process it cannot end, or a session it cannot start
// an agent in, is written to the installer's log and the step returns success. Windows Installer
// then treats a file still in use as such (replaced or deleted at the next restart, exit code 3010
// under /norestart) instead of rolling everything back.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "installer_steps.h"

namespace {

// The exit code of an agent this step ends. The agent never returns it by itself (it returns its
// quit message's code, 0 from every Keyvane program), so a process list or a debugger shows who
// ended it.
const UINT EndedByInstallerExitCode = ERROR_PROCESS_ABORTED;
// TerminateProcess only starts the end of a process; the files wait this long at most for it.
const ULONGLONG DeadlineMs = 10000;
// Longest path Windows Installer or QueryFullProcessImageNameW hands over, terminator included.
const DWORD LongestPath = 32768;
// Processes ended in one round; more are found by the next.
const DWORD RoundSize = 64;
// Sessions noted by ObserveAgents; more are left to the next logon.
const DWORD MostSessions = 256;
// How long a restart waits for cmd to hand the agent to the shell, to log the outcome.
const DWORD StartWaitMs = 10000;

// No C++ library, which would make the DLL fifteen times as large. One thread calls the step,
// once per process.
wchar_t installedExe[LongestPath];
wchar_t image[LongestPath];
wchar_t logLine[LongestPath + 200];

// A line in the installer's log (msiexec /l*v).
void Log(MSIHANDLE install, const wchar_t* format, ...) {
    const wchar_t prefix[] = L"Keyvane: ";
    const size_t start = sizeof(prefix) / sizeof(prefix[0]) - 1, end = sizeof(logLine) / sizeof(logLine[0]) - 1;
    wcscpy(logLine, prefix);
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(logLine + start, end - start, format, arguments);
    va_end(arguments);
    logLine[end] = L'\0';  // not written when the text is cut
    MSIHANDLE record = MsiCreateRecord(0);
    if (!record) return;
    MsiRecordSetStringW(record, 0, logLine);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

const wchar_t* FileName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    return name;
}

struct Agent {
    HANDLE process;
    DWORD id;
};

// Opens up to RoundSize running processes of the installed exe, to end them and wait for them.
// The snapshot lists the processes of all sessions; its names narrow the search before the full
// path decides.
DWORD OpenAgents(MSIHANDLE install, Agent* agents) {
    DWORD count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        Log(install, L"cannot list processes: error %lu", GetLastError());
        return 0;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && count < RoundSize;
         more = Process32NextW(snapshot, &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, FileName(installedExe), -1, TRUE) != CSTR_EQUAL) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (!process) {
            Log(install, L"cannot open process %lu: error %lu", entry.th32ProcessID, GetLastError());
            continue;
        }
        DWORD size = LongestPath;
        if (!QueryFullProcessImageNameW(process, 0, image, &size)) {
            Log(install, L"cannot read the image of process %lu: error %lu", entry.th32ProcessID, GetLastError());
            CloseHandle(process);
            continue;
        }
        // One that has ended already is gone as far as the files are concerned.
        if (!IsImageOfInstallation(image, installedExe) || WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
            CloseHandle(process);
            continue;
        }
        agents[count++] = Agent{process, entry.th32ProcessID};
    }
    CloseHandle(snapshot);
    return count;
}

// Taking a user's token and starting a process with it need these privileges of LocalSystem;
// enabled once, for the custom action's own process (a token may hold them disabled).
void EnableStartPrivileges(MSIHANDLE install) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    const wchar_t* const names[] = {L"SeTcbPrivilege", L"SeAssignPrimaryTokenPrivilege", L"SeIncreaseQuotaPrivilege"};
    for (const wchar_t* name : names) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) ||
            !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
            GetLastError() == ERROR_NOT_ALL_ASSIGNED)
            Log(install, L"cannot enable %ls: error %lu", name, GetLastError());
    }
    CloseHandle(token);
}

// cmd, started in the user's session with the user's own token, hands the agent to the shell.
void StartAgentInSession(MSIHANDLE install, DWORD session, const wchar_t* agent) {
    wchar_t command[LongestPath + 64], cmd[MAX_PATH], system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 9 || !AgentStartCommand(agent, command, sizeof(command) / sizeof(command[0]))) {
        Log(install, L"cannot start %ls in session %lu: unusable path", agent, session);
        return;
    }
    _snwprintf(cmd, MAX_PATH, L"%ls\\cmd.exe", system);
    cmd[MAX_PATH - 1] = L'\0';
    HANDLE token;
    if (!WTSQueryUserToken(session, &token)) {
        // Nobody is logged on there any more: the next logon starts the agent from the Run value.
        Log(install, L"no user token for session %lu: error %lu", session, GetLastError());
        return;
    }
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
    PROCESS_INFORMATION process = {};
    if (CreateProcessAsUserW(token, cmd, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                             environment, system, &startup, &process)) {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process.hProcess, StartWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
        Log(install, L"started %ls in session %lu (cmd exit code %lu)", agent, session, code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        Log(install, L"cannot start %ls in session %lu: error %lu", agent, session, GetLastError());
    }
    if (environment) DestroyEnvironmentBlock(environment);
    CloseHandle(token);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install) {
    DWORD size = LongestPath;
    if (MsiGetPropertyW(install, L"CustomActionData", installedExe, &size) != ERROR_SUCCESS || !installedExe[0]) {
        Log(install, L"no installed path given; nothing ended");
        return ERROR_SUCCESS;
    }
    const ULONGLONG deadline = GetTickCount64() + DeadlineMs;
    unsigned long ended = 0, left = 0;
    Agent agents[RoundSize];
    // Again until none is found: an agent may start (at a logon) while others are being ended.
    for (;;) {
        DWORD count = OpenAgents(install, agents);
        if (count == 0) break;
        if (GetTickCount64() >= deadline) {
            for (DWORD i = 0; i < count; ++i) {
                Log(install, L"process %lu is still running", agents[i].id);
                CloseHandle(agents[i].process);
            }
            left = count;
            break;
        }
        for (DWORD i = 0; i < count; ++i)
            if (!TerminateProcess(agents[i].process, EndedByInstallerExitCode))
                Log(install, L"cannot end process %lu: error %lu", agents[i].id, GetLastError());
        for (DWORD i = 0; i < count; ++i) {
            ULONGLONG now = GetTickCount64();
            DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(agents[i].process, wait) == WAIT_OBJECT_0) ++ended;
            CloseHandle(agents[i].process);
        }
    }
    Log(install, L"ended %lu and left %lu running of %ls", ended, left, installedExe);
    return ERROR_SUCCESS;
}

// Immediate, before anything is removed (and before an upgrade removes the old version): the
// sessions that run a process of the agent's name, as "1;3", in the property AgentSessions for the
// restart steps. Listing processes needs no handle to them, so the installing user's rights do.
extern "C" __declspec(dllexport) UINT __stdcall ObserveAgents(MSIHANDLE install) {
    WTS_PROCESS_INFOW* processes = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
        Log(install, L"cannot list processes: error %lu", GetLastError());
        return ERROR_SUCCESS;
    }
    DWORD sessions[MostSessions];
    DWORD found = 0;
    for (DWORD i = 0; i < count; ++i) {
        const WTS_PROCESS_INFOW& process = processes[i];
        if (!process.pProcessName || CompareStringOrdinal(process.pProcessName, -1, L"Keyvane.exe", -1, TRUE) != CSTR_EQUAL)
            continue;
        bool known = false;
        for (DWORD j = 0; j < found; ++j) known = known || sessions[j] == process.SessionId;
        if (!known && found < MostSessions) sessions[found++] = process.SessionId;
    }
    WTSFreeMemory(processes);
    wchar_t list[MostSessions * 11 + 1];
    FormatSessionList(sessions, found, list, sizeof(list) / sizeof(list[0]));
    MsiSetPropertyW(install, L"AgentSessions", list);
    if (found) Log(install, L"agents run in session(s) %ls", list);
    return ERROR_SUCCESS;
}

// CustomActionData: the installed exe, "|", and the sessions ObserveAgents noted. An uninstall and
// an upgrade's removal of the old version hand the commit step nothing. As a rollback step it may
// run before the file is back (an upgrade's rolled-back removal of the old version restores it
// later, and that version's own rollback step then starts the agents).
extern "C" __declspec(dllexport) UINT __stdcall RestartAgents(MSIHANDLE install) {
    DWORD size = LongestPath;
    if (MsiGetPropertyW(install, L"CustomActionData", installedExe, &size) != ERROR_SUCCESS) return ERROR_SUCCESS;
    DWORD sessions[MostSessions];
    DWORD count = 0;
    const wchar_t* list = SplitRestartData(installedExe);
    if (list) count = ParseSessionList(list, sessions, MostSessions);
    if (count == 0 || !installedExe[0]) return ERROR_SUCCESS;
    if (GetFileAttributesW(installedExe) == INVALID_FILE_ATTRIBUTES) {
        Log(install, L"%ls is not in place; agents of session(s) %ls not started", installedExe, list);
        return ERROR_SUCCESS;
    }
    EnableStartPrivileges(install);
    for (DWORD i = 0; i < count; ++i) StartAgentInSession(install, sessions[i], installedExe);
    return ERROR_SUCCESS;
}

// Immediate, after FindRelatedProducts: a related product whose full version is later than this
// package's is reported as a downgrade, which the launch condition refuses (1603).
extern "C" __declspec(dllexport) UINT __stdcall CheckNewerVersion(MSIHANDLE install) {
    wchar_t packageVersion[64], related[1024], installedVersion[64];
    DWORD size = 64;
    if (MsiGetPropertyW(install, L"ProductVersion", packageVersion, &size) != ERROR_SUCCESS) return ERROR_SUCCESS;
    size = 1024;
    if (MsiGetPropertyW(install, L"WIX_UPGRADE_DETECTED", related, &size) != ERROR_SUCCESS) return ERROR_SUCCESS;
    // A list of product codes, each 38 characters, separated by semicolons.
    for (wchar_t* code = related; *code;) {
        wchar_t* next = wcschr(code, L';');
        if (next) *next++ = L'\0';
        size = 64;
        if (MsiGetProductInfoW(code, L"VersionString", installedVersion, &size) == ERROR_SUCCESS &&
            IsLaterVersion(installedVersion, packageVersion)) {
            Log(install, L"installed version %ls (%ls) is later than this package's %ls: not replaced", installedVersion,
                code, packageVersion);
            MsiSetPropertyW(install, L"WIX_DOWNGRADE_DETECTED", code);
        }
        if (!next) break;
        code = next;
    }
    return ERROR_SUCCESS;
}
