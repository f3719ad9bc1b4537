#include "verdicts.h"

#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "hotkey/config_value.h"
#include "hotkey/keyboards.h"

const char AgentFileName[] = "Keyvane.exe";

namespace {

std::string Upper(std::string text) {
    if (!text.empty()) CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

const char SetFile[] = "set File to the full path of a program, for example with the installer's SHORTCUT_FILE or the Group Policy setting";
const char Fallback[] = " the key will open System Information instead.";
const size_t HidReportOffset = offsetof(RAWINPUT, data.hid.bRawData);
const char NoParameters[] = " the agent passes no parameters.";

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

void AddAction(std::string* action, const std::string& more) {
    if (action->find(more) == std::string::npos) *action += (action->empty() ? "" : "; ") + more;
}

// Why the agent refuses a value that exists, ending in `consequence`; empty when it takes it.
std::string Refusal(const char* name, const ConfigFacts& value, const char* consequence) {
    if (value.read || value.status == ERROR_FILE_NOT_FOUND) return std::string();
    if (value.status != ERROR_SUCCESS && value.status != ERROR_MORE_DATA)
        return std::string(name) + " could not be read (error " + std::to_string(value.status) + "):" + consequence;
    if (!IsString(value.type))
        return std::string(name) + " is a " + RegistryTypeName(value.type) + " value, not a string:" + consequence;
    return std::string(name) + " is " + std::to_string(value.bytes) + " bytes long and at most " +
           std::to_string(ConfigValueBufferSize - 1) + " are read:" + consequence;
}

std::string BestFit(const char* name, const ConfigFacts& value) {
    if (!value.read || !value.unicodeRead || SameText(value.text, value.unicode)) return std::string();
    return std::string(name) + " is stored as " + MachineText(value.unicode) + " but reads as " +
           MachineText(std::string(value.text)) +
           " through the ANSI API the agent uses: characters outside the ANSI code page were replaced.";
}

std::string BestFitAction() {
    return "write File and Parameters in characters of the system's ANSI code page (" + std::to_string(GetACP()) + ") only";
}

}  // namespace

std::string RegistryTypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_LINK: return "REG_LINK";
    case REG_NONE: return "REG_NONE";
    default: return "type " + std::to_string(type);
    }
}

bool SameText(const char* ansi, const std::wstring& unicode) {
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (length <= 0) return false;
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, &wide[0], length);
    wide.resize(length - 1);
    return wide == unicode;
}

bool IsInFolder(const std::string& path, const std::string& folder) {
    std::string root = folder;
    while (!root.empty() && root.back() == '\\') root.pop_back();
    if (root.empty() || path.size() <= root.size() || path[root.size()] != '\\') return false;
    return EqualsIgnoringCase(path.substr(0, root.size()), root);
}

