// The Windows Installer package under Wine's own msiexec: install, launch configuration, upgrade,
// uninstall, and the package's own tables. Each test leaves the package removed, no agent running
// and the configuration as found.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

#include <msi.h>
#include <msiquery.h>
#include <wtsapi32.h>

#include "installer_steps.h"

using namespace kvtest;

namespace {

// Published with the first release; a package with another code would install beside it.
const char UpgradeCode[] = "{505ADC81-63B0-429F-BC73-70B1CC54947A}";
const char VendorDir[] = "C:\\Program Files\\Marvek";
const char InstallDir[] = "C:\\Program Files\\Marvek\\Keyvane";
const char InstalledAgent[] = "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe";
const char InstalledCheckTool[] = "C:\\Program Files\\Marvek\\Keyvane\\KeyvaneCheck.exe";
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The configuration key and the keys above it that an install may create, deepest first.
const char* const ConfigKeyChain[] = {ConfigKey, "Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17",
                                      "Software\\Marvek\\ShortcutKey\\AppLaunch",
                                      "Software\\Marvek\\ShortcutKey", "Software\\Marvek"};
const char SessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const DWORD MsiexecDeadlineMs = 60000;
const REGSAM View64 = KEY_WOW64_64KEY;

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Compared here rather than in an assertion, which would print both files.
::testing::AssertionResult IsCopyOf(const std::string& path, const std::string& signedAgent = AgentPath()) {
    std::string installed = ReadFileText(path), expected = ReadFileText(signedAgent);
    if (!installed.empty() && installed == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " (" << installed.size() << " bytes) is not " << signedAgent
                                         << " (" << expected.size() << " bytes)";
}

// A file's version and language as Windows Installer reads them from its version block.
std::string FileVersion(const std::string& path, std::string* language = nullptr) {
    char version[64] = "", lang[64] = "";
    DWORD versionSize = sizeof(version), langSize = sizeof(lang);
    UINT result = MsiGetFileVersionA(path.c_str(), version, &versionSize, lang, &langSize);
    EXPECT_EQ(result, static_cast<UINT>(ERROR_SUCCESS)) << "version of " << path;
    if (language) *language = lang;
    return version;
}

// What is left for Windows to do at the next restart: the files it will move or delete then.
std::vector<std::string> PendingRenames() {
    const DWORD flags = RRF_RT_REG_MULTI_SZ | RRF_SUBKEY_WOW6464KEY;
    DWORD size = 0;
    LONG result = RegGetValueA(HKEY_LOCAL_MACHINE, SessionManagerKey, "PendingFileRenameOperations", flags, nullptr,
                               nullptr, &size);
    std::vector<char> data(size + 2, '\0');
    if (result == ERROR_SUCCESS)
        result = RegGetValueA(HKEY_LOCAL_MACHINE, SessionManagerKey, "PendingFileRenameOperations", flags, nullptr,
                              data.data(), &size);
    if (result == ERROR_FILE_NOT_FOUND) return {};
    EXPECT_EQ(result, ERROR_SUCCESS) << "reading PendingFileRenameOperations";
    std::vector<std::string> entries;
    for (const char* entry = data.data(); *entry; entry += strlen(entry) + 1) entries.push_back(entry);
    return entries;
}

// A registry string value as found: absent, or present with its text.
struct RegValue {
    bool present;
    std::string text;
};
const RegValue Absent{false, ""};
RegValue Text(const char* text) { return RegValue{true, text}; }
bool operator==(const RegValue& a, const RegValue& b) { return a.present == b.present && a.text == b.text; }
void PrintTo(const RegValue& v, std::ostream* os) {
    if (v.present)
        *os << '"' << v.text << '"';
    else
        *os << "(absent)";
}

bool KeyExists(const char* key) {
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | View64, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

// REG_SZ only: any other type reads as a value the package did not write.
RegValue ReadValue(const char* key, const char* name) {
    char data[1024];
    DWORD size = sizeof(data), type = 0;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, &type, data, &size) !=
        ERROR_SUCCESS)
        return Absent;
    if (type != REG_SZ) return RegValue{true, "(type " + std::to_string(type) + ")"};
    return RegValue{true, std::string(data, size > 0 ? size - 1 : 0)};
}

bool WriteValue(const char* key, const char* name, const RegValue& value) {
    HKEY handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | View64, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = value.present ? RegSetValueExA(handle, name, 0, REG_SZ,
                                                 reinterpret_cast<const BYTE*>(value.text.c_str()),
                                                 static_cast<DWORD>(value.text.size() + 1))
                                : RegDeleteValueA(handle, name);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS || (!value.present && result == ERROR_FILE_NOT_FOUND);
}

// A value exactly as stored: absent, or its type and bytes.
struct RawValue {
    bool present;
    DWORD type;
    std::vector<BYTE> bytes;
};
bool operator==(const RawValue& a, const RawValue& b) {
    return a.present == b.present && (!a.present || (a.type == b.type && a.bytes == b.bytes));
}
void PrintTo(const RawValue& v, std::ostream* os) {
    if (!v.present) {
        *os << "(absent)";
        return;
    }
    *os << "type " << v.type << ", " << v.bytes.size() << " bytes:";
    for (BYTE b : v.bytes) *os << ' ' << std::hex << static_cast<int>(b) << std::dec;
}
const RawValue RawAbsent{false, 0, {}};
// A string value's bytes as Windows stores them: UTF-16 with the terminator.
RawValue RawText(DWORD type, const std::wstring& text) {
    RawValue value{true, type, {}};
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value.bytes.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return value;
}

// Through the wide functions: the narrow ones would convert a string value's bytes.
std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

RawValue ReadRaw(const char* key, const char* name) {
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_QUERY_VALUE | View64, &handle) != ERROR_SUCCESS)
        return RawAbsent;
    DWORD size = 0, type = 0;
    RawValue value = RawAbsent;
    if (RegQueryValueExW(handle, Wide(name).c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        value = RawValue{true, type, std::vector<BYTE>(size)};
        if (RegQueryValueExW(handle, Wide(name).c_str(), nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
            value = RawValue{true, 0, {0xBA, 0xD0}};  // unreadable: equal to nothing written here
        value.bytes.resize(size);
    }
    RegCloseKey(handle);
    return value;
}

bool WriteRaw(const char* key, const char* name, const RawValue& value) {
    HKEY handle;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | View64, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = value.present ? RegSetValueExW(handle, Wide(name).c_str(), 0, value.type, value.bytes.data(),
                                                 static_cast<DWORD>(value.bytes.size()))
                                : RegDeleteValueW(handle, Wide(name).c_str());
    RegCloseKey(handle);
    return result == ERROR_SUCCESS || (!value.present && result == ERROR_FILE_NOT_FOUND);
}

// What the tests may change under the configuration key, to put back afterwards.
struct ConfigSnapshot {
    bool keyExists[sizeof(ConfigKeyChain) / sizeof(ConfigKeyChain[0])];
    RegValue file, parameters;

    static ConfigSnapshot Take() {
        ConfigSnapshot s;
        for (size_t i = 0; i < sizeof(ConfigKeyChain) / sizeof(ConfigKeyChain[0]); ++i)
            s.keyExists[i] = KeyExists(ConfigKeyChain[i]);
        s.file = ReadValue(ConfigKey, "File");
        s.parameters = ReadValue(ConfigKey, "Parameters");
        return s;
    }
    // Keys that did not exist go again, deepest first; a key something else has filled stays.
    bool Restore() const {
        bool ok = true;
        if (keyExists[0]) ok = WriteValue(ConfigKey, "File", file) && WriteValue(ConfigKey, "Parameters", parameters);
        for (size_t i = 0; i < sizeof(ConfigKeyChain) / sizeof(ConfigKeyChain[0]); ++i)
            if (!keyExists[i] && KeyExists(ConfigKeyChain[i]))
                ok = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, ConfigKeyChain[i], View64, 0) == ERROR_SUCCESS && ok;
        return ok;
    }
};

bool DeleteConfigKey() {
    LONG result = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, ConfigKey, View64, 0);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// Runs msiexec with this tail; its exit code, or STILL_ACTIVE when it did not finish in time.
DWORD Msiexec(const std::string& tail) {
    Process msiexec;
    if (!msiexec.Start("msiexec.exe " + tail)) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "msiexec " << tail << ": error " << error;
        return error;
    }
    DWORD code = msiexec.WaitExit(MsiexecDeadlineMs);
    if (code == STILL_ACTIVE) msiexec.Kill();
    return code;
}

