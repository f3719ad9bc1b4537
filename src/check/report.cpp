#include "report.h"

#include <stdio.h>
#include <stdlib.h>
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

namespace {

const char Mark = '\x01';

void Hex(unsigned char value, std::string* out) {
    char code[8];
    snprintf(code, sizeof(code), "\\x%02x", value);
    *out += code;
}

void Unit(wchar_t value, std::string* out) {
    char code[8];
    snprintf(code, sizeof(code), "\\u%04x", static_cast<unsigned>(value));
    *out += code;
}

// Whether the ANSI code page holds `c` exactly, and as which bytes; never by best fit.
bool AnsiHolds(wchar_t c, std::string* bytes) {
    char buffer[8];
    BOOL usedDefault = FALSE;
    const bool utf8 = GetACP() == CP_UTF8;  // which refuses the default-character question
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &c, 1, buffer, sizeof(buffer), nullptr,
                                     utf8 ? nullptr : &usedDefault);
    wchar_t back = 0;
    if (length <= 0 || usedDefault || MultiByteToWideChar(CP_ACP, 0, buffer, length, &back, 1) != 1 || back != c)
        return false;
    bytes->assign(buffer, length);
    return true;
}

bool IsControl(unsigned c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// A single byte that the ANSI code page turns into a C1 control (in 1252: 81, 8D, 8F, 90, 9D).
bool IsC1Byte(unsigned char b) {
    wchar_t c = 0;
    return b >= 0x80 && MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(&b), 1, &c, 1) == 1 &&
           IsControl(c);
}

bool StartsEscape(const std::string& text, size_t next) {
    return next < text.size() && (text[next] == 'x' || text[next] == 'u');
}

void EscapeAnsi(const std::string& text, std::string* out) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b == 0x7F || (b == '\\' && StartsEscape(text, i + 1))) {
            Hex(b, out);
        } else if (b >= 0x80 && IsDBCSLeadByteEx(CP_ACP, b)) {
            const unsigned char trail = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            if (trail < 0x20 || trail == 0x7F) {
                Hex(b, out);
            } else {
                *out += text.substr(i, 2);
                ++i;
            }
        } else if (IsC1Byte(b)) {
            Hex(b, out);
        } else {
            *out += static_cast<char>(b);
        }
    }
}

// At most ShownLength bytes, never half a double-byte character.
std::string CutAnsi(const std::string& text) {
    if (text.size() <= ShownLength) return text;
    size_t end = 0;
    while (end < ShownLength) {
        size_t step = IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(text[end])) ? 2 : 1;
        if (end + step > ShownLength) break;
        end += step;
    }
    return text.substr(0, end);
}

// `shown`: escaped and cut for the text report; otherwise whole, with only what ANSI cannot hold escaped.
void RenderUnicode(const std::wstring& text, bool shown, std::string* out) {
    const size_t length = shown && text.size() > ShownLength ? ShownLength : text.size();
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        std::string bytes;
        if (shown && c == L'\\' && i + 1 < text.size() && (text[i + 1] == L'x' || text[i + 1] == L'u'))
            Hex('\\', out);
        else if (shown && (c < 0x20 || c == 0x7F))
            Hex(static_cast<unsigned char>(c), out);
        else if (!(shown && IsControl(c)) && AnsiHolds(c, &bytes))
            *out += bytes;
        else
            Unit(c, out);
    }
    if (length < text.size()) *out += "... (" + std::to_string(text.size()) + " characters)";
}

std::wstring UnicodeOf(const std::string& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
    return text;
}

// Calls `own` for the tool's own text and `machine` for each machine text with its kind.
template <class Own, class Machine>
void WalkMarked(const std::string& marked, Own own, Machine machine) {
    size_t i = 0;
    while (i < marked.size()) {
        const size_t mark = marked.find(Mark, i);
        if (mark > i) own(marked.substr(i, mark == std::string::npos ? std::string::npos : mark - i));
        if (mark == std::string::npos) return;
        const size_t colon = marked.find(':', mark);
        const size_t digits = mark + 2;
        bool valid = colon != std::string::npos && colon > digits;
        for (size_t d = digits; valid && d < colon; ++d) valid = marked[d] >= '0' && marked[d] <= '9';
        if (!valid || (marked[mark + 1] != 'A' && marked[mark + 1] != 'U')) {
            // Not a mark of MachineText's making: shown as any other byte.
            own(marked.substr(mark, 1));
            i = mark + 1;
            continue;
        }
        const size_t length = strtoul(marked.c_str() + digits, nullptr, 10);
        const std::string data = marked.substr(colon + 1, length);
        machine(marked[mark + 1], data);
        i = colon + 1 + data.size();
    }
}

}  // namespace

std::string MachineText(const std::string& ansi) { return Mark + std::string("A") + std::to_string(ansi.size()) + ":" + ansi; }

std::string MachineText(const std::wstring& unicode) {
    const std::string bytes(reinterpret_cast<const char*>(unicode.data()), unicode.size() * 2);
    return Mark + std::string("U") + std::to_string(bytes.size()) + ":" + bytes;
}

std::string PlainText(const std::string& marked) {
    std::string plain;
    WalkMarked(
        marked, [&](const std::string& own) { plain += own; },
        [&](char kind, const std::string& data) {
            if (kind == 'A') plain += data;
            else RenderUnicode(UnicodeOf(data), false, &plain);
        });
    return plain;
}

std::string ShownText(const std::string& marked) {
    std::string shown;
    WalkMarked(
        marked, [&](const std::string& own) { EscapeAnsi(own, &shown); },
        [&](char kind, const std::string& data) {
            if (kind == 'U') {
                RenderUnicode(UnicodeOf(data), true, &shown);
                return;
            }
            EscapeAnsi(CutAnsi(data), &shown);
            if (data.size() > ShownLength) shown += "... (" + std::to_string(data.size()) + " bytes)";
        });
    return shown;
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
                "\", \"summary\": " + JsonString(PlainText(check.summary)) +
                ", \"action\": " + JsonString(PlainText(check.action));
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
        text += head + ShownText(check.summary);
        if (!check.action.empty()) text += " -> " + ShownText(check.action);
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