std::string FileNamePart(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderPart(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

NameForm FileNameForm(const char* file) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(file);
    bool letter = (p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z';
    if (letter && p[1] == ':' && (p[2] == '\\' || p[2] == '/')) return NameForm::FullPath;
    if (p[0] == '\\' && p[1] == '\\') return NameForm::FullPath;
    // A scheme is a letter, then letters, digits, '+', '-' or '.', then a colon; one letter is a drive.
    size_t length = 0;
    while (letter && (isalnum(p[length]) || p[length] == '+' || p[length] == '-' || p[length] == '.')) ++length;
    if (length > 1 && p[length] == ':') return NameForm::Url;
    return NameForm::Name;
}

bool IsProgramFile(const char* path) {
    std::string name = Upper(FileNamePart(path));
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot);
    return extension == ".EXE" || extension == ".COM";
}

LaunchVerdict DecideLaunch(const LaunchFacts& facts) {
    LaunchVerdict verdict = {Status::Note, true, facts.fallback, "", "", ""};
    if (facts.keyStatus == ERROR_FILE_NOT_FOUND) {
        verdict.reason = "The configuration key does not exist: the key opens System Information.";
        verdict.action = std::string("to start another program, ") + SetFile;
        return verdict;
    }
    if (facts.keyStatus != ERROR_SUCCESS) {
        verdict.reason = "The configuration key could not be read (error " + std::to_string(facts.keyStatus) +
                         "); an agent running as this user could not read it either and would open System Information.";
        return verdict;
    }
    if (!facts.file.read) {
        if (facts.file.status == ERROR_FILE_NOT_FOUND) {
            verdict.reason = "File is not set: the key opens System Information.";
            verdict.action = std::string("to start another program, ") + SetFile;
        } else if (facts.file.status != ERROR_SUCCESS && facts.file.status != ERROR_MORE_DATA) {
            verdict.reason = "File could not be read (error " + std::to_string(facts.file.status) + ").";
        } else {
            verdict.status = Status::Problem;
            verdict.reason = Refusal("File", facts.file, Fallback);
            verdict.action = SetFile;
        }
        return verdict;
    }
    if (facts.file.text[0] == '\0') {
        verdict.reason = "File is empty: the key opens System Information.";
        verdict.action = std::string("to start another program, ") + SetFile;
        return verdict;
    }

    const std::string file = facts.file.text;
    const std::string shownFile = MachineText(file);
    verdict.status = Status::Problem;
    verdict.usesFallback = false;
    if (file.find('%') != std::string::npos) {
        // Measured under Wine: the agent's launch expanded it from the agent's environment, which
        // the user can set (HKCU\Environment); Windows documents neither way for ShellExecuteA.
        verdict.reason = "File holds %: whether %...% in it is expanded, and from whose environment, is outside the "
                         "administrator's control; any program of the user can set the user's environment.";
        verdict.action = "write the full path of the program in File, without variables";
    } else {
        switch (FileNameForm(facts.file.text)) {
        case NameForm::Url:
            verdict.reason = "File is a URL, not a program: it opens with the user's own handler for it, which any "
                             "program of the user can change, and that handler runs with the agent's UI access.";
            break;
        case NameForm::Name:
            if (!facts.undecided.empty()) {
                verdict.reason = "File is a bare name, and what the shell finds for " + shownFile +
                                 " cannot be decided here: " + facts.undecided +
                                 ". Whatever it finds runs with the agent's UI access.";
            } else if (facts.found.empty()) {
                verdict.usesFallback = true;
                verdict.reason = "File is not a full path, and " + shownFile +
                                 " is found neither in the system folder nor through App Paths or PATH:" + Fallback;
            } else {
                verdict.reason = "File is a bare name, found as " + MachineText(facts.found) +
                                 " through the user's own App Paths and PATH, which any program of the user can change; "
                                 "it would run with the agent's UI access.";
            }
            break;
        case NameForm::FullPath:
            if (!facts.exists) {
                verdict.usesFallback = true;
                verdict.reason = "File names " + shownFile + ", which does not exist:" + Fallback;
            } else if (facts.isFolder || !IsProgramFile(facts.file.text)) {
                verdict.reason = std::string("File names ") + (facts.isFolder ? "a folder" : "a document") +
                                 ", not a program: it opens with the user's own handler for it, which any program of the "
                                 "user can change, and that handler runs with the agent's UI access.";
            } else {
                verdict.status = Status::Ok;
                verdict.reason = "File names an existing program.";
            }
            break;
        }
        if (verdict.status == Status::Problem) verdict.action = SetFile;
    }
    const std::string fileFit = BestFit("File", facts.file);
    if (!fileFit.empty()) {
        verdict.status = Status::Problem;
        verdict.reason = fileFit + " " + verdict.reason;
        verdict.action = BestFitAction();
    }
    if (verdict.usesFallback) return verdict;
    verdict.file = file;
    verdict.parameters = facts.parameters.text;
    const std::string refused = Refusal("Parameters", facts.parameters, NoParameters);
    if (!refused.empty()) {
        verdict.status = Status::Problem;
        verdict.reason += " " + refused;
        AddAction(&verdict.action, "set Parameters to a string of at most " + std::to_string(ConfigValueBufferSize - 1) + " bytes");
    }
    const std::string parametersFit = BestFit("Parameters", facts.parameters);
    if (!parametersFit.empty()) {
        verdict.status = Status::Problem;
        verdict.reason += " " + parametersFit;
        AddAction(&verdict.action, BestFitAction());
    }
    return verdict;
}

bool IsTrustedWriter(const std::string& sid) {
    static const char* const trusted[] = {
        "S-1-5-32-544",  // Administrators
        "S-1-5-18",      // SYSTEM
        "S-1-3-0",       // CREATOR OWNER
        "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
    };
    for (const char* name : trusted)
        if (EqualsIgnoringCase(sid, name)) return true;
    return false;
}

std::vector<std::string> UntrustedWriters(const std::string& ownerSid, const std::vector<AccessEntry>& entries) {
    // Writing a value, adding a subkey, deleting, or changing the access list or the owner.
    const ACCESS_MASK write = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER |
                              GENERIC_WRITE | GENERIC_ALL;
    std::vector<std::string> writers;
    auto add = [&](const std::string& sid) {
        for (const std::string& known : writers)
            if (EqualsIgnoringCase(known, sid)) return;
        writers.push_back(sid);
    };
    // The owner may always change the access list.
    if (!ownerSid.empty() && !IsTrustedWriter(ownerSid)) add(ownerSid);
    for (const AccessEntry& entry : entries)
        if (entry.allow && !entry.inheritOnly && (entry.mask & write) && !IsTrustedWriter(entry.sid)) add(entry.sid);
    return writers;
}

std::vector<std::string> PendingRenamesFor(const std::string& list, const std::vector<std::string>& folders) {
    std::vector<std::string> named;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\0', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        start = end + 1;
        std::string path = entry;
        if (path.compare(0, 1, "!") == 0) path.erase(0, 1);
        if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
        if (path.empty()) continue;
        bool matches = EqualsIgnoringCase(FileNamePart(path), AgentFileName);
        for (const std::string& folder : folders)
            matches = matches || (!folder.empty() && (IsInFolder(path, folder) || EqualsIgnoringCase(path, folder)));
        if (matches) named.push_back(path);
    }
    return named;
}

