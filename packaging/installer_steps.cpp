// InstallerSteps.dll, stored in the package's Binary table: the installer's own steps around the agent.
//
// StopAgents runs as a deferred custom action without impersonation, that is as LocalSystem inside
// the installer service, before the agent's file is removed or replaced. From there it can reach
// what a program started by the installer could not: agents in every session, at whatever
// integrity level UI access gave them. It ends every process whose image is the installed
// Keyvane.exe or KeyvaneCheck.exe (CustomActionData: both full paths) and waits until they are gone.
//
// RestartAgents, as commit step (and as rollback step), also LocalSystem, starts the agent in every
// session with a signed-in user that does not run one yet. It finds the sessions itself: an
// immediate step would see them with the installing user's token, which after UAC consent is the
// filtered one and lists only its own session.
//
// PrepareLaunchConfiguration (immediate, only when SHORTCUT_FILE or SHORTCUT_PARAMETERS is given)
// hands WriteLaunchConfiguration (deferred, LocalSystem) the values to write and its rollback step
// the values as they were, type and bytes. CheckNewerVersion refuses an older build over a later
// one that differs only in the fourth version field, and refuses when it cannot tell.
//
// The stop and restart steps never fail the installation: a process they cannot end, or a
// session they cannot start an agent in, is written to the installer's log. Windows Installer then
// treats a file still in use as such (replaced or deleted at the next restart, exit code 3010 under
// /norestart) instead of rolling everything back. The configuration and version steps do fail it:
// a value that could not be written, or a version that could not be judged, ends it with 1603.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "installer_steps.h"
#include "launch_config.h"

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
// Sessions served by one restart step; more are left to the next logon.
const DWORD MostSessions = 256;
// How long a restart waits for cmd to hand the agent to the shell, to log the outcome.
const DWORD StartWaitMs = 10000;

// No C++ library, which would make the DLL fifteen times as large. One thread calls the step,
// once per process.
wchar_t installedExe[LongestPath];
wchar_t checkExe[LongestPath];
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


// A property of any length, in memory from the process heap (HeapFree it); nullptr when it cannot
// be read. Empty when not set.
wchar_t* GetProperty(MSIHANDLE install, const wchar_t* name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        wchar_t none[1] = L"";
        UINT result = MsiGetPropertyW(install, name, none, &size);
        if (result != ERROR_MORE_DATA && result != ERROR_SUCCESS) break;
        ++size;
        wchar_t* value = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, size * sizeof(wchar_t)));
        if (!value) break;
        DWORD got = size;
        result = MsiGetPropertyW(install, name, value, &got);
        if (result == ERROR_SUCCESS) return value;
        HeapFree(GetProcessHeap(), 0, value);
        // ERROR_MORE_DATA: it grew in between; again.
        if (result != ERROR_MORE_DATA) {
            Log(install, L"cannot read property %ls: error %u", name, result);
            return nullptr;
        }
    }
    Log(install, L"cannot read property %ls", name);
    return nullptr;
}

void Free(void* memory) {
    if (memory) HeapFree(GetProcessHeap(), 0, memory);
}

struct Running {
    HANDLE process;
    DWORD id;
};

// Whether a snapshot entry's name is that of one of the paths (empty ones match nothing): the
// names narrow the search before the full path decides.
bool HasNameOf(const PROCESSENTRY32W& entry, const wchar_t* const* paths, DWORD pathCount) {
    for (DWORD i = 0; i < pathCount; ++i)
        if (paths[i][0] && CompareStringOrdinal(entry.szExeFile, -1, FileName(paths[i]), -1, TRUE) == CSTR_EQUAL)
            return true;
    return false;
}

// Opens, with `access`, up to `most` running processes whose image is one of the paths. The
// snapshot lists the processes of all sessions. One that has ended already is gone as far as the
// files and the sessions are concerned.
DWORD OpenRunning(MSIHANDLE install, const wchar_t* const* paths, DWORD pathCount, DWORD access, Running* found,
                  DWORD most) {
    DWORD count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        Log(install, L"cannot list processes: error %lu", GetLastError());
        return 0;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && count < most; more = Process32NextW(snapshot, &entry)) {
        if (!HasNameOf(entry, paths, pathCount)) continue;
        HANDLE process = OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
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
        bool ours = false;
        for (DWORD i = 0; i < pathCount; ++i) ours = ours || IsImageOfInstallation(image, paths[i]);
        if (!ours || WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
            CloseHandle(process);
            continue;
        }
        found[count++] = Running{process, entry.th32ProcessID};
    }
    CloseHandle(snapshot);
    return count;
}

