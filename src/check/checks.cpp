#include "checks.h"

#include <msi.h>
#include <sddl.h>
#include <softpub.h>
#include <wintrust.h>

#include "app/startup.h"
#include "hotkey/config_value.h"
#include "hotkey/keyboards.h"
#include "hotkey/raw_input.h"
#include "resource.h"

CheckReads checkReads = {GetRawInputDeviceList, GetRawInputDeviceInfoA, GetRawInputData, VerifyFileTrust,
                         MsiEnumRelatedProductsA, MsiGetProductInfoExA, MsiGetComponentPathA};

const char WatchWindowClass[] = "KeyvaneCheck watch";

namespace {

const char WindowsVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char SessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char ConfigKeyText[] = "HKLM\\" KEYVANE_CONFIG_KEY;

class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (key_) RegCloseKey(key_);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_) CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

const char AppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

bool FileExists(const std::string& path, bool* isFolder = nullptr) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isFolder) *isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// The longest path Windows handles, in characters with the terminator.
const DWORD LongestPath = 32768;

std::string ToolFolder() {
    // Whole at any length: a cut path would name another folder.
    for (DWORD size = MAX_PATH; size <= LongestPath; size *= 2) {
        std::string path(size, '\0');
        DWORD length = GetModuleFileNameA(nullptr, &path[0], size);
        if (length == 0) return std::string();
        if (length < size) return FolderPart(path.substr(0, length));
    }
    return std::string();
}

std::string SystemFolder() {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof(path));
    return length > 0 && length < sizeof(path) ? std::string(path, length) : std::string();
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// A value of any length, or the error; a string ends at its first zero or at its last byte,
// whether it was stored with its terminator or not.
LSTATUS ReadStringValue(HKEY key, const char* name, std::string* text, DWORD* type) {
    LSTATUS status = ERROR_MORE_DATA;
    std::string data;
    // The value may grow between the size query and the read.
    for (int attempt = 0; attempt < 3 && status == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        status = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        data.assign(size, '\0');
        status = RegQueryValueExA(key, name, nullptr, type, size ? reinterpret_cast<BYTE*>(&data[0]) : nullptr, &size);
        if (status == ERROR_SUCCESS) data.resize(size < data.size() ? size : data.size());
    }
    if (status != ERROR_SUCCESS) return status;
    if (IsString(*type)) {
        size_t end = data.find('\0');
        if (end != std::string::npos) data.resize(end);
    }
    *text = data;
    return ERROR_SUCCESS;
}

// The same through the Unicode API: what regedit shows, before any conversion to ANSI.
LSTATUS ReadUnicodeValue(HKEY key, const char* name, std::wstring* text, DWORD* type) {
    std::wstring wideName;
    for (const char* p = name; *p; ++p) wideName += static_cast<wchar_t>(static_cast<unsigned char>(*p));  // ASCII names
    LSTATUS status = ERROR_MORE_DATA;
    std::wstring data;
    for (int attempt = 0; attempt < 3 && status == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        status = RegQueryValueExW(key, wideName.c_str(), nullptr, type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        status = RegQueryValueExW(key, wideName.c_str(), nullptr, type, reinterpret_cast<BYTE*>(&data[0]), &size);
        if (status == ERROR_SUCCESS) data.resize(size / sizeof(wchar_t) < data.size() ? size / sizeof(wchar_t) : data.size());
    }
    if (status != ERROR_SUCCESS) return status;
    size_t end = data.find(L'\0');
    if (end != std::wstring::npos) data.resize(end);
    *text = data;
    return ERROR_SUCCESS;
}

// A registry string below `root`, whole; REG_SZ only.
LSTATUS ReadMachineString(HKEY root, const char* path, const char* name, std::string* text) {
    ScopedKey key;
    DWORD type = REG_NONE;
    LSTATUS status = RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out());
    if (status == ERROR_SUCCESS) status = ReadStringValue(key.get(), name, text, &type);
    return status == ERROR_SUCCESS && type != REG_SZ ? ERROR_INVALID_DATA : status;
}

std::string ExpandedText(const std::string& text, DWORD* error) {
    for (DWORD size = static_cast<DWORD>(text.size()) + 1; size <= LongestPath;) {
        std::string expanded(size, '\0');
        DWORD needed = ExpandEnvironmentStringsA(text.c_str(), &expanded[0], size);
        if (needed == 0) break;
        if (needed <= size) {
            expanded.resize(needed - 1);
            return expanded;
        }
        size = needed;
    }
    *error = GetLastError() ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    return std::string();
}

