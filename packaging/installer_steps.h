// The installer's steps (installer_steps.cpp): which running processes belong to this installation, which
// installed version is later than the package, and how an agent is started again in a user's session.
#pragma once
#include <windows.h>

#include <wchar.h>

// True when a process's image path names the installed agent: the whole path, compared as the
// file system compares names (ordinal, case-insensitive). An empty installed path matches nothing,
// so a step that was handed no path never ends anything; a Keyvane.exe elsewhere is not ours.
inline bool IsImageOfInstallation(const wchar_t* imagePath, const wchar_t* installedExe) {
    if (!imagePath || !installedExe || !*installedExe) return false;
    return CompareStringOrdinal(imagePath, -1, installedExe, -1, TRUE) == CSTR_EQUAL;
}

// A product version "a.b.c.d" (fewer fields count as 0) as four numbers; false when it is not one.
inline bool ParseProductVersion(const wchar_t* text, unsigned long fields[4]) {
    if (!text || !*text) return false;
    int count = 0;
    for (const wchar_t* p = text;; ++p) {
        if (count == 4 || *p < L'0' || *p > L'9') return false;
        unsigned long value = 0;
        for (; *p >= L'0' && *p <= L'9'; ++p) {
            value = value * 10 + static_cast<unsigned long>(*p - L'0');
            if (value > 65535) return false;
        }
        fields[count++] = value;
        if (*p == L'\0') break;
        if (*p != L'.') return false;
    }
    for (int i = count; i < 4; ++i) fields[i] = 0;
    return true;
}

// Windows Installer compares only three fields of a product version, so an older build of the
// same three would replace a later one: this compares all four. False when either is unreadable,
// so that a version the step cannot read never blocks an install.
inline bool IsLaterVersion(const wchar_t* installed, const wchar_t* package) {
    unsigned long a[4], b[4];
    if (!ParseProductVersion(installed, a) || !ParseProductVersion(package, b)) return false;
    for (int i = 0; i < 4; ++i)
        if (a[i] != b[i]) return a[i] > b[i];
    return false;
}

// The command that starts the agent again in a user's session: cmd's "start" hands the file to
// the shell (ShellExecuteEx), the one way Windows starts a UI-access program; creating the agent's
// process directly fails with 740. False when the path cannot be passed through cmd unchanged
// (a quote ends the argument, a percent sign would be expanded) or does not fit.
inline bool AgentStartCommand(const wchar_t* agentPath, wchar_t* command, size_t size) {
    if (!agentPath || !*agentPath || wcspbrk(agentPath, L"\"%")) return false;
    int written = _snwprintf(command, size, L"cmd.exe /d /c start \"\" \"%ls\"", agentPath);
    return written > 0 && static_cast<size_t>(written) < size;
}

// Sessions as the restart steps receive them: decimal numbers separated by ";". Returns how many
// were read, at most `most`; stops at the first item that is not a number.
inline DWORD ParseSessionList(const wchar_t* list, DWORD* sessions, DWORD most) {
    DWORD count = 0;
    for (const wchar_t* p = list; p && *p && count < most;) {
        if (*p < L'0' || *p > L'9') break;
        unsigned long long value = 0;
        for (; *p >= L'0' && *p <= L'9'; ++p)
            if ((value = value * 10 + static_cast<unsigned>(*p - L'0')) > 0xFFFFFFFFull) return count;
        if (*p != L';' && *p != L'\0') break;
        sessions[count++] = static_cast<DWORD>(value);
        if (*p == L';') ++p;
    }
    return count;
}

inline void FormatSessionList(const DWORD* sessions, DWORD count, wchar_t* list, size_t size) {
    size_t used = 0;
    list[0] = L'\0';
    for (DWORD i = 0; i < count; ++i) {
        int written = _snwprintf(list + used, size - used, i ? L";%lu" : L"%lu", sessions[i]);
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            list[used] = L'\0';
            return;
        }
        used += static_cast<size_t>(written);
    }
}

// "path|sessions": ends the path at the bar (no path can hold one) and returns the sessions, or
// nullptr when there is no bar.
inline const wchar_t* SplitRestartData(wchar_t* data) {
    wchar_t* bar = wcschr(data, L'|');
    if (!bar) return nullptr;
    *bar = L'\0';
    return bar + 1;
}