// Product codes of every installed version of the package.
std::vector<std::string> InstalledProducts() {
    std::vector<std::string> products;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(UpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        products.push_back(code);
    return products;
}

// A property of a product installed for the machine; empty when there is none.
std::string MachineProductInfo(const std::string& product, const char* property) {
    char value[256];
    DWORD size = sizeof(value);
    if (MsiGetProductInfoExA(product.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, property, value, &size) !=
        ERROR_SUCCESS)
        return std::string();
    return std::string(value, size);
}

std::string ProcessImage(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return std::string();
    char path[MAX_PATH];
    DWORD size = sizeof(path);
    std::string image = QueryFullProcessImageNameA(process, 0, path, &size) ? std::string(path, size) : "";
    CloseHandle(process);
    return image;
}

// Whether a silent run's verbose log asks for a reboot anywhere (a pending reboot of the machine
// itself, which the log also names, is not the run's doing).
::testing::AssertionResult NamesNoReboot(const std::string& logPath) {
    std::vector<std::string> lines = ReadLines(logPath);
    if (lines.empty()) return ::testing::AssertionFailure() << "no log at " << logPath;
    for (const std::string& line : lines) {
        std::string lower = line;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower.find("reboot") != std::string::npos && lower.find("msisystemrebootpending") == std::string::npos)
            return ::testing::AssertionFailure() << logPath << ": " << line;
    }
    return ::testing::AssertionSuccess();
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StopAllAgents()) << "an agent from an earlier test is still running";
        // Left over by a run that was killed before its tear-down.
        for (const std::string& product : InstalledProducts()) Msiexec("/x " + product + " /qn /norestart");
        ASSERT_EQ(InstalledProducts(), std::vector<std::string>{}) << "cannot remove an earlier install";
        ASSERT_EQ(ReadValue(RunKey, "Keyvane"), Absent);
        config_ = ConfigSnapshot::Take();
        vendorDirExisted_ = FileExists(VendorDir);
    }

    void TearDown() override {
        EXPECT_TRUE(StopAllAgents());
        for (const std::string& product : InstalledProducts())
            EXPECT_EQ(Msiexec("/x " + product + " /qn /norestart"), 0u) << "removing " << product;
        EXPECT_EQ(InstalledProducts(), std::vector<std::string>{});
        EXPECT_TRUE(config_.Restore());
    }

    static std::string Package() { return WindowsPathFromEnvironment("KEYVANE_MSI"); }

    // As the README tells administrators: silent, and never restarting the machine (3010 instead).
    static DWORD Install(const std::string& package, const std::string& properties = "") {
        return Msiexec("/i " + Quoted(package) + " /qn /norestart" + (properties.empty() ? "" : " " + properties));
    }
    // At another UI level ("/qb", or "" for the full UI), never restarting the machine.
    static DWORD InstallAt(const std::string& uiLevel, const std::string& package, const std::string& properties) {
        return Msiexec("/i " + Quoted(package) + (uiLevel.empty() ? "" : " " + uiLevel) + " /norestart " + properties);
    }
    static DWORD Uninstall(const std::string& package) {
        return Msiexec("/x " + Quoted(package) + " /qn /norestart");
    }

    // An install, upgrade or repair starts the agent in this session: waited for (its window may
    // come after msiexec returns) and ended, so that the test's own start is the one that runs.
    static void EndStartedAgent() {
        EXPECT_NE(WaitForAgentWindow(), nullptr) << "the package started no agent";
        EXPECT_TRUE(StopAllAgents());
    }

    // Starts the installed agent named by the Run value, the program that logon starts, in place
    // of the one the package started; fails when no window appears.
    static Process StartFromRunValue() {
        EndStartedAgent();
        RegValue command = ReadValue(RunKey, "Keyvane");
        EXPECT_TRUE(command.present);
        // The value is the quoted path and nothing else.
        std::string path = command.text.size() > 2 ? command.text.substr(1, command.text.size() - 2) : "";
        Process agent = StartAgent("", path);
        HWND window = WaitForAgentWindow();
        EXPECT_NE(window, nullptr) << "no agent window after starting " << command.text;
        EXPECT_EQ(WindowProcessId(window), agent.Id());
        return agent;
    }

    // After an install, upgrade or repair that ended `ended`: an agent runs again in this session,
    // from the installed file, started by the package (Windows may take a moment to start it).
    static void ExpectAgentRunsAgain(Process& ended) {
        EXPECT_NE(ended.WaitExit(0), STILL_ACTIVE) << "the agent was not ended";
        HWND window = nullptr;
        EXPECT_TRUE(WaitFor([&] {
            window = FindWindowA(AgentClass, AgentTitle);
            return window && WindowProcessId(window) != ended.Id();
        })) << "no agent runs again after the installation";
        if (!window) return;
        std::string image = ProcessImage(WindowProcessId(window));
        EXPECT_EQ(lstrcmpiA(image.c_str(), InstalledAgent), 0) << image;
    }

    // The single installed product, in the machine context, with the given version.
    static void ExpectInstalledVersion(const std::string& version) {
        std::vector<std::string> products = InstalledProducts();
        ASSERT_EQ(products.size(), 1u) << "installed beside another version";
        EXPECT_EQ(MachineProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), version)
            << "not installed for the machine, or another version";
    }

    ConfigSnapshot config_;
    bool vendorDirExisted_ = false;
};

TEST_F(Installer, SilentInstallPlacesTheAgentStartsItAndAtLogon) {
    ASSERT_EQ(Install(Package()), 0u) << Package();
    // Started by the package in this session, from the installed file.
    HWND started = WaitForAgentWindow();
    ASSERT_NE(started, nullptr) << "the install started no agent";
    EXPECT_EQ(lstrcmpiA(ProcessImage(WindowProcessId(started)).c_str(), InstalledAgent), 0)
        << ProcessImage(WindowProcessId(started));

    EXPECT_TRUE(IsCopyOf(InstalledAgent));
    EXPECT_TRUE(IsCopyOf(InstalledCheckTool, WindowsPathFromEnvironment("KEYVANE_CHECK")));
    ExpectInstalledVersion(EnvironmentValue("KEYVANE_VERSION"));
    std::vector<std::string> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(MachineProductInfo(products[0], INSTALLPROPERTY_PRODUCTNAME), "Keyvane");
    EXPECT_EQ(MachineProductInfo(products[0], INSTALLPROPERTY_PUBLISHER), "Marvek");
    ASSERT_EQ(ReadValue(RunKey, "Keyvane"), Text(Quoted(InstalledAgent).c_str()));

    Process agent = StartFromRunValue();
    EXPECT_EQ(lstrcmpiA(ProcessImage(agent.Id()).c_str(), InstalledAgent), 0) << ProcessImage(agent.Id());
    EXPECT_TRUE(StopAllAgents());
    EXPECT_EQ(agent.WaitExit(), 0u);
}

struct UninstallCase {
    const char* name;
    bool agentRunning;
    bool vendorFolderShared;  // another program keeps a file under the vendor folder
    int rounds;               // install and uninstall again: ending the agent must never race the files
    bool copyElsewhere;       // the agent runs from a copy outside the installation, which is not ours to end
};

void PrintTo(const UninstallCase& c, std::ostream* os) { *os << c.name; }

// A file of another program of the same vendor, there for the length of one test.
class OtherProgramFile {
public:
    OtherProgramFile() {
        vendorCreated_ = CreateDirectoryA(VendorDir, nullptr) != FALSE;
        CreateDirectoryA(Dir().c_str(), nullptr);
        created_ = WriteFileText(Path(), "kept");
    }
    ~OtherProgramFile() {
        DeleteFileA(Path().c_str());
        RemoveDirectoryA(Dir().c_str());
        if (vendorCreated_) RemoveDirectoryA(VendorDir);
    }
    bool Created() const { return created_; }
    static std::string Dir() { return std::string(VendorDir) + "\\Other"; }
    static std::string Path() { return Dir() + "\\keep.txt"; }

private:
    bool vendorCreated_ = false;
    bool created_ = false;
};

class SilentUninstall : public Installer, public ::testing::WithParamInterface<UninstallCase> {};