// PATH whole, up to the system's limit; false with `error` when it cannot be read.
bool ReadPath(std::string* path, DWORD* error) {
    for (DWORD size = 4096; size <= LongestPath;) {
        std::string value(size, '\0');
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableA("PATH", &value[0], size);
        if (length == 0) {
            *error = GetLastError();
            path->clear();
            return *error == ERROR_ENVVAR_NOT_FOUND || *error == ERROR_SUCCESS;
        }
        if (length < size) {
            *path = value.substr(0, length);
            return true;
        }
        size = length;  // what it needs, the terminator included
    }
    *error = ERROR_INSUFFICIENT_BUFFER;
    return false;
}

std::string SearchFor(const std::string& searchPath, const char* name, DWORD* error) {
    for (DWORD size = MAX_PATH; size <= LongestPath;) {
        std::string found(size, '\0');
        char* filePart = nullptr;
        DWORD length = SearchPathA(searchPath.c_str(), name, ".exe", size, &found[0], &filePart);
        if (length == 0) {
            *error = GetLastError();
            return std::string();
        }
        if (length < size) return found.substr(0, length);
        size = length;
    }
    *error = ERROR_INSUFFICIENT_BUFFER;
    return std::string();
}

struct ProgramSearch {
    std::string found;      // empty when nothing is found
    std::string undecided;  // why what the shell finds cannot be told; empty when it can
};

// As the shell looks for a name for the agent, whose current folder is the system folder: the
// search path, then the user's and the machine's App Paths. This reads the tool's own PATH and
// HKCU, that is the user's; the agent's PATH dates from its start.
ProgramSearch FindProgram(const char* name) {
    ProgramSearch search;
    char windows[MAX_PATH];
    UINT windowsLength = GetWindowsDirectoryA(windows, sizeof(windows));
    std::string searchPath = SystemFolder() + ";" + std::string(windows, windowsLength < sizeof(windows) ? windowsLength : 0);
    std::string path;
    DWORD error = 0;
    if (!ReadPath(&path, &error)) {
        search.undecided = "PATH could not be read (" + ErrorText(error) + ")";
        return search;
    }
    if (!path.empty()) searchPath += ";" + path;
    search.found = SearchFor(searchPath, name, &error);
    if (!search.found.empty()) return search;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME) {
        search.undecided = "searching PATH failed (" + ErrorText(error) + ")";
        return search;
    }
    std::string appPath = AppPathsKey + std::string(name);
    if (FileNamePart(name).find('.') == std::string::npos) appPath += ".exe";
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        const std::string where = (root == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\") + appPath;
        ScopedKey key;
        std::string value;
        DWORD type = REG_NONE;
        LSTATUS status = RegOpenKeyExA(root, appPath.c_str(), 0, KEY_QUERY_VALUE, key.out());
        if (status == ERROR_SUCCESS) status = ReadStringValue(key.get(), nullptr, &value, &type);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (status != ERROR_SUCCESS) {
            search.undecided = MachineText(where) + " could not be read (" + ErrorText(status) + ")";
            return search;
        }
        if (!IsString(type)) {
            search.undecided = MachineText(where) + " is a " + RegistryTypeName(type) + " value";
            return search;
        }
        if (value.empty()) continue;
        // The shell expands an expandable App Paths value, with the user's environment.
        if (type == REG_EXPAND_SZ) value = ExpandedText(value, &error);
        if (value.empty()) {
            search.undecided = MachineText(where) + " could not be expanded (" + ErrorText(error) + ")";
            return search;
        }
        bool isFolder = false;
        if (FileNameForm(value.c_str()) != NameForm::FullPath || !FileExists(value, &isFolder) || isFolder) {
            search.undecided = MachineText(where) + " names " + MachineText(value) + ", which is no existing file";
            return search;
        }
        search.found = value;
        return search;
    }
    return search;
}

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return std::string();
    std::string result = text;
    LocalFree(text);
    return result;
}

std::string AccountName(const std::string& sidText) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sidText.c_str(), &sid)) return sidText;
    char name[256], domain[256];
    DWORD nameSize = sizeof(name), domainSize = sizeof(domain);
    SID_NAME_USE use;
    std::string result = sidText;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        result = domain[0] ? std::string(domain) + "\\" + name : std::string(name);
    LocalFree(sid);
    return result;
}