// The installed agent and diagnosis tool, to end them and wait for them: up to RoundSize a round.
DWORD OpenInstalledProcesses(MSIHANDLE install, Running* found) {
    const wchar_t* const paths[] = {installedExe, checkExe};
    return OpenRunning(install, paths, 2, PROCESS_TERMINATE, found, RoundSize);
}

// The sessions in which a process of the installed agent runs, at most MostSessions.
DWORD SessionsWithAgent(MSIHANDLE install, DWORD* sessions) {
    const wchar_t* const paths[] = {installedExe};
    Running agents[MostSessions];
    DWORD found = OpenRunning(install, paths, 1, 0, agents, MostSessions), count = 0;
    for (DWORD i = 0; i < found; ++i) {
        DWORD session = 0;
        if (ProcessIdToSessionId(agents[i].id, &session))
            sessions[count++] = session;
        else
            Log(install, L"cannot read the session of agent process %lu: error %lu", agents[i].id, GetLastError());
        CloseHandle(agents[i].process);
    }
    return count;
}

// Taking a user's token and starting a process with it need these privileges of LocalSystem;
// enabled once, for the custom action's own process (a token may hold them disabled).
void EnableStartPrivileges(MSIHANDLE install) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        Log(install, L"cannot open the step's own token: error %lu", GetLastError());
        return;
    }
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

// cmd, started in the user's session with the user's own token and environment, hands the agent
// to the shell. One log line with the outcome.
void StartAgentInSession(MSIHANDLE install, DWORD session, const wchar_t* agent, bool inJob) {
    wchar_t command[LongestPath + 64], cmd[MAX_PATH], system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 9 || !AgentStartCommand(agent, command, sizeof(command) / sizeof(command[0]))) {
        Log(install, L"session %lu: not started, unusable path %ls", session, agent);
        return;
    }
    _snwprintf(cmd, MAX_PATH, L"%ls\\cmd.exe", system);
    cmd[MAX_PATH - 1] = L'\0';
    HANDLE token;
    if (!WTSQueryUserToken(session, &token)) {
        // Nobody is signed in there (any more): the next logon starts the agent from the Run value.
        Log(install, L"session %lu: not started, no user token: error %lu", session, GetLastError());
        return;
    }
    // LocalSystem's own environment would hand the agent, and every program it starts, the
    // service's variables and folders.
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
        Log(install, L"session %lu: not started, no environment block for its user: error %lu", session, GetLastError());
        CloseHandle(token);
        return;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
    PROCESS_INFORMATION process = {};
    // A job's processes must all run in one session: from inside one, cmd needs to leave it.
    DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | (inJob ? CREATE_BREAKAWAY_FROM_JOB : 0);
    BOOL created = CreateProcessAsUserW(token, cmd, command, nullptr, nullptr, FALSE, flags, environment, system,
                                        &startup, &process);
    const wchar_t* how = inJob ? L", out of the step's job" : L"";
    if (!created && inJob && GetLastError() == ERROR_ACCESS_DENIED) {
        // The job forbids breakaway: try within it, as the only way left.
        Log(install, L"session %lu: the step's job forbids breakaway (error 5); trying within the job", session);
        created = CreateProcessAsUserW(token, cmd, command, nullptr, nullptr, FALSE, flags & ~CREATE_BREAKAWAY_FROM_JOB,
                                       environment, system, &startup, &process);
        how = L", within the step's job";
    }
    if (created) {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process.hProcess, StartWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
        Log(install, L"session %lu: started %ls (cmd exit code %lu%ls)", session, agent, code, how);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        Log(install, L"session %lu: cannot start %ls: error %lu%ls", session, agent, GetLastError(), how);
    }
    DestroyEnvironmentBlock(environment);
    CloseHandle(token);
}

