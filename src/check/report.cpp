#include "report.h"

#include <stdio.h>
#include <string.h>

#include "version.h"

#define KEYVANE_TEXT(x) #x
#define KEYVANE_NUMBER_TEXT(x) KEYVANE_TEXT(x)
const char ProductVersion[] = KEYVANE_NUMBER_TEXT(KEYVANE_VERSION_MAJOR) "." KEYVANE_NUMBER_TEXT(
    KEYVANE_VERSION_MINOR) "." KEYVANE_NUMBER_TEXT(KEYVANE_VERSION_PATCH) "." KEYVANE_NUMBER_TEXT(KEYVANE_VERSION_BUILD);

const char JsonNull[] = "null";

const char Usage[] =
    "usage: KeyvaneCheck.exe [--json] [--watch SECONDS] [--help]\n"
    "  Checks why the shortcut key may do nothing; changes nothing.\n"
    "  --json           one JSON object on stdout instead of the report\n"
    "  --watch SECONDS  first listen that long (1 to " KEYVANE_NUMBER_TEXT(KEYVANE_CHECK_MAX_WATCH_SECONDS) ") for the keyboards' reports\n"
    "  --help           this text\n"
    "Exit code: 0 no problem found, 1 a problem found, 2 a wrong command line.\n";

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok: return "ok";
    case Status::Problem: return "problem";
    case Status::Note: return "note";
    }
    return "note";
}

std::string JsonString(const std::string& text, UINT codePage) {
    std::wstring wide;
    if (!text.empty()) {
        int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        wide.resize(length > 0 ? length : 0);
        if (length > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    }
    std::wstring escaped = L"\"";
    for (wchar_t c : wide) {
        switch (c) {
        case L'"': escaped += L"\\\""; break;
        case L'\\': escaped += L"\\\\"; break;
        case L'\n': escaped += L"\\n"; break;
        case L'\r': escaped += L"\\r"; break;
        case L'\t': escaped += L"\\t"; break;
        default:
            if (c < 0x20) {
                wchar_t code[8];
                swprintf(code, 8, L"\\u%04x", static_cast<unsigned>(c));
                escaped += code;
            } else {
                escaped += c;
            }
        }
    }
    escaped += L'"';
    int bytes = WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string JsonNumber(unsigned long value) { return std::to_string(value); }

int ProblemCount(const std::vector<CheckResult>& checks) {
    int problems = 0;
    for (const CheckResult& check : checks) problems += check.status == Status::Problem;
    return problems;
}

std::string ReportJson(const std::vector<CheckResult>& checks) {
    std::string json = "{\"product\": \"Keyvane\", \"version\": \"" + std::string(ProductVersion) +
                       "\", \"problems\": " + JsonNumber(ProblemCount(checks)) + ", \"checks\": [";
    for (size_t i = 0; i < checks.size(); ++i) {
        const CheckResult& check = checks[i];
        if (i > 0) json += ", ";
        json += "{\"id\": " + JsonString(check.id) + ", \"status\": \"" + StatusName(check.status) +
                "\", \"summary\": " + JsonString(check.summary) + ", \"action\": " + JsonString(check.action);
        for (const Field& field : check.fields) json += ", " + JsonString(field.name) + ": " + field.json;
        json += "}";
    }
    return json + "]}\n";
}

std::string ReportText(const std::vector<CheckResult>& checks) {
    const int problems = ProblemCount(checks);
    std::string text = "Keyvane " + std::string(ProductVersion) + ": " +
                       (problems == 0 ? std::string("no problem found") :
                        std::to_string(problems) + (problems == 1 ? " problem" : " problems")) + "\n";
    for (const CheckResult& check : checks) {
        char head[48];
        snprintf(head, sizeof(head), "%-8s %-16s ", StatusName(check.status), check.id);
        text += head + check.summary;
        if (!check.action.empty()) text += " -> " + check.action;
        text += "\n";
    }
    return text;
}

namespace {

// Digits only, no sign or blanks, 1 to MaxWatchSeconds.
bool ParseSeconds(const char* text, DWORD* seconds) {
    DWORD value = 0;
    if (*text == '\0') return false;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<DWORD>(*p - '0');
        if (value > MaxWatchSeconds) return false;
    }
    *seconds = value;
    return value > 0;
}

}  // namespace

Command ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "/?") == 0) return Command::Help;
        if (strcmp(arg, "--json") == 0) {
            options->json = true;
        } else if (strcmp(arg, "--watch") == 0) {
            if (i + 1 >= argc) {
                *error = "--watch needs a number of seconds";
                return Command::UsageError;
            }
            if (!ParseSeconds(argv[++i], &options->watchSeconds)) {
                *error = "--watch: not a number of seconds from 1 to " + std::to_string(MaxWatchSeconds) + ": " + argv[i];
                return Command::UsageError;
            }
        } else {
            *error = std::string("unknown option: ") + arg;
            return Command::UsageError;
        }
    }
    return Command::Run;
}

int ExitCode(const std::vector<CheckResult>& checks) { return ProblemCount(checks) > 0 ? 1 : 0; }
