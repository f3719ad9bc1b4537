// The installer's steps (installer_steps.cpp), their decisions as plain functions: which running
// processes belong to this installation, which installed version is later than the package, which
// sessions get an agent and with what command, and how the launch configuration is handed on.
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

// How an installed version compares with the package's: Windows Installer compares only three
// fields, so an older build of the same three would replace a later one; this compares all four.
enum class VersionOrder { NotLater, Later, Unreadable };

inline VersionOrder CompareInstalledVersion(const wchar_t* installed, const wchar_t* package) {
    unsigned long a[4], b[4];
    if (!ParseProductVersion(installed, a) || !ParseProductVersion(package, b)) return VersionOrder::Unreadable;
    for (int i = 0; i < 4; ++i)
        if (a[i] != b[i]) return a[i] > b[i] ? VersionOrder::Later : VersionOrder::NotLater;
    return VersionOrder::NotLater;
}

// The command that starts the agent in a user's session: cmd's "start" hands the file to the
// shell (ShellExecuteEx), the one way Windows grants a program UI access; creating the agent's
// process directly fails with 740. /d: no AutoRun of the user's; /v:off: a "!" in the path meets
// no delayed expansion the user turned on. Quoted, so "&", "^" and blanks are only characters.
// False when the path cannot pass through cmd unchanged (a quote ends the argument, a percent
// sign would be expanded even within quotes) or does not fit.
inline bool AgentStartCommand(const wchar_t* agentPath, wchar_t* command, size_t size) {
    if (!agentPath || !*agentPath || wcspbrk(agentPath, L"\"%")) return false;
    int written = _snwprintf(command, size, L"cmd.exe /d /v:off /c start \"\" \"%ls\"", agentPath);
    return written > 0 && static_cast<size_t>(written) < size;
}

// Whether the commit or rollback step starts an agent in a session: one with a signed-in user
// (active, or disconnected with its programs still running), never session 0 (services, where a
// deployment tool runs the installer), and not where an agent of this installation already runs.
inline bool ShouldStartAgent(DWORD sessionId, int state, bool agentRuns) {
    const int Active = 0, Disconnected = 4;  // WTSActive, WTSDisconnected
    return sessionId != 0 && (state == Active || state == Disconnected) && !agentRuns;
}

// The launch configuration as the package's own steps change it (CustomActionData). Each of File
// and Parameters is one field: "*" leave it as it is, "-" absent, or "TYPE:HEX", the exact type and
// bytes. Two fields, File first, separated by ";". Hex keeps any byte, a terminator and a
// REG_MULTI_SZ included, and no field can hold the separator.
enum class ValueAction { Keep, Remove, Set };
struct ValueChange {
    ValueAction action;
    DWORD type;
    const BYTE* data;
    DWORD size;
};

// Appends one field at out[*used]; false when it does not fit (out is then unchanged past *used).
inline bool EncodeValueChange(const ValueChange& change, wchar_t* out, size_t room, size_t* used) {
    const wchar_t digits[] = L"0123456789abcdef";
    size_t at = *used;
    if (change.action != ValueAction::Set) {
        if (room - at < 2) return false;
        out[at++] = change.action == ValueAction::Keep ? L'*' : L'-';
    } else {
        int written = _snwprintf(out + at, room - at, L"%lu:", change.type);
        if (written <= 0 || static_cast<size_t>(written) >= room - at) return false;
        at += static_cast<size_t>(written);
        if (room - at <= static_cast<size_t>(change.size) * 2) return false;
        for (DWORD i = 0; i < change.size; ++i) {
            out[at++] = digits[change.data[i] >> 4];
            out[at++] = digits[change.data[i] & 15];
        }
    }
    out[at] = L'\0';
    *used = at;
    return true;
}

inline bool EncodeLaunchData(const ValueChange& file, const ValueChange& parameters, wchar_t* out, size_t room) {
    size_t used = 0;
    if (room < 1 || !EncodeValueChange(file, out, room, &used) || room - used < 2) return false;
    out[used++] = L';';
    return EncodeValueChange(parameters, out, room, &used);
}

inline int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// Reads one field into `change`, the bytes into `buffer` (room bytes); returns what follows the
// field, or nullptr when it is malformed or its bytes do not fit.
inline const wchar_t* DecodeValueChange(const wchar_t* text, ValueChange* change, BYTE* buffer, DWORD room) {
    *change = ValueChange{ValueAction::Keep, 0, buffer, 0};
    if (*text == L'*' || *text == L'-') {
        change->action = *text == L'*' ? ValueAction::Keep : ValueAction::Remove;
        ++text;
    } else {
        unsigned long long type = 0;
        const wchar_t* start = text;
        for (; *text >= L'0' && *text <= L'9'; ++text)
            if ((type = type * 10 + static_cast<unsigned>(*text - L'0')) > 0xFFFFFFFFull) return nullptr;
        if (text == start || *text++ != L':') return nullptr;
        DWORD size = 0;
        for (; HexDigit(text[0]) >= 0; text += 2) {
            int low = HexDigit(text[1]);
            if (low < 0 || size == room) return nullptr;
            buffer[size++] = static_cast<BYTE>(HexDigit(text[0]) << 4 | low);
        }
        *change = ValueChange{ValueAction::Set, static_cast<DWORD>(type), buffer, size};
    }
    return *text == L';' || *text == L'\0' ? text : nullptr;
}

inline bool DecodeLaunchData(const wchar_t* text, ValueChange* file, BYTE* fileBuffer, ValueChange* parameters,
                             BYTE* parametersBuffer, DWORD room) {
    if (!text) return false;
    text = DecodeValueChange(text, file, fileBuffer, room);
    if (!text || *text++ != L';') return false;
    text = DecodeValueChange(text, parameters, parametersBuffer, room);
    return text && *text == L'\0';
}

// What a run with these properties writes (empty: not given). A new File comes with its own
// Parameters, empty when not given, so that a program never receives arguments meant for another;
// Parameters alone keeps File. Neither given: nothing is written, whatever the run is.
struct LaunchWrite {
    bool file, parameters;
    const wchar_t* fileText;
    const wchar_t* parametersText;
};

inline LaunchWrite PlanLaunchWrite(const wchar_t* file, const wchar_t* parameters) {
    bool fileGiven = file && *file, parametersGiven = parameters && *parameters;
    return LaunchWrite{fileGiven, fileGiven || parametersGiven, fileGiven ? file : L"",
                       parametersGiven ? parameters : L""};
}

// "first|second": ends the first at the bar (no path can hold one) and returns the second, or
// nullptr when there is no bar.
inline const wchar_t* SplitAtBar(wchar_t* data) {
    wchar_t* bar = wcschr(data, L'|');
    if (!bar) return nullptr;
    *bar = L'\0';
    return bar + 1;
}