bool ReadAccessList(HKEY key, std::string* owner, std::vector<AccessEntry>* entries, DWORD* error) {
    DWORD size = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    LSTATUS status = RegGetKeySecurity(key, wanted, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        *error = status;
        return false;
    }
    std::vector<BYTE> buffer(size);
    PSECURITY_DESCRIPTOR descriptor = buffer.data();
    status = RegGetKeySecurity(key, wanted, descriptor, &size);
    if (status != ERROR_SUCCESS) {
        *error = status;
        return false;
    }
    PSID ownerSid = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor, &ownerSid, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        *error = GetLastError();
        return false;
    }
    *owner = SidText(ownerSid);
    if (!present || !dacl) {
        // No access list at all: everyone may do everything.
        entries->push_back({"S-1-1-0", true, GENERIC_ALL, false});
        return true;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        bool deny = header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE;
        if (!allow && !deny) continue;
        // Allowed, denied and their callback forms share this layout.
        const ACCESS_ALLOWED_ACE* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        entries->push_back({SidText(const_cast<DWORD*>(&entry->SidStart)), allow, entry->Mask,
                            (header->AceFlags & INHERIT_ONLY_ACE) != 0});
    }
    return true;
}

}  // namespace

LONG VerifyFileTrust(const char* path) {
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    std::wstring widePath(length > 0 ? length : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, &widePath[0], length);
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = widePath.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;  // a check must not wait for the network
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

namespace {

// An MSI text of any length: `read` as MsiGetProductInfoExA or MsiGetComponentPathA answer.
template <class Read>
std::string MsiText(Read read, UINT* status) {
    std::string text(64, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(text.size());
        *status = read(&text[0], &size);
        if (*status != ERROR_MORE_DATA) {
            text.resize(*status == ERROR_SUCCESS && size < text.size() ? size : 0);
            return text;
        }
        text.assign(size + 1, '\0');  // what it needs, without the terminator
    }
    return std::string();
}

}  // namespace

CheckResult CheckInstalled(CheckContext* context) {
    CheckResult check = {"installed", Status::Note, "", "", {}};
    context->agentFile = ToolFolder() + "\\" + AgentFileName;
    char product[39];
    UINT status;
    for (DWORD index = 0; (status = checkReads.enumRelatedProducts(KEYVANE_UPGRADE_CODE, 0, index, product)) == ERROR_SUCCESS;
         ++index) {
        UINT read = ERROR_SUCCESS;
        const std::string version = MsiText(
            [&](char* text, DWORD* size) {
                return checkReads.getProductInfo(product, nullptr, MSIINSTALLCONTEXT_MACHINE, "VersionString", text, size);
            },
            &read);
        if (read == ERROR_UNKNOWN_PRODUCT) continue;  // installed for one user only: not this product's way
        check.fields = {{"product_code", JsonString(product)}, {"version", JsonNull}, {"folder", JsonNull}};
        if (read != ERROR_SUCCESS) {
            check.summary = std::string("Keyvane is registered (") + product + "), but its version could not be read (" +
                            ErrorText(read) + ").";
            return check;
        }
        check.fields[1].json = JsonString(version);
        INSTALLSTATE state = INSTALLSTATE_UNKNOWN;
        const std::string path = MsiText(
            [&](char* text, DWORD* size) {
                state = checkReads.getComponentPath(product, KEYVANE_AGENT_COMPONENT, text, size);
                return state == INSTALLSTATE_MOREDATA ? static_cast<UINT>(ERROR_MORE_DATA) : static_cast<UINT>(ERROR_SUCCESS);
            },
            &read);
        if (state != INSTALLSTATE_LOCAL || path.empty()) {
            check.status = Status::Problem;
            check.summary = "Keyvane " + MachineText(version) + " is registered, but its Keyvane.exe is missing.";
            check.action = "repair the installation (msiexec /fa with the package, or reinstall it)";
            return check;
        }
        context->agentFile = path;
        context->installedFolder = FolderPart(context->agentFile);
        check.status = Status::Ok;
        check.summary = "Keyvane " + MachineText(version) + " is installed for every user in " +
                        MachineText(context->installedFolder) + ".";
        check.fields[2].json = JsonString(context->installedFolder);
        return check;
    }
    check.fields = {{"product_code", JsonNull}, {"version", JsonNull}, {"folder", JsonNull}};
    if (status != ERROR_NO_MORE_ITEMS) {
        check.summary = "The installed products could not be read (" + ErrorText(status) + ").";
        return check;
    }
    check.summary = "Keyvane is not installed for every user; the checks below look at " + MachineText(context->agentFile) + ".";
    check.action = "install Keyvane.msi from an elevated prompt (README, Install on Windows)";
    return check;
}

CheckResult CheckRunAtLogon() {
    CheckResult check = {"run-at-logon", Status::Problem, "", "", {}};
    ScopedKey key;
    std::string command;
    DWORD type = REG_NONE;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out());
    if (status == ERROR_SUCCESS) status = ReadStringValue(key.get(), KEYVANE_RUN_VALUE, &command, &type);
    // Only a string is a command; anything else is named by its type, never dumped.
    check.fields = {{"command", status == ERROR_SUCCESS && IsString(type) ? JsonString(command) : JsonNull}};
    const std::string where = std::string("HKLM\\") + RunKey + " value " + KEYVANE_RUN_VALUE;
    const char reinstall[] = "install (or repair) Keyvane.msi, which writes it";
    std::string program;
    bool isFolder = false;
    if (status == ERROR_FILE_NOT_FOUND) {
        check.summary = "No " + where + ": nothing starts the agent at logon.";
        check.action = reinstall;
    } else if (status != ERROR_SUCCESS) {
        check.status = Status::Note;
        check.summary = where + " could not be read (" + ErrorText(status) + ").";
    } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
        check.summary = where + " is a " + RegistryTypeName(type) + " value, not a string.";
        check.action = reinstall;
    } else if (!QuotedProgram(command, &program)) {
        check.summary = where + " is not one quoted path: " + MachineText(command);
        check.action = reinstall;
    } else if (lstrcmpiA(FileNamePart(program).c_str(), AgentFileName) != 0) {
        check.summary = where + " names " + MachineText(program) + ", not Keyvane.exe.";
        check.action = reinstall;
    } else if (!FileExists(program, &isFolder) || isFolder) {
        check.summary = where + " names " + MachineText(program) + ", which does not exist.";
        check.action = reinstall;
    } else {
        check.status = Status::Ok;
        check.summary = "Windows starts " + MachineText(program) + " at each logon.";
    }
    return check;
}