TEST_P(SilentUninstall, EndsTheAgentAndRemovesWhatTheInstallAdded) {
    const UninstallCase& c = GetParam();
    std::unique_ptr<OtherProgramFile> other;
    if (c.vendorFolderShared) {
        other.reset(new OtherProgramFile);
        ASSERT_TRUE(other->Created());
    }
    for (int round = 1; round <= c.rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + " of " + std::to_string(c.rounds));
        ASSERT_EQ(Install(Package()), 0u);
        Process agent;
        if (c.agentRunning) agent = StartFromRunValue();
        Process copy;
        if (c.copyElsewhere) {
            EndStartedAgent();
            std::string path = TempPath("keyvane-copy\\Keyvane.exe");
            CreateDirectoryA(TempPath("keyvane-copy").c_str(), nullptr);
            ASSERT_TRUE(CopyFileA(AgentPath().c_str(), path.c_str(), FALSE)) << path << " error " << GetLastError();
            copy = StartAgent("", path);
            ASSERT_NE(WaitForAgentWindow(), nullptr) << path;
        }
        const std::vector<std::string> pendingBefore = PendingRenames();

        EXPECT_EQ(Uninstall(Package()), 0u) << "3010 means a file was left for a restart";
        // Ended, not told to quit: its exit code is the stop step's. Gone before msiexec returned.
        if (c.agentRunning) EXPECT_NE(agent.WaitExit(0), STILL_ACTIVE) << "the agent outlived the uninstall";
        EXPECT_EQ(FindAgentWindows().size(), c.copyElsewhere ? 1u : 0u);
        if (c.copyElsewhere) {
            EXPECT_TRUE(copy.Running()) << "the uninstall ended an agent it did not install";
            EXPECT_TRUE(StopAllAgents());
            EXPECT_EQ(copy.WaitExit(), 0u);
            DeleteFileA(TempPath("keyvane-copy\\Keyvane.exe").c_str());
        }
        EXPECT_FALSE(FileExists(InstalledAgent));
        EXPECT_FALSE(FileExists(InstallDir));
        EXPECT_EQ(PendingRenames(), pendingBefore) << "something is left for a restart";
        EXPECT_EQ(FileExists(VendorDir), vendorDirExisted_ || c.vendorFolderShared) << VendorDir;
        if (c.vendorFolderShared) EXPECT_EQ(ReadFileText(OtherProgramFile::Path()), "kept");
        EXPECT_EQ(ReadValue(RunKey, "Keyvane"), Absent);
        EXPECT_EQ(InstalledProducts(), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SilentUninstall,
                         ::testing::Values(UninstallCase{"AgentRunning", true, false, 20, false},
                                           UninstallCase{"NoAgent", false, false, 1, false},
                                           UninstallCase{"VendorFolderShared", true, true, 1, false},
                                           UninstallCase{"CopyElsewhereRuns", false, false, 1, true}),
                         [](const ::testing::TestParamInfo<UninstallCase>& info) { return std::string(info.param.name); });

struct ConfigCase {
    const char* name;
    bool keyBefore;  // false: no configuration key before the install
    RegValue fileBefore, parametersBefore;
    const char* fileProperty;  // nullptr: not on the command line
    const char* parametersProperty;
    bool keyAfter;
    RegValue fileAfter, parametersAfter;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class LaunchConfiguration : public Installer, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(LaunchConfiguration, IsWrittenOnlyWhenGivenAndKeptOnUninstall) {
    const ConfigCase& c = GetParam();
    ASSERT_TRUE(DeleteConfigKey());
    if (c.keyBefore) {
        ASSERT_TRUE(WriteValue(ConfigKey, "File", c.fileBefore));
        ASSERT_TRUE(WriteValue(ConfigKey, "Parameters", c.parametersBefore));
    }
    std::string properties;
    if (c.fileProperty) properties += std::string("SHORTCUT_FILE=\"") + c.fileProperty + "\"";
    if (c.parametersProperty)
        properties += std::string(properties.empty() ? "" : " ") + "SHORTCUT_PARAMETERS=\"" + c.parametersProperty + "\"";

    auto expectConfiguration = [&](const char* stage) {
        EXPECT_EQ(KeyExists(ConfigKey), c.keyAfter) << stage;
        EXPECT_EQ(ReadValue(ConfigKey, "File"), c.fileAfter) << stage;
        EXPECT_EQ(ReadValue(ConfigKey, "Parameters"), c.parametersAfter) << stage;
    };
    ASSERT_EQ(Install(Package(), properties), 0u) << properties;
    expectConfiguration("after install");
    ASSERT_EQ(Uninstall(Package()), 0u);
    expectConfiguration("after uninstall");
}

const char OldFile[] = "C:\\Tools\\before.exe";
const char OldParameters[] = "--before";
const char NewFile[] = "C:\\x y\\a.exe";
// Single blanks: Wine's msiexec folds runs of blanks in a property value, Windows does not.
const char NewParameters[] = "/open C:\\x y\\notes.txt";

INSTANTIATE_TEST_SUITE_P(
    Properties, LaunchConfiguration,
    ::testing::Values(
        ConfigCase{"BothGiven", true, Text(OldFile), Text(OldParameters), NewFile, NewParameters, true,
                   Text(NewFile), Text(NewParameters)},
        ConfigCase{"BothGivenNoKeyBefore", false, Absent, Absent, NewFile, NewParameters, true, Text(NewFile),
                   Text(NewParameters)},
        ConfigCase{"NoneGiven", true, Text(OldFile), Text(OldParameters), nullptr, nullptr, true, Text(OldFile),
                   Text(OldParameters)},
        ConfigCase{"NoneGivenParametersAbsent", true, Text(OldFile), Absent, nullptr, nullptr, true,
                   Text(OldFile), Absent},
        ConfigCase{"NoneGivenNoKeyBefore", false, Absent, Absent, nullptr, nullptr, false, Absent, Absent},
        // A new program never inherits the arguments meant for the old one.
        ConfigCase{"FileOnlyEmptiesParameters", true, Text(OldFile), Text(OldParameters), NewFile, nullptr, true,
                   Text(NewFile), Text("")},
        ConfigCase{"ParametersOnlyKeepsFile", true, Text(OldFile), Text(OldParameters), nullptr, NewParameters,
                   true, Text(OldFile), Text(NewParameters)},
        // Written as given: the Registry table would have made "#1" a number.
        ConfigCase{"LeadingHashStaysText", true, Text(OldFile), Text(OldParameters), nullptr, "#1", true, Text(OldFile),
                   Text("#1")}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

struct UpgradeCase {
    const char* packageVariable;
    const char* versionVariable;
    const char* agentVariable;  // the later package's Keyvane.exe, whose version block has its version
    bool checkToolRunning;      // the installed KeyvaneCheck.exe --watch runs meanwhile
};

void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << EnvironmentValue(c.versionVariable); }

class Upgrade : public Installer, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(Upgrade, LaterVersionReplacesTheInstalledOneInPlace) {
    const std::string later = WindowsPathFromEnvironment(GetParam().packageVariable);
    const std::string laterVersion = EnvironmentValue(GetParam().versionVariable);
    const std::string laterAgent = WindowsPathFromEnvironment(GetParam().agentVariable);
    const std::string log = TempPath("keyvane-upgrade.log");
    ASSERT_EQ(Install(Package()), 0u);
    Process agent = StartFromRunValue();
    Process check;
    if (GetParam().checkToolRunning) {
        ASSERT_TRUE(check.Start(Quoted(InstalledCheckTool) + " --watch 60")) << "error " << GetLastError();
        ASSERT_EQ(check.WaitExit(500), static_cast<DWORD>(STILL_ACTIVE)) << "the diagnosis tool did not keep running";
    }
    const std::vector<std::string> pendingBefore = PendingRenames();

    // 3010 would mean a file in use was left for a restart.
    ASSERT_EQ(Install(later, "/l*v " + Quoted(log)), 0u) << later;
    ExpectInstalledVersion(laterVersion);
    if (GetParam().checkToolRunning) {
        EXPECT_NE(check.WaitExit(0), static_cast<DWORD>(STILL_ACTIVE)) << "the diagnosis tool outlived the upgrade";
        EXPECT_TRUE(IsCopyOf(InstalledCheckTool, WindowsPathFromEnvironment("KEYVANE_CHECK")));
        EXPECT_EQ(PendingRenames(), pendingBefore) << "something is left for a restart";
    }
    // The replaced version's agent is ended, and the new file's agent runs in its place.
    ExpectAgentRunsAgain(agent);
    EXPECT_TRUE(NamesNoReboot(log));
    DeleteFileA(log.c_str());
    EXPECT_TRUE(IsCopyOf(InstalledAgent, laterAgent));
    EXPECT_EQ(FileVersion(InstalledAgent), laterVersion);
    EXPECT_EQ(ReadValue(RunKey, "Keyvane"), Text(Quoted(InstalledAgent).c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Upgrade,
    ::testing::Values(UpgradeCase{"KEYVANE_MSI_NEXT_BUILD", "KEYVANE_VERSION_NEXT_BUILD", "KEYVANE_AGENT_NEXT_BUILD", false},
                      UpgradeCase{"KEYVANE_MSI_NEXT_PATCH", "KEYVANE_VERSION_NEXT_PATCH", "KEYVANE_AGENT_NEXT_PATCH", true}));

struct RepairCase {
    const char* name;
    const char* mode;     // REINSTALLMODE: "o" replaces only older files, "a" every file
    const char* uiLevel;  // "/qn", "/qb", or "" for the full UI
    RawValue file, parameters;  // as found before the repair, and after it
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.name; }

class Repair : public Installer, public ::testing::WithParamInterface<RepairCase> {};

// What Apps & Features, msiexec /f and deployment tools run: without the launch properties, and
// after the configuration was changed since the install (as Group Policy does, or an
// administrator by hand, with any type).
TEST_P(Repair, KeepsTheLaunchConfigurationAndStartsTheAgentAgain) {
    const RepairCase& c = GetParam();
    ASSERT_EQ(Install(Package(), std::string("SHORTCUT_FILE=\"") + OldFile + "\" SHORTCUT_PARAMETERS=\"" +
                                     OldParameters + "\""),
              0u);
    ASSERT_TRUE(WriteRaw(ConfigKey, "File", c.file));
    ASSERT_TRUE(WriteRaw(ConfigKey, "Parameters", c.parameters));
    Process agent = StartFromRunValue();
    const std::vector<std::string> pendingBefore = PendingRenames();

    // Properties rather than msiexec /f (Wine's msiexec answers /fa with 1).
    EXPECT_EQ(InstallAt(c.uiLevel, Package(), std::string("REINSTALL=ALL REINSTALLMODE=") + c.mode), 0u);
    ExpectAgentRunsAgain(agent);
    EXPECT_TRUE(IsCopyOf(InstalledAgent));
    EXPECT_EQ(ReadRaw(ConfigKey, "File"), c.file);
    EXPECT_EQ(ReadRaw(ConfigKey, "Parameters"), c.parameters);
    EXPECT_EQ(PendingRenames(), pendingBefore) << "something is left for a restart";
    ExpectInstalledVersion(EnvironmentValue("KEYVANE_VERSION"));
}

const RawValue NewFileValue = RawText(REG_SZ, L"C:\\x y\\a.exe");
const RawValue NewParametersValue = RawText(REG_SZ, L"/open C:\\x y\\notes.txt");
// Two strings and the closing terminator.
const RawValue MultiParameters{true, REG_MULTI_SZ, {'-', 0, 'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, Repair,
    ::testing::Values(RepairCase{"omus", "omus", "/qn", NewFileValue, NewParametersValue},
                      RepairCase{"amus", "amus", "/qn", NewFileValue, NewParametersValue},
                      RepairCase{"ParametersAbsent", "omus", "/qn", NewFileValue, RawAbsent},
                      RepairCase{"ExpandAndMultiString", "omus", "/qn",
                                 RawText(REG_EXPAND_SZ, L"%ProgramFiles%\\Tools\\a.exe"), MultiParameters},
                      RepairCase{"ReducedUI", "omus", "/qb", NewFileValue, NewParametersValue},
                      RepairCase{"FullUI", "omus", "", RawText(REG_EXPAND_SZ, L"%SystemRoot%\\notepad.exe"), RawAbsent}),
    [](const ::testing::TestParamInfo<RepairCase>& info) { return std::string(info.param.name); });

struct LaterCase {
    const char* packageVariable;
    const char* versionVariable;
};

void PrintTo(const LaterCase& c, std::ostream* os) { *os << EnvironmentValue(c.versionVariable); }

class Downgrade : public Installer, public ::testing::WithParamInterface<LaterCase> {};

// Windows Installer itself compares three fields: a later fourth field must win as well.
TEST_P(Downgrade, EarlierVersionIsRefusedOverALaterOne) {
    ASSERT_EQ(Install(WindowsPathFromEnvironment(GetParam().packageVariable)), 0u);
    EXPECT_EQ(Install(Package()), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    ExpectInstalledVersion(EnvironmentValue(GetParam().versionVariable));
    EXPECT_TRUE(FileExists(InstalledAgent));
    EXPECT_EQ(FileVersion(InstalledAgent), EnvironmentValue(GetParam().versionVariable));
}

INSTANTIATE_TEST_SUITE_P(Versions, Downgrade,
                         ::testing::Values(LaterCase{"KEYVANE_MSI_NEXT_BUILD", "KEYVANE_VERSION_NEXT_BUILD"},
                                           LaterCase{"KEYVANE_MSI_NEXT_PATCH", "KEYVANE_VERSION_NEXT_PATCH"}));

// A later package that fails inside the script. Windows rolls the old version's removal back
// with the rest (it is inside the transaction); Wine's msi does not roll a nested removal back and
// leaves neither. Either way, never half of one: what remains is reported.
// The launch configuration it was given is written early in the script and put back exactly.
TEST_F(Installer, FailedUpgradeLeavesNoHalfInstallation) {
    ASSERT_EQ(Install(Package()), 0u);
    const RawValue file = RawText(REG_EXPAND_SZ, L"%ProgramFiles%\\Tools\\before.exe");
    ASSERT_TRUE(WriteRaw(ConfigKey, "File", file));
    ASSERT_TRUE(WriteRaw(ConfigKey, "Parameters", RawAbsent));
    EXPECT_EQ(Install(WindowsPathFromEnvironment("KEYVANE_MSI_FAILING"),
                      std::string("SHORTCUT_FILE=\"") + NewFile + "\" SHORTCUT_PARAMETERS=\"" + NewParameters + "\""),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(ReadRaw(ConfigKey, "File"), file);
    EXPECT_EQ(ReadRaw(ConfigKey, "Parameters"), RawAbsent);
    std::vector<std::string> products = InstalledProducts();
    std::string version = products.size() == 1 ? MachineProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING) : "";
    bool old = products.size() == 1 && version == EnvironmentValue("KEYVANE_VERSION") && IsCopyOf(InstalledAgent);
    bool neither = products.empty() && !FileExists(InstalledAgent);
    std::string remains = old ? "the old version, installed and in place" : neither ? "neither version" : "a half installation";
    RecordProperty("remains", remains);
    std::cout << "after a failed upgrade: " << remains << "\n";
    EXPECT_TRUE(old || neither) << products.size() << " product(s), version " << version << ", agent file "
                                << (FileExists(InstalledAgent) ? "present" : "absent");
}

// With rollback disabled no commit or rollback step runs and a failed upgrade could not bring the
// old version back: an upgrade is refused before anything changes; an install and a repair, which
// remove nothing old, go on and start the agent. (Wine's msi sets RollbackDisabled for
// DISABLEROLLBACK=1; it runs commit steps even so.)
TEST_F(Installer, WithRollbackDisabledOnlyAnUpgradeIsRefused) {
    ASSERT_EQ(Install(Package(), "DISABLEROLLBACK=1"), 0u);
    EXPECT_NE(WaitForAgentWindow(), nullptr) << "no agent after the install";
    Process agent = StartFromRunValue();
    EXPECT_EQ(Install(Package(), "REINSTALL=ALL REINSTALLMODE=omus DISABLEROLLBACK=1"), 0u);
    ExpectAgentRunsAgain(agent);

    EXPECT_EQ(Install(WindowsPathFromEnvironment("KEYVANE_MSI_NEXT_PATCH"), "DISABLEROLLBACK=1"),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    ExpectInstalledVersion(EnvironmentValue("KEYVANE_VERSION"));
    EXPECT_TRUE(IsCopyOf(InstalledAgent));

    // The machine policy, which the package reads itself as well.
    const char PolicyKey[] = "Software\\Policies\\Microsoft\\Windows\\Installer";
    const RawValue disabled{true, REG_DWORD, {1, 0, 0, 0}};
    const RawValue before = ReadRaw(PolicyKey, "DisableRollback");
    ASSERT_TRUE(WriteRaw(PolicyKey, "DisableRollback", disabled));
    EXPECT_EQ(Install(WindowsPathFromEnvironment("KEYVANE_MSI_NEXT_PATCH")), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_TRUE(WriteRaw(PolicyKey, "DisableRollback", before));
    ExpectInstalledVersion(EnvironmentValue("KEYVANE_VERSION"));
    EXPECT_TRUE(IsCopyOf(InstalledAgent));
}

// Where Windows Installer keeps a machine product's registration: its code "squished" (each of
// the first three groups reversed, then each byte's two digits swapped).
std::string InstallPropertiesKey(const std::string& product) {
    std::string hex;
    for (char c : product)
        if (isxdigit(static_cast<unsigned char>(c))) hex += c;
    if (hex.size() != 32) return std::string();
    auto reversed = [&](size_t from, size_t to) { return std::string(hex.rbegin() + (32 - to), hex.rbegin() + (32 - from)); };
    std::string squished = reversed(0, 8) + reversed(8, 12) + reversed(12, 16);
    for (size_t i = 16; i < 32; i += 2) squished += std::string{hex[i + 1], hex[i]};
    return "Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\" + squished +
           "\\InstallProperties";
}

// The version guard fails closed: an installed version it cannot read is never replaced.
TEST_F(Installer, UnreadableInstalledVersionIsNotReplaced) {
    ASSERT_EQ(Install(Package()), 0u);
    std::vector<std::string> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    const std::string key = InstallPropertiesKey(products[0]);
    const RegValue version = ReadValue(key.c_str(), "DisplayVersion");
    ASSERT_EQ(version, Text(EnvironmentValue("KEYVANE_VERSION").c_str())) << key;
    ASSERT_TRUE(WriteValue(key.c_str(), "DisplayVersion", Text("1.0.x.2")));
    ASSERT_EQ(MachineProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), "1.0.x.2") << "not where the guard reads it";
    const std::string log = TempPath("keyvane-unreadable.log");

    EXPECT_EQ(Install(WindowsPathFromEnvironment("KEYVANE_MSI_NEXT_PATCH"), "/l*v " + Quoted(log)),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(InstalledProducts(), products);
    EXPECT_TRUE(IsCopyOf(InstalledAgent));
    bool logged = false;
    for (const std::string& line : ReadLines(log))
        logged = logged || line.find("Keyvane: cannot compare the installed version") != std::string::npos;
    EXPECT_TRUE(logged) << log;
    DeleteFileA(log.c_str());
    EXPECT_TRUE(WriteValue(key.c_str(), "DisplayVersion", version));
}

struct FolderCase {
    const char* name;
    const char* installDir;
    const char* agentThere;  // where Keyvane.exe would land
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class InstallFolder : public Installer, public ::testing::WithParamInterface<FolderCase> {};

// Windows starts a UI-access program only from a secure folder: elsewhere it would never run.
TEST_P(InstallFolder, OutsideProgramFilesIsRefused) {
    const FolderCase& c = GetParam();
    DeleteFileA(c.agentThere);  // left by an earlier run that let it through
    ASSERT_FALSE(FileExists(c.agentThere)) << c.agentThere;
    EXPECT_EQ(Install(Package(), std::string("INSTALLDIR=\"") + c.installDir + "\""),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_FALSE(FileExists(c.agentThere)) << c.agentThere;
    EXPECT_FALSE(FileExists(InstalledAgent));
    EXPECT_EQ(InstalledProducts(), std::vector<std::string>{});
    EXPECT_EQ(ReadValue(RunKey, "Keyvane"), Absent);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, InstallFolder,
    ::testing::Values(FolderCase{"OtherDrive", "D:\\Tools\\Keyvane\\", "D:\\Tools\\Keyvane\\Keyvane.exe"},
                      FolderCase{"RootFolder", "C:\\Tools\\Keyvane\\", "C:\\Tools\\Keyvane\\Keyvane.exe"},
                      FolderCase{"OutOfProgramFilesByDots", "C:\\Program Files\\..\\Tools\\",
                                 "C:\\Tools\\Keyvane.exe"},
                      FolderCase{"OutOfProgramFilesBySlashes", "C:\\Program Files/../Tools/", "C:\\Tools\\Keyvane.exe"}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.name); });

// The package's own tables, read with the MSI API.
class PackageTables : public ::testing::Test {
protected:
    using Row = std::vector<std::string>;

    static void SetUpTestSuite() {
        std::string package = WindowsPathFromEnvironment("KEYVANE_MSI");
        UINT result = MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &database);
        ASSERT_EQ(result, static_cast<UINT>(ERROR_SUCCESS)) << "opening " << package;
    }
    static void TearDownTestSuite() { MsiCloseHandle(database); }

    // Every row of the query, each field as text (integers in decimal, null as empty).
    static std::vector<Row> Rows(const std::string& query) {
        std::vector<Row> rows;
        MSIHANDLE view = 0, record = 0;
        UINT result = MsiDatabaseOpenViewA(database, query.c_str(), &view);
        EXPECT_EQ(result, static_cast<UINT>(ERROR_SUCCESS)) << query;
        if (result != ERROR_SUCCESS) return rows;
        EXPECT_EQ(MsiViewExecute(view, 0), static_cast<UINT>(ERROR_SUCCESS)) << query;
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            Row row;
            for (UINT field = 1; field <= MsiRecordGetFieldCount(record); ++field) {
                char text[1024] = "";
                DWORD size = sizeof(text);
                MsiRecordGetStringA(record, field, text, &size);
                row.push_back(text);
            }
            rows.push_back(row);
            MsiCloseHandle(record);
        }
        MsiCloseHandle(view);
        return rows;
    }

    static MSIHANDLE database;
};
MSIHANDLE PackageTables::database;

// Custom action types (the low six bits) that start a program, and option bits.
const int TypeMask = 0x3F, DllInBinary = 1, ExeInBinary = 2, ExeInstalled = 18, ExeInDirectory = 34,
          ExeByProperty = 50, PropertyFromText = 51;
const int InScript = 1024, NoImpersonate = 2048, Rollback = 256, Commit = 512;

TEST_F(PackageTables, NoStepStartsAProgram) {
    for (const Row& action : Rows("SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`")) {
        int type = std::stoi(action[1]) & TypeMask;
        EXPECT_TRUE(type != ExeInBinary && type != ExeInstalled && type != ExeInDirectory && type != ExeByProperty)
            << action[0] << " (type " << action[1] << ") starts " << action[2] << " " << action[3];
    }
}

TEST_F(PackageTables, StopStepRunsInSystemContextBeforeTheFilesChange) {
    std::vector<Row> stop = Rows("SELECT `Type`, `Source` FROM `CustomAction` WHERE `Action` = 'StopAgents'");
    ASSERT_EQ(stop.size(), 1u) << "no stop step";
    int type = std::stoi(stop[0][0]);
    EXPECT_EQ(type & TypeMask, DllInBinary) << "type " << type;
    EXPECT_EQ(Rows("SELECT `Name` FROM `Binary` WHERE `Name` = '" + stop[0][1] + "'").size(), 1u) << stop[0][1];
    EXPECT_TRUE(type & InScript) << "not deferred: type " << type;
    EXPECT_TRUE(type & NoImpersonate) << "impersonates the installing user: type " << type;
    EXPECT_FALSE(type & (Rollback | Commit)) << "type " << type;

    // Its CustomActionData: set by an immediate step to the installed exe's path.
    std::vector<Row> data = Rows("SELECT `Action`, `Type`, `Target` FROM `CustomAction` WHERE `Source` = 'StopAgents'");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(std::stoi(data[0][1]) & (TypeMask | InScript), PropertyFromText);
    // Both programs that hold their files while they run: the agent and the diagnosis tool.
    EXPECT_EQ(data[0][2], "[INSTALLDIR]Keyvane.exe|[INSTALLDIR]KeyvaneCheck.exe");

    std::map<std::string, int> sequence;
    for (const Row& step : Rows("SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`"))
        sequence[step[0]] = std::stoi(step[1]);
    for (const char* step : {"InstallInitialize", "RemoveFiles", "InstallFiles", "StopAgents"})
        ASSERT_EQ(sequence.count(step), 1u) << step;
    EXPECT_LT(sequence[data[0][0]], sequence["StopAgents"]);
    EXPECT_GT(sequence["StopAgents"], sequence["InstallInitialize"]);
    EXPECT_LT(sequence["StopAgents"], sequence["RemoveFiles"]);
    EXPECT_LT(sequence["StopAgents"], sequence["InstallFiles"]);
}

// The steps that find sessions and start agents run as LocalSystem, where every session is in
// sight; none runs with the installing user's token.
TEST_F(PackageTables, RestartStepsFindTheSessionsAsLocalSystem) {
    std::map<std::string, int> sequence;
    std::map<std::string, std::string> conditions;
    for (const Row& step : Rows("SELECT `Action`, `Sequence`, `Condition` FROM `InstallExecuteSequence`")) {
        sequence[step[0]] = std::stoi(step[1]);
        conditions[step[0]] = step[2];
    }
    struct {
        const char* action;
        int phase;  // Commit, Rollback, or 0: deferred
        const char* condition;
    } steps[] = {{"RestartAgents", Commit, "$Agent=3"},
                 {"RestartAgentsOnRollback", Rollback, "$Agent=2 OR $Agent=3"},
                 {"StartAgentsWithoutRollback", 0, "$Agent=3 AND (RollbackDisabled OR DISABLEROLLBACK)"}};
    for (const auto& step : steps) {
        std::vector<Row> row =
            Rows(std::string("SELECT `Type`, `Target` FROM `CustomAction` WHERE `Action` = '") + step.action + "'");
        ASSERT_EQ(row.size(), 1u) << step.action;
        int type = std::stoi(row[0][0]);
        EXPECT_EQ(type & (TypeMask | InScript | NoImpersonate | Rollback | Commit),
                  DllInBinary | InScript | NoImpersonate | step.phase)
            << step.action << ": type " << type;
        EXPECT_EQ(row[0][1], "RestartAgents") << step.action;
        // Never after an uninstall (2 would be absent).
        EXPECT_EQ(conditions[step.action], step.condition) << step.action;
        std::vector<Row> data =
            Rows(std::string("SELECT `Action`, `Target` FROM `CustomAction` WHERE `Source` = '") + step.action + "'");
        ASSERT_EQ(data.size(), 1u) << step.action;
        EXPECT_EQ(data[0][1], "[INSTALLDIR]Keyvane.exe");
        EXPECT_LT(sequence[data[0][0]], sequence[step.action]);
        EXPECT_EQ(conditions[data[0][0]], step.condition) << data[0][0];
    }
    // In the script before anything is removed, so that a rollback undoes the removal first.
    for (const char* step : {"RestartAgents", "RestartAgentsOnRollback"})
        EXPECT_LT(sequence[step], sequence["StopAgents"]) << step;
    // Without rollback, after the files are in place.
    EXPECT_GT(sequence["StartAgentsWithoutRollback"], sequence["InstallFiles"]);
    EXPECT_LT(sequence["StartAgentsWithoutRollback"], sequence["InstallFinalize"]);
    // No immediate step enumerates agents or sessions.
    for (const Row& action : Rows("SELECT `Action`, `Type`, `Target` FROM `CustomAction` WHERE `Source` = 'InstallerStepsDll'")) {
        int type = std::stoi(action[1]);
        if (action[2] == "RestartAgents" || action[2] == "StopAgents")
            EXPECT_TRUE((type & InScript) && (type & NoImpersonate)) << action[0] << ": type " << type;
        else
            EXPECT_TRUE(action[2] == "CheckNewerVersion" || action[2] == "CheckRollbackPolicy" ||
                        action[2] == "PrepareLaunchConfiguration" || action[2] == "ApplyLaunchConfiguration")
                << action[0] << " calls " << action[2];
    }
    // Restart Manager stays out: it reaches only the installing session.
    EXPECT_EQ(Rows("SELECT `Value` FROM `Property` WHERE `Property` = 'MSIRESTARTMANAGERCONTROL'"),
              std::vector<Row>{Row{"Disable"}});
}

TEST_F(PackageTables, OldVersionIsRemovedInsideTheTransaction) {
    std::vector<Row> steps = Rows("SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`");
    std::map<std::string, int> sequence;
    for (const Row& step : steps) sequence[step[0]] = std::stoi(step[1]);
    ASSERT_EQ(sequence.count("RemoveExistingProducts"), 1u);
    EXPECT_GT(sequence["RemoveExistingProducts"], sequence["InstallInitialize"]);
    for (const Row& step : steps) {
        int at = std::stoi(step[1]);
        EXPECT_FALSE(at > sequence["InstallInitialize"] && at < sequence["RemoveExistingProducts"])
            << step[0] << " stands between InstallInitialize and RemoveExistingProducts";
    }
}

// Only the package's own steps write the launch configuration, only when a property is given, and
// only on the server side, where a standard user's value never arrives.
TEST_F(PackageTables, LaunchConfigurationIsWrittenOnlyByAdministratorsChoice) {
    std::vector<Row> secure = Rows("SELECT `Value` FROM `Property` WHERE `Property` = 'SecureCustomProperties'");
    ASSERT_EQ(secure.size(), 1u);
    for (const char* property : {"SHORTCUT_FILE", "SHORTCUT_PARAMETERS"})
        EXPECT_EQ((";" + secure[0][0] + ";").find(std::string(";") + property + ";"), std::string::npos)
            << property << " is secure: a standard user's value would reach the server";
    for (const char* table : {"AppSearch", "RegLocator", "Signature"})
        if (MsiDatabaseIsTablePersistentA(database, table) == MSICONDITION_TRUE)
            EXPECT_EQ(Rows(std::string("SELECT * FROM `") + table + "`").size(), 0u) << table;
    // No component holds a configuration value: a repair would write it again from its properties.
    for (const Row& value : Rows("SELECT `Registry`, `Key`, `Value` FROM `Registry`")) {
        EXPECT_EQ(value[1].find(ConfigKey), std::string::npos) << value[0];
        EXPECT_EQ(value[2].find("SHORTCUT"), std::string::npos) << value[0];
    }
    // Nothing in the UI sequence reads or sets them.
    for (const Row& step : Rows("SELECT `Action`, `Condition` FROM `InstallUISequence`")) {
        EXPECT_NE(step[0], "AppSearch") << "AppSearch in the UI sequence keeps its results in the client";
        EXPECT_EQ(Rows("SELECT `Action` FROM `CustomAction` WHERE `Action` = '" + step[0] + "'").size(), 0u)
            << step[0] << " is a custom action in the UI sequence";
    }
    EXPECT_EQ(Rows("SELECT `Action` FROM `CustomAction` WHERE `Source` = 'SHORTCUT_FILE' OR `Source` = 'SHORTCUT_PARAMETERS'")
                  .size(), 0u);

    std::map<std::string, int> sequence;
    std::map<std::string, std::string> conditions;
    for (const Row& step : Rows("SELECT `Action`, `Sequence`, `Condition` FROM `InstallExecuteSequence`")) {
        sequence[step[0]] = std::stoi(step[1]);
        conditions[step[0]] = step[2];
    }
    struct {
        const char* action;
        const char* entry;
        int type;  // the bits that matter
    } steps[] = {{"PrepareLaunchConfiguration", "PrepareLaunchConfiguration", DllInBinary},
                 {"RestoreLaunchConfiguration", "ApplyLaunchConfiguration", DllInBinary | InScript | NoImpersonate | Rollback},
                 {"WriteLaunchConfiguration", "ApplyLaunchConfiguration", DllInBinary | InScript | NoImpersonate}};
    const int ReturnIgnored = 64;
    for (const auto& step : steps) {
        std::vector<Row> row =
            Rows(std::string("SELECT `Type`, `Source`, `Target` FROM `CustomAction` WHERE `Action` = '") + step.action + "'");
        ASSERT_EQ(row.size(), 1u) << step.action;
        int type = std::stoi(row[0][0]);
        EXPECT_EQ(type & (TypeMask | InScript | NoImpersonate | Rollback | Commit), step.type) << step.action << ": type " << type;
        EXPECT_EQ(row[0][2], step.entry) << step.action;
        EXPECT_EQ(conditions[step.action], "(SHORTCUT_FILE OR SHORTCUT_PARAMETERS) AND NOT REMOVE~=\"ALL\"") << step.action;
        // A value that could not be prepared or written fails the installation, and is rolled back.
        if (!(type & Rollback)) EXPECT_FALSE(type & ReturnIgnored) << step.action << ": type " << type;
    }
    EXPECT_GT(sequence["PrepareLaunchConfiguration"], sequence["InstallInitialize"]);
    EXPECT_LT(sequence["PrepareLaunchConfiguration"], sequence["RestoreLaunchConfiguration"]);
    EXPECT_LT(sequence["RestoreLaunchConfiguration"], sequence["WriteLaunchConfiguration"]);
    EXPECT_LT(sequence["WriteLaunchConfiguration"], sequence["InstallFinalize"]);
}

// Windows Installer compares three version fields; this package's own check compares four and
// must stop the installation when it cannot tell.
TEST_F(PackageTables, VersionGuardFailsClosedAndRollbacklessUpgradeIsRefused) {
    const int ReturnIgnored = 64, ErrorStep = 19;
    std::vector<Row> guard = Rows("SELECT `Type`, `Target` FROM `CustomAction` WHERE `Action` = 'CheckNewerVersion'");
    ASSERT_EQ(guard.size(), 1u);
    EXPECT_EQ(std::stoi(guard[0][0]), DllInBinary) << "immediate, return checked";
    EXPECT_FALSE(std::stoi(guard[0][0]) & ReturnIgnored);
    // The stop step's return stays ignored, so that an uninstall stays possible.
    EXPECT_TRUE(std::stoi(Rows("SELECT `Type` FROM `CustomAction` WHERE `Action` = 'StopAgents'")[0][0]) & ReturnIgnored);

    std::map<std::string, int> sequence;
    for (const Row& step : Rows("SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`"))
        sequence[step[0]] = std::stoi(step[1]);
    std::vector<Row> refuse = Rows("SELECT `Type`, `Target` FROM `CustomAction` WHERE `Action` = 'RefuseUpgradeWithoutRollback'");
    ASSERT_EQ(refuse.size(), 1u);
    EXPECT_EQ(std::stoi(refuse[0][0]), ErrorStep);
    EXPECT_EQ(refuse[0][1].rfind("Keyvane: rollback is disabled", 0), 0u) << refuse[0][1];
    std::vector<Row> when = Rows("SELECT `Condition`, `Sequence` FROM `InstallExecuteSequence` WHERE `Action` = 'RefuseUpgradeWithoutRollback'");
    ASSERT_EQ(when.size(), 1u);
    EXPECT_EQ(when[0][0], "(RollbackDisabled OR DISABLEROLLBACK) AND WIX_UPGRADE_DETECTED AND NOT REMOVE~=\"ALL\"");
    // After InstallValidate, before anything is written or the old version removed.
    EXPECT_GT(std::stoi(when[0][1]), sequence["InstallValidate"]);
    EXPECT_LT(std::stoi(when[0][1]), sequence["InstallInitialize"]);
    EXPECT_LT(std::stoi(when[0][1]), sequence["RemoveExistingProducts"]);
    // The policy itself, read by a step whose return is checked.
    std::vector<Row> policy = Rows("SELECT `Type` FROM `CustomAction` WHERE `Action` = 'CheckRollbackPolicy'");
    ASSERT_EQ(policy.size(), 1u);
    EXPECT_EQ(std::stoi(policy[0][0]), DllInBinary);
    EXPECT_GT(sequence["CheckRollbackPolicy"], sequence["InstallValidate"]);
    EXPECT_LT(sequence["CheckRollbackPolicy"], sequence["InstallInitialize"]);
}

// ICE03: a long file name needs its short one; a registry value belongs to one component.
TEST_F(PackageTables, FilesHaveShortNamesAndRegistryValuesOneComponent) {
    // 8.3, none of the characters a short name may not hold.
    auto isShortName = [](const std::string& name) {
        size_t dot = name.find('.');
        std::string base = name.substr(0, dot), extension = dot == std::string::npos ? "" : name.substr(dot + 1);
        return !base.empty() && base.size() <= 8 && extension.size() <= 3 && extension.find('.') == std::string::npos &&
               name.find_first_of(" +,;=[]|/\\:*?\"<>") == std::string::npos;
    };
    std::vector<Row> files = Rows("SELECT `File`, `FileName` FROM `File`");
    ASSERT_FALSE(files.empty());
    for (const Row& file : files) {
        size_t bar = file[1].find('|');
        EXPECT_TRUE(isShortName(file[1].substr(0, bar))) << file[0] << ": " << file[1] << " has no 8.3 name";
    }
    std::map<std::string, std::string> owner;
    for (const Row& value : Rows("SELECT `Registry`, `Root`, `Key`, `Name`, `Component_` FROM `Registry`")) {
        std::string key = value[1] + "\\" + value[2] + "\\" + value[3];
        for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        auto known = owner.find(key);
        if (known != owner.end())
            EXPECT_EQ(known->second, value[4]) << key << " belongs to two components";
        owner[key] = value[4];
    }
}

TEST_F(PackageTables, ProgramsAreVersionedFiles) {
    const std::pair<const char*, std::string> programs[] = {{"Keyvane.exe", AgentPath()},
                                                            {"KeyvaneCheck.exe", WindowsPathFromEnvironment("KEYVANE_CHECK")}};
    for (const auto& program : programs) {
        // "SHORT|long" or a name that is 8.3 itself.
        std::vector<Row> file;
        for (const Row& row : Rows("SELECT `File`, `Version`, `Language`, `FileName` FROM `File`"))
            if (row[3] == program.first || row[3].substr(row[3].find('|') + 1) == program.first) file.push_back(row);
        ASSERT_EQ(file.size(), 1u) << program.first;
        std::string language;
        EXPECT_EQ(FileVersion(program.second, &language), EnvironmentValue("KEYVANE_VERSION")) << program.first;
        EXPECT_EQ(file[0][1], EnvironmentValue("KEYVANE_VERSION")) << program.first;
        EXPECT_EQ(file[0][2], "1028") << program.first;
        EXPECT_EQ(file[0][2], language) << program.first << ": the language of the shipped file's version block";
        // A hash is for unversioned files only.
        if (MsiDatabaseIsTablePersistentA(database, "MsiFileHash") == MSICONDITION_TRUE)
            EXPECT_EQ(Rows("SELECT `File_` FROM `MsiFileHash` WHERE `File_` = '" + file[0][0] + "'").size(), 0u);
    }
}

TEST(StopStep, EndsOnlyTheAgentOfThisInstallation) {
    const wchar_t installed[] = L"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe";
    struct {
        const wchar_t* image;
        bool ours;
    } cases[] = {
        {L"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", true},
        {L"c:\\PROGRAM FILES\\marvek\\keyvane\\KEYVANE.EXE", true},
        {L"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe.old", false},
        {L"C:\\Program Files\\Marvek\\Keyvane\\Old\\Keyvane.exe", false},
        {L"C:\\Program Files\\Marvek\\Keyvane.exe", false},
        {L"D:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", false},
        {L"C:\\Users\\u\\Downloads\\Keyvane.exe", false},
        {L"Keyvane.exe", false},
        {L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsImageOfInstallation(c.image, installed), c.ours) << c.image;
    EXPECT_FALSE(IsImageOfInstallation(nullptr, installed));
    // A step handed no path ends nothing.
    EXPECT_FALSE(IsImageOfInstallation(installed, L""));
    EXPECT_FALSE(IsImageOfInstallation(L"", L""));
}

TEST(InstallerSteps, VersionOrderComparesAllFourFieldsAndKnowsWhenItCannot) {
    const VersionOrder Later = VersionOrder::Later, NotLater = VersionOrder::NotLater, Unreadable = VersionOrder::Unreadable;
    struct {
        const wchar_t* installed;
        const wchar_t* package;
        VersionOrder order;
    } cases[] = {
        {L"1.0.0.3", L"1.0.0.2", Later},       {L"1.0.0.2", L"1.0.0.3", NotLater}, {L"1.0.0.2", L"1.0.0.2", NotLater},
        {L"1.0.1.0", L"1.0.0.9", Later},       {L"2.0", L"1.9.9.9", Later},        {L"1.0", L"1.0.0.0", NotLater},
        {L"1.0.0.10", L"1.0.0.9", Later},      {L"65535.0.0.0", L"1.0", Later},    {L"1.0.0.2.1", L"1.0.0.1", Unreadable},
        {L"1.0.x.3", L"1.0.0.2", Unreadable},  {L"", L"1.0.0.2", Unreadable},      {L"1.0.0.3", L"", Unreadable},
        {L"70000.0.0.0", L"1.0", Unreadable},  {L"1..0.3", L"1.0.0.2", Unreadable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<int>(CompareInstalledVersion(c.installed, c.package)), static_cast<int>(c.order))
            << c.installed << " " << c.package;
}

TEST(InstallerSteps, AgentIsStartedOnlyInSignedInSessionsWithoutOne) {
    const int Active = WTSActive, Disconnected = WTSDisconnected;
    struct {
        DWORD session;
        int state;
        bool agentRuns, start;
    } cases[] = {
        {1, Active, false, true},          {2, Disconnected, false, true}, {1, Active, true, false},
        {2, Disconnected, true, false},    {0, Active, false, false},      {0, WTSListen, false, false},
        {3, WTSConnected, false, false},   {4, WTSIdle, false, false},     {65536, WTSListen, false, false},
        {5, WTSShadow, false, false},      {6, WTSDown, false, false},     {7, WTSInit, false, false},
        {8, WTSReset, false, false},       {9, WTSConnectQuery, false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShouldStartAgent(c.session, c.state, c.agentRuns), c.start)
            << "session " << c.session << ", state " << c.state << (c.agentRuns ? ", agent runs" : "");
}

TEST(InstallerSteps, StartCommandQuotesThePathForCmd) {
    struct {
        const wchar_t* path;
        const wchar_t* command;  // nullptr: refused
    } cases[] = {
        {L"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe",
         L"cmd.exe /d /v:off /c start \"\" \"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe\""},
        {L"C:\\Program Files\\A&B\\Keyvane.exe", L"cmd.exe /d /v:off /c start \"\" \"C:\\Program Files\\A&B\\Keyvane.exe\""},
        {L"C:\\Program Files\\Wow!Tools\\Keyvane.exe",
         L"cmd.exe /d /v:off /c start \"\" \"C:\\Program Files\\Wow!Tools\\Keyvane.exe\""},
        {L"C:\\Program Files\\a^b !x! ^&\\Keyvane.exe",
         L"cmd.exe /d /v:off /c start \"\" \"C:\\Program Files\\a^b !x! ^&\\Keyvane.exe\""},
        {L"C:\\50%off%\\Keyvane.exe", nullptr},  // cmd expands it, quoted or not
        {L"C:\\a\"b\\Keyvane.exe", nullptr},
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        wchar_t command[160];
        bool made = AgentStartCommand(c.path, command, 160);
        EXPECT_EQ(made, c.command != nullptr) << c.path;
        if (made && c.command) EXPECT_STREQ(command, c.command);
    }
    wchar_t tooSmall[40];
    EXPECT_FALSE(AgentStartCommand(L"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", tooSmall, 40));
    wchar_t paths[] = L"C:\\K\\Keyvane.exe|C:\\K\\KeyvaneCheck.exe";
    const wchar_t* second = SplitAtBar(paths);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(paths, L"C:\\K\\Keyvane.exe");
    EXPECT_STREQ(second, L"C:\\K\\KeyvaneCheck.exe");
    wchar_t one[] = L"C:\\K\\Keyvane.exe";
    EXPECT_EQ(SplitAtBar(one), nullptr);
}

// What a run writes for the properties it was given (empty: not given).
TEST(InstallerSteps, OnlyGivenPropertiesAreWritten) {
    struct {
        const wchar_t *file, *parameters;
        bool writeFile, writeParameters;
        const wchar_t *fileText, *parametersText;
    } cases[] = {
        {L"", L"", false, false, L"", L""},
        {nullptr, nullptr, false, false, L"", L""},
        {L"C:\\a.exe", L"", true, true, L"C:\\a.exe", L""},  // a new program gets no old arguments
        {L"C:\\a.exe", L"/x", true, true, L"C:\\a.exe", L"/x"},
        {L"", L"/x", false, true, L"", L"/x"},  // File kept
    };
    for (const auto& c : cases) {
        LaunchWrite plan = PlanLaunchWrite(c.file, c.parameters);
        EXPECT_EQ(plan.file, c.writeFile) << (c.file ? c.file : L"(null)");
        EXPECT_EQ(plan.parameters, c.writeParameters) << (c.parameters ? c.parameters : L"(null)");
        EXPECT_STREQ(plan.fileText, c.fileText);
        EXPECT_STREQ(plan.parametersText, c.parametersText);
    }
}

TEST(InstallerSteps, LaunchDataKeepsTypeBytesAndAbsence) {
    const BYTE text[] = {'C', 0, ':', 0, 0, 0};
    const BYTE multi[] = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};  // REG_MULTI_SZ "a", "b"
    const BYTE odd[] = {0xff, 0x00, 0x3b, 0x2d};                // no terminator, a ";" and a "-" byte
    const ValueChange Keep{ValueAction::Keep, 0, nullptr, 0}, Remove{ValueAction::Remove, 0, nullptr, 0};
    struct {
        ValueChange file, parameters;
        const wchar_t* encoded;
    } cases[] = {
        {Keep, Remove, L"*;-"},
        {ValueChange{ValueAction::Set, REG_SZ, text, sizeof(text)}, Keep, L"1:43003a000000;*"},
        {ValueChange{ValueAction::Set, REG_EXPAND_SZ, text, sizeof(text)},
         ValueChange{ValueAction::Set, REG_MULTI_SZ, multi, sizeof(multi)}, L"2:43003a000000;7:61000000620000000000"},
        {ValueChange{ValueAction::Set, REG_SZ, text, 0}, ValueChange{ValueAction::Set, REG_BINARY, odd, sizeof(odd)},
         L"1:;3:ff003b2d"},
    };
    for (const auto& c : cases) {
        wchar_t encoded[64];
        ASSERT_TRUE(EncodeLaunchData(c.file, c.parameters, encoded, 64)) << c.encoded;
        EXPECT_STREQ(encoded, c.encoded);
        BYTE fileBytes[16], parameterBytes[16];
        ValueChange file, parameters;
        ASSERT_TRUE(DecodeLaunchData(encoded, &file, fileBytes, &parameters, parameterBytes, 16)) << c.encoded;
        for (const auto& pair : {std::make_pair(&c.file, &file), std::make_pair(&c.parameters, &parameters)}) {
            EXPECT_EQ(static_cast<int>(pair.second->action), static_cast<int>(pair.first->action)) << c.encoded;
            if (pair.first->action != ValueAction::Set) continue;
            EXPECT_EQ(pair.second->type, pair.first->type) << c.encoded;
            ASSERT_EQ(pair.second->size, pair.first->size) << c.encoded;
            EXPECT_EQ(memcmp(pair.second->data, pair.first->data, pair.first->size), 0) << c.encoded;
        }
    }
    // Too small to hold it: refused, never cut.
    wchar_t small[8];
    EXPECT_FALSE(EncodeLaunchData(ValueChange{ValueAction::Set, REG_SZ, text, sizeof(text)}, Keep, small, 8));
    EXPECT_FALSE(EncodeLaunchData(Keep, Keep, small, 3));
    EXPECT_TRUE(EncodeLaunchData(Keep, Keep, small, 4));
    BYTE bytes[4], more[4];
    ValueChange a, b;
    for (const wchar_t* bad : {L"", L"*", L"*;", L"*;-;", L"x;-", L"1;-", L":00;-", L"1:0;-", L"1:0g;-", L"1:00-;-",
                               L"4294967296:00;-", L"1:0000000000;-", L"1:00;*x"})
        EXPECT_FALSE(DecodeLaunchData(bad, &a, bytes, &b, more, 4)) << bad;
    EXPECT_TRUE(DecodeLaunchData(L"4294967295:00010203;-", &a, bytes, &b, more, 4));
}

}  // namespace