struct Session {
    DWORD id;
    int state;
};

// The sessions as LocalSystem sees them. Windows always lists at least session 0; Wine's list is
// empty, and then the sessions of the running processes stand in, each taken as active (whether a
// user is signed in there, the user token says).
DWORD FindSessions(MSIHANDLE install, Session* sessions, DWORD most) {
    DWORD count = 0;
    WTS_SESSION_INFOW* listed = nullptr;
    DWORD listedCount = 0;
    if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &listedCount)) {
        for (DWORD i = 0; i < listedCount && count < most; ++i)
            sessions[count++] = Session{listed[i].SessionId, static_cast<int>(listed[i].State)};
        WTSFreeMemory(listed);
    } else {
        Log(install, L"cannot list sessions: error %lu", GetLastError());
    }
    if (count) return count;
    WTS_PROCESS_INFOW* processes = nullptr;
    DWORD processCount = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &processCount)) {
        Log(install, L"no session listed, and cannot list processes: error %lu", GetLastError());
        return 0;
    }
    for (DWORD i = 0; i < processCount; ++i) {
        bool known = false;
        for (DWORD j = 0; j < count; ++j) known = known || sessions[j].id == processes[i].SessionId;
        if (!known && count < most) sessions[count++] = Session{processes[i].SessionId, WTSActive};
    }
    WTSFreeMemory(processes);
    Log(install, L"no session listed; serving the %lu session(s) that run processes", count);
    return count;
}

// One value of the launch configuration as it is now: its type and bytes, or absent (Remove).
// Reads into memory from the process heap (Free it); false when it cannot be read.
bool ReadCurrentValue(MSIHANDLE install, HKEY key, const wchar_t* name, ValueChange* value, BYTE** memory) {
    *memory = nullptr;
    *value = ValueChange{ValueAction::Remove, 0, nullptr, 0};
    if (!key) return true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0, size = 0;
        LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) return true;
        if (result != ERROR_SUCCESS) {
            Log(install, L"cannot read the launch configuration's %ls: error %ld", name, result);
            return false;
        }
        BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size ? size : 1));
        if (!data) return false;
        result = RegQueryValueExW(key, name, nullptr, &type, data, &size);
        if (result == ERROR_SUCCESS) {
            *memory = data;
            *value = ValueChange{ValueAction::Set, type, data, size};
            return true;
        }
        Free(data);
        if (result == ERROR_FILE_NOT_FOUND) return true;
        if (result != ERROR_MORE_DATA) {
            Log(install, L"cannot read the launch configuration's %ls: error %ld", name, result);
            return false;
        }
    }
    return false;
}

ValueChange TextValue(bool write, const wchar_t* text) {
    if (!write) return ValueChange{ValueAction::Keep, 0, nullptr, 0};
    return ValueChange{ValueAction::Set, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))};
}

// Room for both fields in text: a type, a colon and two digits a byte, each.
size_t LaunchDataRoom(const ValueChange& file, const ValueChange& parameters) {
    return 2 * 16 + 2 * (static_cast<size_t>(file.size) + parameters.size) + 4;
}

bool SetEncodedProperty(MSIHANDLE install, const wchar_t* name, const ValueChange& file, const ValueChange& parameters) {
    size_t room = LaunchDataRoom(file, parameters);
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, room * sizeof(wchar_t)));
    bool ok = text && EncodeLaunchData(file, parameters, text, room);
    UINT result = ok ? MsiSetPropertyW(install, name, text) : ERROR_OUTOFMEMORY;
    if (result != ERROR_SUCCESS) Log(install, L"cannot hand on %ls: error %u", name, result);
    Free(text);
    return result == ERROR_SUCCESS;
}

const wchar_t ConfigKey[] = L"" KEYVANE_CONFIG_KEY;
const wchar_t FileValue[] = L"" KEYVANE_CONFIG_FILE_VALUE;
const wchar_t ParametersValue[] = L"" KEYVANE_CONFIG_PARAMETERS_VALUE;