CheckResult CheckSignature(const CheckContext& context) {
    CheckResult check = {"signature", Status::Problem, "", "", {{"path", JsonString(context.agentFile)}}};
    bool isFolder = false;
    if (!FileExists(context.agentFile, &isFolder) || isFolder) {
        check.summary = "There is no " + MachineText(context.agentFile) + " to check.";
        check.action = "install Keyvane.msi, or keep Keyvane.exe beside this tool";
        check.fields.push_back({"trusted", JsonBool(false)});
        return check;
    }
    LONG result = checkReads.verifyTrust(context.agentFile.c_str());
    check.fields.push_back({"trusted", JsonBool(result == ERROR_SUCCESS)});
    if (result == ERROR_SUCCESS) {
        check.status = Status::Ok;
        check.summary = MachineText(context.agentFile) + " carries a signature this machine trusts.";
        return check;
    }
    check.summary = "Windows will refuse to start it (8235): " + DescribeTrust(result) + ".";
    check.action = "install a release-signed package; on a test machine, trust the development root (README, Install on Windows)";
    return check;
}

CheckResult CheckSecureFolder(const CheckContext& context) {
    CheckResult check = {"secure-folder", Status::Problem, "", "", {}};
    std::string path = context.agentFile;
    DWORD length = GetFullPathNameA(context.agentFile.c_str(), 0, nullptr, nullptr);
    if (length > 0) {
        std::string full(length, '\0');
        DWORD written = GetFullPathNameA(context.agentFile.c_str(), length, &full[0], nullptr);
        if (written > 0 && written < length) path = full.substr(0, written);
    }
    // Where Windows keeps the Program Files folders: the environment is the user's to change, and
    // the shell, which reads them from here too, would add a slow DLL load to every run.
    std::vector<std::string> roots = {SystemFolder()};
    for (const char* value : {"ProgramFilesDir", "ProgramFilesDir (x86)"}) {
        std::string root;
        if (ReadMachineString(HKEY_LOCAL_MACHINE, WindowsVersionKey, value, &root) == ERROR_SUCCESS) roots.push_back(root);
    }
    bool secure = false;
    for (const std::string& root : roots) secure = secure || IsInFolder(path, root);
    check.fields = {{"path", JsonString(path)}, {"secure", JsonBool(secure)}};
    if (secure) {
        check.status = Status::Ok;
        check.summary = MachineText(path) + " lies in a secure folder.";
    } else {
        check.summary = MachineText(path) + " lies outside Program Files and the system folder: Windows will refuse to start it (8235).";
        check.action = "start the installed Keyvane.exe below Program Files; a copy elsewhere never runs";
    }
    return check;
}

bool LoadAgentIdentity(HINSTANCE module, AgentIdentity* identity) {
    return LoadStringA(module, IDS_WINDOW_CLASS, identity->windowClass, sizeof(identity->windowClass)) > 0 &&
           LoadStringA(module, IDS_WINDOW_TITLE, identity->windowTitle, sizeof(identity->windowTitle)) > 0;
}

