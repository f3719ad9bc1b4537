// What the tool prints: the checks with their status, as a human report or one JSON object, and
// how its command line and exit code are decided.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

enum class Status { Ok, Problem, Note };
const char* StatusName(Status status);

// One of a check's own fields: its name and its value, already JSON.
struct Field {
    const char* name;
    std::string json;
};

struct CheckResult {
    const char* id;
    Status status;
    std::string summary;  // ANSI text, like everything read from the registry or the file system
    std::string action;   // what to do; empty when nothing is
    std::vector<Field> fields;
};

// Text read from the machine enters a summary, action or reason only through MachineText: marked
// with its length, so that nothing in it can pass for the tool's own text.
std::string MachineText(const std::string& ansi);
// Text read through the Unicode API; what the ANSI code page cannot hold shows as \uNNNN.
std::string MachineText(const std::wstring& unicode);
// As the JSON carries it: every machine text whole, as read.
std::string PlainText(const std::string& marked);
// As the text report shows it, always on one line: every byte below 0x20, 0x7F and any byte the
// ANSI code page maps to a C1 control as \xNN, and a backslash that a reader could take for the
// start of such an escape (one before 'x' or 'u') as \x5c. Each machine text longer than
// ShownLength is cut, with its length said.
std::string ShownText(const std::string& marked);
const size_t ShownLength = 260;

// `text` in `codePage` as a JSON string: converted to UTF-8, quoted and escaped.
std::string JsonString(const std::string& text, UINT codePage = CP_ACP);
std::string JsonBool(bool value);
std::string JsonNumber(unsigned long value);
extern const char JsonNull[];

// "1.0.0.2", from res/version.h.
extern const char ProductVersion[];

int ProblemCount(const std::vector<CheckResult>& checks);
// One JSON object on one line, UTF-8.
std::string ReportJson(const std::vector<CheckResult>& checks);
// One line per check: status, id, summary and what to do; ANSI.
std::string ReportText(const std::vector<CheckResult>& checks);

struct Options {
    bool json = false;
    DWORD watchSeconds = 0;  // 0: no watch
};
enum class Command { Run, Help, UsageError };
// `error` says what was wrong for a UsageError.
Command ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
extern const char Usage[];
#define KEYVANE_CHECK_MAX_WATCH_SECONDS 3600
const DWORD MaxWatchSeconds = KEYVANE_CHECK_MAX_WATCH_SECONDS;

const int ExitUsage = 2;
// 0 when no check has found a problem, 1 otherwise.
int ExitCode(const std::vector<CheckResult>& checks);