const wchar_t* Describe(const ValueChange& change) {
    return change.action == ValueAction::Keep ? L"left as it is" : change.action == ValueAction::Remove ? L"absent" : L"set";
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install) {
    DWORD size = LongestPath;
    if (MsiGetPropertyW(install, L"CustomActionData", installedExe, &size) != ERROR_SUCCESS || !installedExe[0]) {
        Log(install, L"no installed path given; nothing ended");
        return ERROR_SUCCESS;
    }
    // "agent|diagnosis tool": the tool holds its file too while it runs (a --watch, a script).
    const wchar_t* check = SplitAtBar(installedExe);
    wcscpy(checkExe, check ? check : L"");
    const ULONGLONG deadline = GetTickCount64() + DeadlineMs;
    unsigned long ended = 0, left = 0;
    Running found[RoundSize];
    // Again until none is found: an agent may start (at a logon) while others are being ended.
    for (;;) {
        DWORD count = OpenInstalledProcesses(install, found);
        if (count == 0) break;
        if (GetTickCount64() >= deadline) {
            for (DWORD i = 0; i < count; ++i) {
                Log(install, L"process %lu is still running", found[i].id);
                CloseHandle(found[i].process);
            }
            left = count;
            break;
        }
        for (DWORD i = 0; i < count; ++i)
            if (!TerminateProcess(found[i].process, EndedByInstallerExitCode))
                Log(install, L"cannot end process %lu: error %lu", found[i].id, GetLastError());
        for (DWORD i = 0; i < count; ++i) {
            ULONGLONG now = GetTickCount64();
            DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(found[i].process, wait) == WAIT_OBJECT_0) ++ended;
            CloseHandle(found[i].process);
        }
    }
    Log(install, L"ended %lu and left %lu running of %ls and %ls", ended, left, installedExe,
        checkExe[0] ? checkExe : L"(no diagnosis tool given)");
    return ERROR_SUCCESS;
}

// CustomActionData: the installed exe. Commit step of an install, upgrade or repair, and rollback
// step of a failed one (never of an uninstall). As a rollback step it may run before the file is
// back (an upgrade's rolled-back removal of the old version restores it later, and that version's
// own rollback step then starts the agents).
extern "C" __declspec(dllexport) UINT __stdcall RestartAgents(MSIHANDLE install) {
    DWORD size = LongestPath;
    if (MsiGetPropertyW(install, L"CustomActionData", installedExe, &size) != ERROR_SUCCESS || !installedExe[0]) {
        Log(install, L"no installed path given; no agent started");
        return ERROR_SUCCESS;
    }
    if (GetFileAttributesW(installedExe) == INVALID_FILE_ATTRIBUTES) {
        Log(install, L"%ls is not in place: no agent started (error %lu)", installedExe, GetLastError());
        return ERROR_SUCCESS;
    }
    EnableStartPrivileges(install);
    BOOL inJob = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) {
        Log(install, L"cannot tell whether the step runs in a job: error %lu", GetLastError());
        inJob = FALSE;
    }
    static Session sessions[MostSessions];
    static DWORD withAgent[MostSessions];
    DWORD count = FindSessions(install, sessions, MostSessions);
    DWORD running = SessionsWithAgent(install, withAgent);
    for (DWORD i = 0; i < count; ++i) {
        bool agentRuns = false;
        for (DWORD j = 0; j < running; ++j) agentRuns = agentRuns || withAgent[j] == sessions[i].id;
        if (ShouldStartAgent(sessions[i].id, sessions[i].state, agentRuns))
            StartAgentInSession(install, sessions[i].id, installedExe, inJob != FALSE);
        else
            Log(install, L"session %lu: not started (%ls)", sessions[i].id,
                agentRuns ? L"an agent of this installation runs there" : L"no signed-in user's session");
    }
    return ERROR_SUCCESS;
}