bool QuotedProgram(const std::string& command, std::string* program) {
    if (command.size() < 3 || command.front() != '"' || command.back() != '"') return false;
    std::string inside = command.substr(1, command.size() - 2);
    if (inside.find('"') != std::string::npos) return false;
    *program = inside;
    return true;
}

std::string DescribeTrust(LONG result) {
    static const struct {
        LONG code;
        const char* meaning;
    } meanings[] = {
        {static_cast<LONG>(TRUST_E_NOSIGNATURE), "it is not signed"},
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT), "its signature chains to a root this machine does not trust"},
        {static_cast<LONG>(CERT_E_CHAINING), "its signature does not chain to any root"},
        {static_cast<LONG>(TRUST_E_BAD_DIGEST), "it was changed after it was signed"},
        {static_cast<LONG>(CERT_E_EXPIRED), "its signing certificate has expired and it carries no valid time stamp"},
        {static_cast<LONG>(CERT_E_REVOKED), "its signing certificate was revoked"},
        {static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), "its signer is explicitly distrusted on this machine"},
        {static_cast<LONG>(CRYPT_E_FILE_ERROR), "the file could not be read"},
    };
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
    for (const auto& known : meanings)
        if (known.code == result) return std::string(known.meaning) + " (" + code + ")";
    return std::string("WinVerifyTrust answered ") + code;
}

std::string HexId(DWORD id) {
    char text[16];
    snprintf(text, sizeof(text), "%04lX", static_cast<unsigned long>(id));
    return text;
}

bool DescribeReport(const RAWINPUT* packet, UINT size, DWORD vendorId, DWORD productId, WatchedReport* report) {
    if (size < HidReportOffset || packet->header.dwType != RIM_TYPEHID) return false;
    const RAWHID& hid = packet->data.hid;
    size_t shown = hid.dwCount == 0 ? 0 : hid.dwSizeHid;
    if (shown > size - HidReportOffset) shown = size - HidReportOffset;
    if (shown > 8) shown = 8;
    report->vendorId = vendorId;
    report->productId = productId;
    report->report.clear();
    for (size_t i = 0; i < shown; ++i) {
        char byte[4];
        snprintf(byte, sizeof(byte), "%02X", hid.bRawData[i]);
        report->report += byte;
    }
    report->agentWouldAct = IsSupportedKeyboard(vendorId, productId) && IsShortcutPacket(packet, size);
    return true;
}