CheckResult CheckAgent(const AgentIdentity* identity, CheckContext* context) {
    CheckResult check = {"agent", Status::Problem, "", "", {{"process_id", JsonNull}, {"path", JsonNull}}};
    if (!identity) {
        check.status = Status::Note;
        check.summary = "The agent's window identity could not be loaded from this tool's resources.";
        return check;
    }
    HWND window = FindWindowA(identity->windowClass, identity->windowTitle);
    if (!window) {
        check.summary = "No agent runs in this session.";
        check.action = "start it: open Keyvane.exe from Explorer or sign in again; if it still does not run, see signature and secure-folder";
        return check;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    context->agentProcess = processId;
    check.status = Status::Ok;
    check.fields[0].json = JsonNumber(processId);
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    std::string path(LongestPath, '\0');
    DWORD size = LongestPath;
    if (!process.get() || !QueryFullProcessImageNameA(process.get(), 0, &path[0], &size)) {
        check.summary = "An agent runs in this session (process " + std::to_string(processId) +
                        "); its path could not be read (" + ErrorText(GetLastError()) + ").";
        return check;
    }
    path.resize(size);
    check.fields[1].json = JsonString(path);
    check.summary = "An agent runs in this session: process " + std::to_string(processId) + ", " + MachineText(path) + ".";
    return check;
}

CheckResult CheckUiAccess(const CheckContext& context) {
    CheckResult check = {"ui-access", Status::Note, "", "", {{"ui_access", JsonNull}}};
    if (!context.agentProcess) {
        check.summary = "No agent runs, so there is nothing to read.";
        return check;
    }
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, context.agentProcess));
    HANDLE token = nullptr;
    DWORD uiAccess = 0, size = 0;
    bool read = process.get() && OpenProcessToken(process.get(), TOKEN_QUERY, &token);
    ScopedHandle tokenHandle(read ? token : nullptr);
    read = read && GetTokenInformation(token, TokenUIAccess, &uiAccess, sizeof(uiAccess), &size);
    if (!read) {
        const DWORD error = GetLastError();
        check.summary = "The agent's UI access could not be read (" + ErrorText(error) + ")";
        check.summary += error == ERROR_ACCESS_DENIED
                             ? ": an agent started by an administrator runs above this prompt; run the tool elevated to see it."
                             : ".";
        return check;
    }
    check.fields[0].json = JsonBool(uiAccess != 0);
    if (uiAccess) {
        check.status = Status::Ok;
        check.summary = "The agent runs with UI access.";
    } else {
        check.status = Status::Problem;
        check.summary = "The agent runs without UI access: its Windows+B does not reach an administrator's windows.";
        check.action = "start the installed, trusted Keyvane.exe (see signature and secure-folder)";
    }
    return check;
}

CheckResult CheckKeyboards() {
    CheckResult check = {"keyboards", Status::Problem, "", "", {}};
    std::vector<RAWINPUTDEVICELIST> list;
    UINT count = 0;
    UINT listed = static_cast<UINT>(-1);
    // A device may arrive between the two calls.
    for (int attempt = 0; attempt < 3 && listed == static_cast<UINT>(-1); ++attempt) {
        if (checkReads.getRawInputDeviceList(nullptr, &count, sizeof(RAWINPUTDEVICELIST)) != 0) break;
        list.resize(count);
        listed = count == 0 ? 0 : checkReads.getRawInputDeviceList(list.data(), &count, sizeof(RAWINPUTDEVICELIST));
    }
    if (listed == static_cast<UINT>(-1)) {
        check.status = Status::Note;
        check.summary = "The input devices could not be listed (" + ErrorText(GetLastError()) + ").";
        check.fields = {{"devices", JsonNull}};
        return check;
    }
    list.resize(listed);
    std::string devices = "[";
    int supported = 0, others = 0;
    for (const RAWINPUTDEVICELIST& device : list) {
        if (device.dwType != RIM_TYPEHID) continue;
        RID_DEVICE_INFO info = {};
        info.cbSize = sizeof(info);
        UINT size = sizeof(info);
        if (checkReads.getRawInputDeviceInfo(device.hDevice, RIDI_DEVICEINFO, &info, &size) == static_cast<UINT>(-1))
            continue;
        if (info.hid.usUsagePage != VendorUsagePage || info.hid.usUsage != VendorUsage) continue;
        bool known = IsSupportedKeyboard(info.hid.dwVendorId, info.hid.dwProductId);
        (known ? supported : others) += 1;
        if (devices.size() > 1) devices += ", ";
        devices += "{\"vendor_id\": \"" + HexId(info.hid.dwVendorId) + "\", \"product_id\": \"" +
                   HexId(info.hid.dwProductId) + "\", \"supported\": " + JsonBool(known) + "}";
    }
    check.fields = {{"devices", devices + "]"}};
    if (supported > 0) {
        check.status = Status::Ok;
        check.summary = std::to_string(supported) + " supported keyboard(s) attached.";
    } else {
        check.summary = others == 0 ? "No keyboard with the shortcut key's vendor collection is attached."
                                    : "Only keyboards of other models are attached (" + std::to_string(others) + ").";
        std::string models;
        for (const KeyboardId& keyboard : SupportedKeyboards)
            models += (models.empty() ? "" : ", ") + HexId(keyboard.vendorId) + ":" + HexId(keyboard.productId);
        check.action = "attach one of the supported models (vendor:product " + models + ")";
    }
    return check;
}