// Immediate, in the execute sequence only, and only when SHORTCUT_FILE or SHORTCUT_PARAMETERS is
// given: on the server side of a per-machine install those arrive only from an administrator or
// SYSTEM (neither is a secure property). It reads the values as they are now and hands the write
// step what to write, and its rollback step what to put back.
//
// Why no Registry table and no AppSearch: a component holding the values would be reinstalled by
// any repair, from the properties of that run (a conditional component stays enabled once
// installed); and AppSearch runs in the UI sequence too, where its results stay in the client when
// the user is not an administrator. Nothing but this step ever writes the values, and it is never
// run without a value to write, so maintenance leaves them exactly as they are.
extern "C" __declspec(dllexport) UINT __stdcall PrepareLaunchConfiguration(MSIHANDLE install) {
    wchar_t* file = GetProperty(install, L"SHORTCUT_FILE");
    wchar_t* parameters = GetProperty(install, L"SHORTCUT_PARAMETERS");
    UINT result = ERROR_INSTALL_FAILURE;
    HKEY key = nullptr;
    BYTE *oldFileData = nullptr, *oldParametersData = nullptr;
    ValueChange oldFile, oldParameters;
    LaunchWrite plan = PlanLaunchWrite(file, parameters);
    LONG opened = ERROR_SUCCESS;
    if (!file || !parameters) goto done;
    if (!plan.file && !plan.parameters) {
        Log(install, L"no launch configuration given; nothing written");
        result = ERROR_SUCCESS;
        goto done;
    }
    opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConfigKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened != ERROR_SUCCESS) {
        key = nullptr;
        if (opened != ERROR_FILE_NOT_FOUND) {
            Log(install, L"cannot open the launch configuration key: error %ld", opened);
            goto done;
        }
    }
    if (!ReadCurrentValue(install, key, FileValue, &oldFile, &oldFileData) ||
        !ReadCurrentValue(install, key, ParametersValue, &oldParameters, &oldParametersData))
        goto done;
    {
        // A value not written is left alone by the rollback step too.
        ValueChange newFile = TextValue(plan.file, plan.fileText), newParameters = TextValue(plan.parameters, plan.parametersText);
        if (!plan.file) oldFile = ValueChange{ValueAction::Keep, 0, nullptr, 0};
        if (!plan.parameters) oldParameters = ValueChange{ValueAction::Keep, 0, nullptr, 0};
        if (SetEncodedProperty(install, L"RestoreLaunchConfiguration", oldFile, oldParameters) &&
            SetEncodedProperty(install, L"WriteLaunchConfiguration", newFile, newParameters)) {
            Log(install, L"launch configuration to write: %ls %ls, %ls %ls", FileValue, Describe(newFile), ParametersValue,
                Describe(newParameters));
            result = ERROR_SUCCESS;
        }
    }
done:
    if (result != ERROR_SUCCESS) Log(install, L"the launch configuration cannot be prepared: installation stopped");
    if (key) RegCloseKey(key);
    Free(oldFileData);
    Free(oldParametersData);
    Free(file);
    Free(parameters);
    return result;
}

// The write step (deferred, LocalSystem) and its rollback step: CustomActionData says, for File
// and Parameters, to leave, remove or set exact bytes of a type.
extern "C" __declspec(dllexport) UINT __stdcall ApplyLaunchConfiguration(MSIHANDLE install) {
    const bool rollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK) != FALSE;
    const wchar_t* what = rollback ? L"restore" : L"write";
    wchar_t* data = GetProperty(install, L"CustomActionData");
    UINT result = ERROR_INSTALL_FAILURE;
    // Never more bytes than there are digits.
    DWORD room = data ? static_cast<DWORD>(wcslen(data) / 2 + 1) : 0;
    BYTE* fileBytes = data ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, room)) : nullptr;
    BYTE* parameterBytes = data ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, room)) : nullptr;
    ValueChange changes[2];
    const wchar_t* names[2] = {FileValue, ParametersValue};
    HKEY key = nullptr;
    LONG status;
    if (!fileBytes || !parameterBytes ||
        !DecodeLaunchData(data, &changes[0], fileBytes, &changes[1], parameterBytes, room)) {
        Log(install, L"cannot %ls the launch configuration: malformed data", what);
        goto done;
    }
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ConfigKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                             &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Log(install, L"cannot %ls the launch configuration: key not opened, error %ld", what, status);
        key = nullptr;
        goto done;
    }
    result = ERROR_SUCCESS;
    for (int i = 0; i < 2; ++i) {
        const ValueChange& change = changes[i];
        if (change.action == ValueAction::Keep) continue;
        status = change.action == ValueAction::Set
                     ? RegSetValueExW(key, names[i], 0, change.type, change.data, change.size)
                     : RegDeleteValueW(key, names[i]);
        if (status == ERROR_FILE_NOT_FOUND && change.action == ValueAction::Remove) status = ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) {
            Log(install, L"cannot %ls the launch configuration's %ls: error %ld", what, names[i], status);
            result = ERROR_INSTALL_FAILURE;
        } else {
            Log(install, L"launch configuration's %ls %ls (%ls)", names[i], Describe(change), rollback ? L"restored" : L"written");
        }
    }
