// StopAgents.dll, stored in the package's Binary table: the installer's stop step.
//
// Windows Installer runs StopAgents as a deferred custom action without impersonation, that is as
// LocalSystem inside the installer service, before the agent's file is removed or replaced. From
// there it can reach what a program started by the installer could not: agents in every session,
// at whatever integrity level UI access gave them. It ends every process whose image is the
// installed Keyvane.exe (CustomActionData: its full path) and waits until they are gone.
//
// It never fails the installation: a process it cannot end is written to the installer's log and
// the step returns success. Windows Installer then treats the file as in use (replaced or deleted
// at the next restart, exit code 3010 under /norestart) instead of rolling everything back.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <tlhelp32.h>

#include "stop_agents.h"

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

// No C++ library, which would make the DLL fifteen times as large. One thread calls the step,
// once per process.
wchar_t installedExe[LongestPath];
wchar_t image[LongestPath];
wchar_t logLine[LongestPath + 200];

// A line in the installer's log (msiexec /l*v).
void Log(MSIHANDLE install, const wchar_t* format, ...) {
    const wchar_t prefix[] = L"StopAgents: ";
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
        if (IsImageOfInstallation(image, installedExe) && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            agents[count++] = Agent{process, entry.th32ProcessID};
        else
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return count;
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