namespace {

// As the agent reads the value, then what its own query and the Unicode API say of it.
void ReadConfigFacts(HKEY key, const char* name, char (&buffer)[ConfigValueBufferSize], ConfigFacts* facts) {
    facts->read = ReadConfigString(key, name, buffer);
    facts->text = buffer;
    facts->status = RegQueryValueExA(key, name, nullptr, &facts->type, nullptr, &facts->bytes);
    DWORD type = REG_NONE;
    facts->unicodeRead = ReadUnicodeValue(key, name, &facts->unicode, &type) == ERROR_SUCCESS && IsString(type);
}

std::string UnicodeJson(const ConfigFacts& value) {
    if (!value.unicodeRead) return JsonNull;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.unicode.data(), static_cast<int>(value.unicode.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, value.unicode.data(), static_cast<int>(value.unicode.size()), &utf8[0], bytes,
                            nullptr, nullptr);
    return JsonString(utf8, CP_UTF8);
}

}  // namespace

CheckResult CheckLaunch() {
    CheckResult check = {"launch", Status::Note, "", "", {}};
    char fallback[MAX_PATH];
    FallbackPath(fallback);
    char file[ConfigValueBufferSize] = "";
    char parameters[ConfigValueBufferSize] = "";
    LaunchFacts facts;
    facts.fallback = fallback;
    facts.file.text = file;
    facts.parameters.text = parameters;
    ScopedKey key;
    // As the agent opens and reads it.
    facts.keyStatus = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ShortcutConfigKey, 0, KEY_READ, key.out());
    if (facts.keyStatus == ERROR_SUCCESS) {
        ReadConfigFacts(key.get(), KEYVANE_CONFIG_FILE_VALUE, file, &facts.file);
        ReadConfigFacts(key.get(), KEYVANE_CONFIG_PARAMETERS_VALUE, parameters, &facts.parameters);
    }
    if (facts.file.read && file[0] != '\0') {
        NameForm form = FileNameForm(file);
        if (form == NameForm::FullPath) facts.exists = FileExists(file, &facts.isFolder);
        if (form == NameForm::Name) {
            ProgramSearch search = FindProgram(file);
            facts.found = search.found;
            facts.undecided = search.undecided;
        }
    }
    LaunchVerdict verdict = DecideLaunch(facts);
    check.status = verdict.status;
    const std::string with = verdict.parameters.empty() ? " with no parameters" : " with parameters " + MachineText(verdict.parameters);
    check.summary = verdict.usesFallback ? "A key press would start " + MachineText(verdict.file) + with + "."
                                         : "A key press would start " + MachineText(verdict.file) + with + " as configured.";
    check.action = verdict.action;
    check.fields = {{"file", JsonString(verdict.file)},
                    {"parameters", JsonString(verdict.parameters)},
                    {"uses", JsonString(verdict.usesFallback ? "fallback" : "configured")},
                    {"reason", JsonString(PlainText(verdict.reason))},
                    {"file_unicode", UnicodeJson(facts.file)},
                    {"parameters_unicode", UnicodeJson(facts.parameters)}};
    check.summary += " " + verdict.reason;
    return check;
}