done:
    if (key) RegCloseKey(key);
    Free(fileBytes);
    Free(parameterBytes);
    Free(data);
    // A rollback step's result is ignored anyway; the write step's failure undoes the installation.
    return result;
}

// Immediate, after FindRelatedProducts, with its return checked: a related product whose full
// version is later than this package's is reported as a downgrade, which the launch condition
// refuses (1603). A version it cannot read, or a list it cannot hold, stops the installation
// (1603) as well: a build it could not judge is never replaced.
extern "C" __declspec(dllexport) UINT __stdcall CheckNewerVersion(MSIHANDLE install) {
    wchar_t* packageVersion = GetProperty(install, L"ProductVersion");
    wchar_t* related = GetProperty(install, L"WIX_UPGRADE_DETECTED");
    UINT result = packageVersion && related ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    // A list of product codes, each 38 characters, separated by semicolons.
    for (wchar_t* code = result == ERROR_SUCCESS ? related : nullptr; code && *code;) {
        wchar_t* next = wcschr(code, L';');
        if (next) *next++ = L'\0';
        wchar_t installedVersion[64];
        DWORD size = sizeof(installedVersion) / sizeof(installedVersion[0]);
        UINT read = MsiGetProductInfoW(code, L"VersionString", installedVersion, &size);
        VersionOrder order = read == ERROR_SUCCESS ? CompareInstalledVersion(installedVersion, packageVersion)
                                                   : VersionOrder::Unreadable;
        if (order == VersionOrder::Unreadable) {
            Log(install, L"cannot compare the installed version of %ls (%ls, error %u) with this package's %ls: not replaced",
                code, read == ERROR_SUCCESS ? installedVersion : L"unreadable", read, packageVersion);
            result = ERROR_INSTALL_FAILURE;
        } else if (order == VersionOrder::Later) {
            Log(install, L"installed version %ls (%ls) is later than this package's %ls: not replaced", installedVersion,
                code, packageVersion);
            UINT set = MsiSetPropertyW(install, L"WIX_DOWNGRADE_DETECTED", code);
            if (set != ERROR_SUCCESS) {
                // The launch condition would not see it: refuse here instead.
                Log(install, L"cannot report the downgrade: error %u", set);
                result = ERROR_INSTALL_FAILURE;
            }
        }
        code = next;
    }
    if (result != ERROR_SUCCESS) Log(install, L"the version check cannot judge the installed product: installation stopped");
    Free(packageVersion);
    Free(related);
    return result;
}

// Immediate, before InstallInitialize, for an upgrade only, return checked: the DisableRollback
// policy read directly, in case the installer sets RollbackDisabled later than this point (where
// it does is not documented; RefuseUpgradeWithoutRollback tests the property as well).
extern "C" __declspec(dllexport) UINT __stdcall CheckRollbackPolicy(MSIHANDLE install) {
    DWORD value = 0, size = sizeof(value);
    LONG result = RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Microsoft\\Windows\\Installer", L"DisableRollback",
                               RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &value, &size);
    if (result == ERROR_FILE_NOT_FOUND || (result == ERROR_SUCCESS && value == 0)) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) {
        Log(install, L"cannot read the DisableRollback policy: error %ld; installation stopped", result);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"rollback is disabled (DisableRollback policy), and this upgrade would remove the installed version "
                 L"with no way back should it fail. Enable rollback, or uninstall the installed version first.");
    return ERROR_INSTALL_FAILURE;
}
