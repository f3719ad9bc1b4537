// The Windows Installer package under Wine's own msiexec: install, launch configuration, upgrade,
// uninstall. Each test leaves the package removed, no agent running and the configuration as found.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

#include <msi.h>

using namespace kvtest;

namespace {

// Published with the first release; a package with another code would install beside it.
const char UpgradeCode[] = "{505ADC81-63B0-429F-BC73-70B1CC54947A}";
const char VendorDir[] = "C:\\Program Files\\Marvek";
const char InstallDir[] = "C:\\Program Files\\Marvek\\Keyvane";
const char InstalledAgent[] = "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe";
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char ConfigKey[] = "Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17\\Desktop";
// The configuration key and the keys above it that an install may create, deepest first.
const char* const ConfigKeyChain[] = {ConfigKey, "Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17",
                                      "Software\\Marvek\\ShortcutKey\\AppLaunch",
                                      "Software\\Marvek\\ShortcutKey", "Software\\Marvek"};
const DWORD MsiexecDeadlineMs = 60000;
const REGSAM View64 = KEY_WOW64_64KEY;

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Compared here rather than in an assertion, which would print both files.
::testing::AssertionResult IsTheSignedAgent(const std::string& path) {
    std::string installed = ReadFileText(path), shipped = ReadFileText(AgentPath());
    if (!installed.empty() && installed == shipped) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " (" << installed.size() << " bytes) is not " << AgentPath()
                                         << " (" << shipped.size() << " bytes)";
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

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StopAllAgents()) << "an agent from an earlier test is still running";
        // Left over by a run that was killed before its tear-down.
        for (const std::string& product : InstalledProducts()) Msiexec("/x " + product + " /qn");
        ASSERT_EQ(InstalledProducts(), std::vector<std::string>{}) << "cannot remove an earlier install";
        ASSERT_EQ(ReadValue(RunKey, "Keyvane"), Absent);
        config_ = ConfigSnapshot::Take();
        vendorDirExisted_ = FileExists(VendorDir);
    }

    void TearDown() override {
        EXPECT_TRUE(StopAllAgents());
        for (const std::string& product : InstalledProducts())
            EXPECT_EQ(Msiexec("/x " + product + " /qn"), 0u) << "removing " << product;
        EXPECT_EQ(InstalledProducts(), std::vector<std::string>{});
        EXPECT_TRUE(config_.Restore());
    }

    static std::string Package() { return WindowsPathFromEnvironment("KEYVANE_MSI"); }

    static DWORD Install(const std::string& package, const std::string& properties = "") {
        return Msiexec("/i " + Quoted(package) + " /qn" + (properties.empty() ? "" : " " + properties));
    }
    static DWORD Uninstall(const std::string& package) { return Msiexec("/x " + Quoted(package) + " /qn"); }

    // Starts the installed agent named by the Run value, the program that logon starts; fails
    // when no window appears.
    static Process StartFromRunValue() {
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

TEST_F(Installer, SilentInstallPlacesTheAgentAndStartsItAtLogon) {
    ASSERT_EQ(Install(Package()), 0u) << Package();

    EXPECT_TRUE(IsTheSignedAgent(InstalledAgent));
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

TEST_P(SilentUninstall, StopsTheAgentAndRemovesWhatTheInstallAdded) {
    const UninstallCase& c = GetParam();
    std::unique_ptr<OtherProgramFile> other;
    if (c.vendorFolderShared) {
        other.reset(new OtherProgramFile);
        ASSERT_TRUE(other->Created());
    }
    ASSERT_EQ(Install(Package()), 0u);
    Process agent;
    if (c.agentRunning) agent = StartFromRunValue();

    EXPECT_EQ(Uninstall(Package()), 0u);
    if (c.agentRunning) EXPECT_EQ(agent.WaitExit(), 0u) << "the agent was not told to quit";
    EXPECT_TRUE(FindAgentWindows().empty());
    EXPECT_FALSE(FileExists(InstalledAgent));
    EXPECT_FALSE(FileExists(InstallDir));
    EXPECT_EQ(FileExists(VendorDir), vendorDirExisted_ || c.vendorFolderShared) << VendorDir;
    if (c.vendorFolderShared) EXPECT_EQ(ReadFileText(OtherProgramFile::Path()), "kept");
    EXPECT_EQ(ReadValue(RunKey, "Keyvane"), Absent);
    EXPECT_EQ(InstalledProducts(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, SilentUninstall,
                         ::testing::Values(UninstallCase{"AgentRunning", true, false},
                                           UninstallCase{"NoAgent", false, false},
                                           UninstallCase{"VendorFolderShared", true, true}),
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
                   true, Text(OldFile), Text(NewParameters)}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

struct UpgradeCase {
    const char* packageVariable;
    const char* versionVariable;
};

void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << EnvironmentValue(c.versionVariable); }

class Upgrade : public Installer, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(Upgrade, LaterVersionReplacesTheInstalledOneInPlace) {
    const std::string later = WindowsPathFromEnvironment(GetParam().packageVariable);
    const std::string laterVersion = EnvironmentValue(GetParam().versionVariable);
    ASSERT_EQ(Install(Package()), 0u);
    Process agent = StartFromRunValue();

    ASSERT_EQ(Install(later), 0u) << later;
    ExpectInstalledVersion(laterVersion);
    EXPECT_EQ(agent.WaitExit(), 0u) << "the agent of the replaced version was not told to quit";
    EXPECT_TRUE(IsTheSignedAgent(InstalledAgent));
    EXPECT_EQ(ReadValue(RunKey, "Keyvane"), Text(Quoted(InstalledAgent).c_str()));
}

INSTANTIATE_TEST_SUITE_P(Versions, Upgrade,
                         ::testing::Values(UpgradeCase{"KEYVANE_MSI_NEXT_BUILD", "KEYVANE_VERSION_NEXT_BUILD"},
                                           UpgradeCase{"KEYVANE_MSI_NEXT_PATCH", "KEYVANE_VERSION_NEXT_PATCH"}));

TEST_F(Installer, EarlierVersionIsRefusedOverALaterOne) {
    ASSERT_EQ(Install(WindowsPathFromEnvironment("KEYVANE_MSI_NEXT_PATCH")), 0u);
    EXPECT_EQ(Install(Package()), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    ExpectInstalledVersion(EnvironmentValue("KEYVANE_VERSION_NEXT_PATCH"));
    EXPECT_TRUE(FileExists(InstalledAgent));
}

}  // namespace