CheckResult CheckConfigAccess() {
    CheckResult check = {"config-access", Status::Note, "", "", {}};
    // Where the key does not exist yet, whoever may write its nearest existing parent may create it.
    std::string path = ShortcutConfigKey;
    ScopedKey key;
    LSTATUS status;
    while ((status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY, key.out())) ==
               ERROR_FILE_NOT_FOUND &&
           path.find('\\') != std::string::npos)
        path = FolderPart(path);
    const std::string where = "HKLM\\" + path;
    check.fields = {{"key", JsonString(where)}, {"writers", JsonNull}};
    std::string owner;
    std::vector<AccessEntry> entries;
    DWORD error = status;
    if (status != ERROR_SUCCESS || !ReadAccessList(key.get(), &owner, &entries, &error)) {
        check.summary = "Who may write " + where + " could not be read (" + ErrorText(error) + ").";
        return check;
    }
    std::vector<std::string> writers = UntrustedWriters(owner, entries);
    std::string names, list = "[";
    for (const std::string& sid : writers) {
        std::string name = AccountName(sid);
        names += (names.empty() ? "" : ", ") + MachineText(name);
        list += std::string(list.size() > 1 ? ", " : "") + "{\"sid\": " + JsonString(sid) + ", \"name\": " + JsonString(name) + "}";
    }
    check.fields[1].json = list + "]";
    std::string subject = path == ShortcutConfigKey ? where : where + " (the configuration key does not exist yet)";
    // The package writes the key too, from properties that only an administrator or SYSTEM can pass.
    const char package[] = " The package's SHORTCUT_FILE and SHORTCUT_PARAMETERS write File and Parameters too; only an "
                           "administrator or SYSTEM can pass them.";
    if (writers.empty()) {
        check.status = Status::Ok;
        check.summary = "Only administrators, SYSTEM, TrustedInstaller and the creator owner may write " + subject + "." + package;
    } else {
        check.status = Status::Problem;
        check.summary = names + " may write " + subject + ": whoever can write File chooses what runs with the agent's UI access." + package;
        check.action = "leave write access to administrators only (regedit, Permissions), and remove it from everyone else";
    }
    return check;
}

CheckResult CheckPendingRestart(const CheckContext& context) {
    CheckResult check = {"pending-restart", Status::Ok, "", "", {}};
    ScopedKey key;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_QUERY_VALUE, key.out());
    std::vector<std::string> named;
    const std::vector<std::string> folders = {context.installedFolder, FolderPart(context.agentFile)};
    for (const char* value : {"PendingFileRenameOperations", "PendingFileRenameOperations2"}) {
        if (status != ERROR_SUCCESS) break;
        DWORD size = 0, type = REG_NONE;
        LSTATUS read = RegQueryValueExA(key.get(), value, nullptr, &type, nullptr, &size);
        std::string list(size, '\0');
        if (read == ERROR_SUCCESS && size > 0)
            read = RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(&list[0]), &size);
        if (read == ERROR_FILE_NOT_FOUND) continue;
        if (read != ERROR_SUCCESS) status = read;
        list.resize(size);
        for (const std::string& entry : PendingRenamesFor(list, folders)) named.push_back(entry);
    }
    std::string entries = "[";
    for (const std::string& entry : named) entries += (entries.size() > 1 ? ", " : "") + JsonString(entry);
    check.fields = {{"entries", status == ERROR_SUCCESS ? entries + "]" : JsonNull}};
    if (status != ERROR_SUCCESS) {
        check.status = Status::Note;
        check.summary = "The renames waiting for a restart could not be read (" + ErrorText(status) + ").";
    } else if (!named.empty()) {
        check.status = Status::Problem;
        check.summary = "A rename waits for a restart in Keyvane's files (" + MachineText(named.front()) +
                        "): an earlier install or uninstall could not replace or remove a file that was in use.";
        check.action = "restart Windows, then install again if needed";
    } else {
        check.summary = "No rename of Keyvane's files waits for a restart.";
    }
    return check;
}

CheckResult CheckPredecessor() {
    CheckResult check = {"predecessor", Status::Ok, "No window of the predecessor utility exists.", "", {}};
    if (FindWindowA(PredecessorClassName, PredecessorTitle)) {
        check.status = Status::Note;
        check.summary = "The predecessor utility's window exists; the agent closes it at each start, but it may answer the key meanwhile.";
        check.action = "uninstall the predecessor utility";
    }
    check.fields = {{"running", JsonBool(check.status == Status::Note)}};
    return check;
}

std::vector<CheckResult> RunChecks() {
    CheckContext context;
    std::vector<CheckResult> checks;
    checks.push_back(CheckInstalled(&context));
    checks.push_back(CheckRunAtLogon());
    checks.push_back(CheckSignature(context));
    checks.push_back(CheckSecureFolder(context));
    AgentIdentity identity;
    checks.push_back(CheckAgent(LoadAgentIdentity(GetModuleHandleA(nullptr), &identity) ? &identity : nullptr, &context));
    checks.push_back(CheckUiAccess(context));
    checks.push_back(CheckKeyboards());
    checks.push_back(CheckLaunch());
    checks.push_back(CheckConfigAccess());
    checks.push_back(CheckPendingRestart(context));
    checks.push_back(CheckPredecessor());
    return checks;
}

bool ReadWatchedInput(HRAWINPUT input, WatchedReport* report) {
    UINT size = 0;
    if (checkReads.getRawInputData(input, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0) return false;
    if (size < sizeof(RAWINPUTHEADER) || size > MaxRawInputPacket) return false;
    // Whole RAWINPUT units keep the packet aligned for its 64-bit fields.
    std::vector<RAWINPUT> buffer(size / sizeof(RAWINPUT) + 1);
    const UINT expected = size;
    if (checkReads.getRawInputData(input, RID_INPUT, buffer.data(), &size, sizeof(RAWINPUTHEADER)) != expected) return false;
    RID_DEVICE_INFO info = {};
    info.cbSize = sizeof(info);
    UINT infoSize = sizeof(info);
    // A device that cannot be asked shows as 0000:0000, which the agent would not act on either.
    if (checkReads.getRawInputDeviceInfo(buffer[0].header.hDevice, RIDI_DEVICEINFO, &info, &infoSize) == static_cast<UINT>(-1))
        info.hid.dwVendorId = info.hid.dwProductId = 0;
    return DescribeReport(buffer.data(), expected, info.hid.dwVendorId, info.hid.dwProductId, report);
}

namespace {

struct Watching {
    std::vector<WatchedReport>* reports;
    void (*onReport)(const WatchedReport&);
} watching;

LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INPUT) {
        WatchedReport report;
        if (ReadWatchedInput(reinterpret_cast<HRAWINPUT>(lParam), &report)) {
            watching.reports->push_back(report);
            if (watching.onReport) watching.onReport(report);
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

WatchResult Watch(DWORD seconds, void (*onReport)(const WatchedReport& report)) {
    WatchResult result;
    result.seconds = seconds;
    watching = {&result.reports, onReport};
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WatchWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WatchWindowClass;
    // Hidden and of its own class: never mistaken for the agent, never shown.
    HWND window = RegisterClassExA(&windowClass)
                      ? CreateWindowExA(0, WatchWindowClass, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr)
                      : nullptr;
    RAWINPUTDEVICE device = {VendorUsagePage, VendorUsage, RIDEV_INPUTSINK, window};
    if (!window || !RegisterRawInputDevices(&device, 1, sizeof(device))) {
        result.error = GetLastError();
        if (window) DestroyWindow(window);
        UnregisterClassA(WatchWindowClass, instance);
        return result;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    device.dwFlags = RIDEV_REMOVE;
    device.hwndTarget = nullptr;
    RegisterRawInputDevices(&device, 1, sizeof(device));
    DestroyWindow(window);
    UnregisterClassA(WatchWindowClass, instance);
    return result;
}

CheckResult WatchCheck(const WatchResult& watch) {
    CheckResult check = {"watch", Status::Problem, "", "", {{"seconds", JsonNumber(watch.seconds)}}};
    std::string reports = "[";
    int acted = 0;
    for (const WatchedReport& report : watch.reports) {
        acted += report.agentWouldAct;
        reports += std::string(reports.size() > 1 ? ", " : "") + "{\"vendor_id\": \"" + HexId(report.vendorId) +
                   "\", \"product_id\": \"" + HexId(report.productId) + "\", \"report\": \"" + report.report +
                   "\", \"agent_would_act\": " + JsonBool(report.agentWouldAct) + "}";
    }
    check.fields.push_back({"reports", watch.error ? JsonNull : reports + "]"});
    const std::string during = " in " + std::to_string(watch.seconds) + " s";
    if (watch.error) {
        check.status = Status::Note;
        check.summary = "Could not listen for the keyboards' reports (" + ErrorText(watch.error) + ").";
    } else if (watch.reports.empty()) {
        check.summary = "No report arrived" + during + ".";
        check.action = "press the shortcut key while watching; if nothing arrives, the keyboard does not send the shortcut key's report";
    } else if (acted == 0) {
        check.summary = std::to_string(watch.reports.size()) + " report(s) arrived" + during +
                        ", none the shortcut report (00 01) of a supported keyboard: the agent would do nothing.";
        check.action = "check the keyboard model (see keyboards) and press the shortcut key itself";
    } else {
        check.status = Status::Ok;
        check.summary = std::to_string(acted) + " of " + std::to_string(watch.reports.size()) +
                        " report(s)" + during + " would make the agent act.";
    }
    return check;
}
