// KeyvaneCheck: its decisions called directly, its checks against a simulated keyboard, the real
// registry and a real agent, and the program itself as a fleet tool runs it.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <string.h>

#include <map>
#include <thread>

#include "checks.h"
#include "hotkey/action_observers.h"
#include "hotkey/simulated_keyboard.h"
#include "report.h"
#include "support/test_support.h"
#include "verdicts.h"

using namespace kvtest;

namespace {

std::string FieldOf(const CheckResult& check, const char* name) {
    for (const Field& field : check.fields)
        if (strcmp(field.name, name) == 0) return field.json;
    return "<absent>";
}

std::string Quote(const std::string& ascii) { return "\"" + ascii + "\""; }

TEST(CheckCommandLine, OptionsExitCodesAndProblemCounts) {
    const struct {
        std::vector<const char*> args;
        Command command;
        bool json;
        DWORD watch;
    } cases[] = {
        {{}, Command::Run, false, 0},
        {{"--json"}, Command::Run, true, 0},
        {{"--watch", "5", "--json"}, Command::Run, true, 5},
        {{"--watch", "1"}, Command::Run, false, 1},
        {{"--watch", "3600"}, Command::Run, false, 3600},
        {{"--help"}, Command::Help, false, 0},
        {{"--json", "--help"}, Command::Help, false, 0},
        {{"--watch"}, Command::UsageError, false, 0},
        {{"--watch", "0"}, Command::UsageError, false, 0},
        {{"--watch", "3601"}, Command::UsageError, false, 0},
        {{"--watch", "-1"}, Command::UsageError, false, 0},
        {{"--watch", "5s"}, Command::UsageError, false, 0},
        {{"--watch", ""}, Command::UsageError, false, 0},
        {{"--watch", "99999999999999999999"}, Command::UsageError, false, 0},
        {{"--watch=5"}, Command::UsageError, false, 0},
        {{"--JSON"}, Command::UsageError, false, 0},
        {{"json"}, Command::UsageError, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"KeyvaneCheck.exe"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string trace;
        for (const char* arg : c.args) trace += std::string(arg) + " ";
        Options options;
        std::string error;
        ASSERT_EQ(ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error), c.command) << trace;
        EXPECT_EQ(error.empty(), c.command != Command::UsageError) << trace << error;
        if (c.command != Command::Run) continue;
        EXPECT_EQ(options.json, c.json) << trace;
        EXPECT_EQ(options.watchSeconds, c.watch) << trace;
    }

    const struct {
        std::vector<Status> statuses;
        int problems;
        int exitCode;
    } runs[] = {
        {{}, 0, 0},
        {{Status::Ok, Status::Note, Status::Note}, 0, 0},
        {{Status::Ok, Status::Problem}, 1, 1},
        {{Status::Problem, Status::Note, Status::Problem}, 2, 1},
    };
    for (const auto& run : runs) {
        std::vector<CheckResult> checks;
        for (Status status : run.statuses) checks.push_back({"x", status, "", "", {}});
        EXPECT_EQ(ProblemCount(checks), run.problems);
        EXPECT_EQ(ExitCode(checks), run.exitCode);
        EXPECT_NE(ReportJson(checks).find("\"problems\": " + std::to_string(run.problems) + ","), std::string::npos);
    }
}

TEST(CheckJson, StringsAreEscapedAndConvertedToUtf8) {
    const struct {
        std::string ansi;  // code page 1252
        std::string json;
    } cases[] = {
        {"", "\"\""},
        {"plain text", "\"plain text\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\d\\", "\"C:\\\\d\\\\\""},
        {"caf\xE9", "\"caf\xC3\xA9\""},
        {"\x80 \x9F \xFF", "\"\xE2\x82\xAC \xC5\xB8 \xC3\xBF\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("\x01\x1F\x7F", 3), "\"\\u0001\\u001f\x7F\""},
        {"/ ' <", "\"/ ' <\""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonString(c.ansi, 1252), c.json) << c.ansi;
}

// The text report, as people read it: machine text escaped and cut, the JSON's summary as read.
TEST(CheckText, MachineTextIsShownOnOneLineAndCut) {
    ASSERT_EQ(GetACP(), 1252u) << "the rows below are written for the test prefix's code page";
    const std::string longest(ShownLength, 'a');
    const struct {
        std::string marked;
        std::string shown, plain;
    } cases[] = {
        {"own " + MachineText(std::string("C:\\Tools\\app.exe")), "own C:\\Tools\\app.exe", "own C:\\Tools\\app.exe"},
        {MachineText(std::string("a\r\nb\x0b\x1b[2J\x7f")), "a\\x0d\\x0ab\\x0b\\x1b[2J\\x7f", "a\r\nb\x0b\x1b[2J\x7f"},
        // A backslash that could open an escape is itself escaped; any other stays as it is.
        {MachineText(std::string("C:\\xampp\\u\\x41\\\\")), "C:\\x5cxampp\\x5cu\\x5cx41\\\\", "C:\\xampp\\u\\x41\\\\"},
        {MachineText(std::string("\x81\x8d\x8f\x90\x9d\x9b\xe9")), "\\x81\\x8d\\x8f\\x90\\x9d\x9b\xe9", "\x81\x8d\x8f\x90\x9d\x9b\xe9"},
        {MachineText(longest), longest, longest},
        {MachineText(longest + "b\n"), longest + "... (" + std::to_string(ShownLength + 2) + " bytes)", longest + "b\n"},
        {MachineText(std::wstring(L"C:\\\xff4e\xe9\x0b\x85")), "C:\\\\uff4e\xe9\\x0b\\u0085", "C:\\\\uff4e\xe9\x0b\\u0085"},
        {MachineText(std::wstring(ShownLength + 1, L'w')), std::string(ShownLength, 'w') + "... (" + std::to_string(ShownLength + 1) + " characters)",
         std::string(ShownLength + 1, 'w')},
        // A mark inside machine text is machine text; the tool's own text never holds one.
        {MachineText(std::string("\x01") + "A3:x\ny"), "\\x01A3:x\\x0ay", "\x01" "A3:x\ny"},
        {MachineText(std::string("a")) + ", " + MachineText(std::string("b\tc")) + ".", "a, b\\x09c.", "a, b\tc."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShownText(c.marked), c.shown) << c.plain;
        EXPECT_EQ(PlainText(c.marked), c.plain) << c.plain;
    }
}

TEST(CheckVerdicts, PathsNamesAndRunValues) {
    const struct {
        const char* path;
        const char* folder;
        bool inside;
    } folders[] = {
        {"C:\\A\\B", "C:\\A", true},
        {"c:\\a\\b.exe", "C:\\A\\", true},
        {"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", "C:\\Program Files", true},
        {"C:\\Program Files (x86)\\Keyvane.exe", "C:\\Program Files", false},
        {"C:\\AB\\x", "C:\\A", false},
        {"C:\\A", "C:\\A", false},
        {"D:\\A\\x", "C:\\A", false},
        {"C:\\A\\x", "", false},
    };
    for (const auto& c : folders) EXPECT_EQ(IsInFolder(c.path, c.folder), c.inside) << c.path << " in " << c.folder;

    const struct {
        const char* file;
        NameForm form;
        bool program;
    } names[] = {
        {"C:\\Tools\\app.exe", NameForm::FullPath, true},
        {"c:\\tools\\APP.COM", NameForm::FullPath, true},
        {"C:/Tools/app.exe", NameForm::FullPath, true},
        {"\\\\server\\share\\app.exe", NameForm::FullPath, true},
        {"C:\\notes.txt", NameForm::FullPath, false},
        {"C:\\Tools\\app.exe.lnk", NameForm::FullPath, false},
        {"C:\\Tools.exe\\readme", NameForm::FullPath, false},
        {"https://example.org/a.exe", NameForm::Url, true},
        {"ms-settings:display", NameForm::Url, false},
        {"app.exe", NameForm::Name, true},
        {"tools\\app.exe", NameForm::Name, true},
        {"C:app.exe", NameForm::Name, true},
        {"%ProgramFiles%\\app.exe", NameForm::Name, true},
    };
    for (const auto& c : names) {
        EXPECT_EQ(FileNameForm(c.file), c.form) << c.file;
        EXPECT_EQ(IsProgramFile(c.file), c.program) << c.file;
    }

    const struct {
        const char* command;
        bool quoted;
        const char* program;
    } runValues[] = {
        {"\"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe\"", true, "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe"},
        {"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", false, ""},
        {"\"C:\\Program Files\\Keyvane.exe\" /x", false, ""},
        {"\"C:\\Program Files\\Keyvane.exe", false, ""},
        {"\"C:\\a\"b\\Keyvane.exe\"", false, ""},
        {"\"\"", false, ""},
    };
    for (const auto& c : runValues) {
        std::string program;
        EXPECT_EQ(QuotedProgram(c.command, &program), c.quoted) << c.command;
        if (c.quoted) EXPECT_EQ(program, c.program);
    }
}

TEST(CheckVerdicts, WritersOfTheConfigurationKey) {
    const std::string admins = "S-1-5-32-544", system = "S-1-5-18", users = "S-1-5-32-545", everyone = "S-1-1-0",
                      creator = "S-1-3-0", user = "S-1-5-21-1-2-3-1001",
                      installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const std::vector<AccessEntry> stock = {{admins, true, KEY_ALL_ACCESS, false},  {system, true, KEY_ALL_ACCESS, false},
                                            {users, true, KEY_READ, false},         {creator, true, GENERIC_ALL, true},
                                            {installer, true, KEY_ALL_ACCESS, false}};
    auto with = [&](std::vector<AccessEntry> more) {
        std::vector<AccessEntry> entries = stock;
        entries.insert(entries.end(), more.begin(), more.end());
        return entries;
    };
    const struct {
        const char* name;
        std::string owner;
        std::vector<AccessEntry> entries;
        std::vector<std::string> writers;
    } cases[] = {
        {"as Windows sets it", admins, stock, {}},
        {"owned by SYSTEM", system, stock, {}},
        {"users may set values", admins, with({{users, true, KEY_SET_VALUE, false}}), {users}},
        {"users may create subkeys", admins, with({{users, true, KEY_READ | KEY_CREATE_SUB_KEY, false}}), {users}},
        {"everyone generic write", admins, with({{everyone, true, GENERIC_WRITE, false}}), {everyone}},
        {"authenticated users may change the list", admins, with({{"S-1-5-11", true, WRITE_DAC, false}}), {"S-1-5-11"}},
        {"a user may delete it", admins, with({{user, true, DELETE, false}}), {user}},
        {"owned by a user", user, stock, {user}},
        {"granted twice, listed once", admins, with({{users, true, KEY_SET_VALUE, false}, {users, true, GENERIC_ALL, false}}), {users}},
        {"only for subkeys", admins, with({{users, true, KEY_ALL_ACCESS, true}}), {}},
        {"a denial grants nothing", admins, with({{users, false, KEY_ALL_ACCESS, false}}), {}},
        {"lower-case SID of administrators", "s-1-5-32-544", stock, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UntrustedWriters(c.owner, c.entries), c.writers) << c.name;
}

TEST(CheckVerdicts, RenamesWaitingForARestart) {
    const std::vector<std::string> installed = {"C:\\Program Files\\Marvek\\Keyvane", "Z:\\dist"};
    const std::string agent = "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe";
    auto list = [](std::vector<std::string> entries) {
        std::string bytes;
        for (const std::string& entry : entries) bytes += entry + '\0';
        return bytes + '\0';
    };
    const struct {
        const char* name;
        std::string list;
        std::vector<std::string> folders;
        std::vector<std::string> named;
    } cases[] = {
        {"nothing waits", "", installed, {}},
        {"the agent to be deleted", list({"\\??\\" + agent, ""}), installed, {agent}},
        {"the agent to be replaced", list({"\\??\\C:\\Config.Msi\\1a2b.rbf", "!\\??\\" + agent}), installed, {agent}},
        {"the folder itself", list({"\\??\\C:\\Program Files\\Marvek\\Keyvane", ""}), installed, {"C:\\Program Files\\Marvek\\Keyvane"}},
        {"any case", list({"\\??\\c:\\PROGRAM FILES\\marvek\\keyvane\\x.tmp", ""}), installed, {"c:\\PROGRAM FILES\\marvek\\keyvane\\x.tmp"}},
        {"a neighbouring folder", list({"\\??\\C:\\Program Files\\Marvek\\Keyvane2\\x.dll", ""}), installed, {}},
        {"other programs' files", list({"\\??\\C:\\Windows\\Temp\\a.tmp", "", "\\??\\C:\\x.dll", "!\\??\\C:\\y.dll"}), installed, {}},
        {"the agent after an uninstall", list({"\\??\\D:\\Old\\KEYVANE.EXE", ""}), {"", ""}, {"D:\\Old\\KEYVANE.EXE"}},
        {"a list without its final zero", std::string("\\??\\") + agent, installed, {agent}},
    };
    for (const auto& c : cases) EXPECT_EQ(PendingRenamesFor(c.list, c.folders), c.named) << c.name;
}

class CheckSeams : public ::testing::Test {
protected:
    void SetUp() override { saved = checkReads; }
    void TearDown() override {
        checkReads = saved;
        simkb::RemoveDevices();
        simkb::Reset();
    }
    CheckReads saved;
};

TEST_F(CheckSeams, KeyboardsAreJudgedByTheAgentsTable) {
    checkReads.getRawInputDeviceList = simkb::DeviceList;
    checkReads.getRawInputDeviceInfo = simkb::GetDeviceInfo;
    struct Device {
        DWORD vendor, product;
        USHORT usagePage;
    };
    const struct {
        const char* name;
        std::vector<Device> devices;
        Status status;
        std::string json;
    } cases[] = {
        {"none", {}, Status::Problem, "[]"},
        {"the first model", {{0x04B3, 0x3021, 0xFF00}}, Status::Ok,
         "[{\"vendor_id\": \"04B3\", \"product_id\": \"3021\", \"supported\": true}]"},
        {"a stranger", {{0x1234, 0x0ABC, 0xFF00}}, Status::Problem,
         "[{\"vendor_id\": \"1234\", \"product_id\": \"0ABC\", \"supported\": false}]"},
        {"a vendor with another row's product", {{0x17EF, 0x3021, 0xFF00}}, Status::Problem,
         "[{\"vendor_id\": \"17EF\", \"product_id\": \"3021\", \"supported\": false}]"},
        {"a stranger and the third model", {{0x1234, 0x5678, 0xFF00}, {0x04F2, 0x0761, 0xFF00}}, Status::Ok,
         "[{\"vendor_id\": \"1234\", \"product_id\": \"5678\", \"supported\": false}, "
         "{\"vendor_id\": \"04F2\", \"product_id\": \"0761\", \"supported\": true}]"},
        {"the second model on another collection", {{0x17EF, 0x600B, 0x0001}}, Status::Problem, "[]"},
    };
    for (const auto& c : cases) {
        simkb::RemoveDevices();
        for (const Device& device : c.devices) simkb::AddDevice(device.vendor, device.product, device.usagePage);
        CheckResult check = CheckKeyboards();
        EXPECT_EQ(check.status, c.status) << c.name << ": " << check.summary;
        EXPECT_EQ(FieldOf(check, "devices"), c.json) << c.name;
    }
    EXPECT_EQ(simkb::ReadCounts().contractViolations, 0);
}

TEST_F(CheckSeams, WatchShowsEachReportAsItArrives) {
    checkReads.getRawInputData = simkb::GetData;
    checkReads.getRawInputDeviceInfo = simkb::GetDeviceInfo;
    HANDLE supported = simkb::AddDevice(0x04B3, 0x3021);
    HANDLE stranger = simkb::AddDevice(0x1234, 0x5678);
    std::vector<BYTE> overclaimed = simkb::HidPacket(supported, {0x00, 0x01});
    reinterpret_cast<RAWINPUT*>(overclaimed.data())->data.hid.dwSizeHid = 40;
    const std::vector<HRAWINPUT> inputs = {
        simkb::Queue(simkb::HidPacket(supported, {0x00, 0x01})),
        simkb::Queue(simkb::HidPacket(supported, {0x00, 0x02})),
        simkb::Queue(simkb::HidPacket(stranger, {0x00, 0x01})),
        simkb::Queue(simkb::HidPacket(supported, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09})),
        simkb::Queue(overclaimed),
        simkb::Queue(simkb::HidPacket(simkb::UnknownDevice, {0x00, 0x01})),
        simkb::Queue(simkb::OtherPacket(supported, RIM_TYPEMOUSE)),
    };
    static int shown;
    shown = 0;
    HWND window = nullptr;
    RAWINPUTDEVICE registered = {};
    UINT registrations = 0;
    // Delivered as Windows would, to the window the tool makes for listening.
    // The window exists a moment before it is registered for the reports: wait for both.
    std::thread keyboard([&] {
        WaitFor([&] {
            UINT count = 1;
            window = FindWindowA(WatchWindowClass, nullptr);
            registrations = GetRegisteredRawInputDevices(&registered, &count, sizeof(registered));
            return window && registrations == 1;
        });
        for (HRAWINPUT input : inputs) PostMessageA(window, WM_INPUT, RIM_INPUT, reinterpret_cast<LPARAM>(input));
    });
    WatchResult watch = Watch(3, [](const WatchedReport&) { ++shown; });
    keyboard.join();
    ASSERT_EQ(watch.error, 0u);
    ASSERT_EQ(registrations, 1u) << GetLastError();
    EXPECT_EQ(registered.usUsagePage, 0xFF00);
    EXPECT_EQ(registered.usUsage, 0x0001);
    EXPECT_EQ(registered.dwFlags, static_cast<DWORD>(RIDEV_INPUTSINK)) << "reports must arrive while another window has the focus";
    EXPECT_EQ(registered.hwndTarget, window);
    EXPECT_EQ(shown, 6);
    CheckResult check = WatchCheck(watch);
    EXPECT_EQ(check.status, Status::Ok) << check.summary;
    EXPECT_EQ(FieldOf(check, "reports"),
              "[{\"vendor_id\": \"04B3\", \"product_id\": \"3021\", \"report\": \"0001\", \"agent_would_act\": true}, "
              "{\"vendor_id\": \"04B3\", \"product_id\": \"3021\", \"report\": \"0002\", \"agent_would_act\": false}, "
              "{\"vendor_id\": \"1234\", \"product_id\": \"5678\", \"report\": \"0001\", \"agent_would_act\": false}, "
              "{\"vendor_id\": \"04B3\", \"product_id\": \"3021\", \"report\": \"0001020304050607\", \"agent_would_act\": true}, "
              "{\"vendor_id\": \"04B3\", \"product_id\": \"3021\", \"report\": \"0001\", \"agent_would_act\": false}, "
              "{\"vendor_id\": \"0000\", \"product_id\": \"0000\", \"report\": \"0001\", \"agent_would_act\": false}]");
    EXPECT_EQ(FindWindowA(WatchWindowClass, nullptr), nullptr) << "the listening window outlived the watch";

    WatchResult quiet;
    quiet.seconds = 2;
    EXPECT_EQ(WatchCheck(quiet).status, Status::Problem);
    quiet.reports.push_back({0x04B3, 0x3021, "0002", false});
    EXPECT_EQ(WatchCheck(quiet).status, Status::Problem);
    WatchResult deaf;
    deaf.error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(WatchCheck(deaf).status, Status::Note);
}

// Wine's WinVerifyTrust tells a signed file from an unsigned or altered one, but accepts a
// development signature whose root this prefix does not trust: whether the root is trusted is
// therefore decided here through the seam.
TEST_F(CheckSeams, SignatureIsOkOnlyWhenTrusted) {
    const std::string signedAgent = AgentPath();
    const std::string unsignedAgent = BinDir() + "Keyvane.exe";
    const std::string altered = TempPath("keyvane-check-altered.exe");
    std::string bytes = ReadFileText(signedAgent);
    ASSERT_GT(bytes.size(), 0x400u) << signedAgent;
    bytes[0x400] ^= 0x5A;  // inside the first section, which the signature covers
    ASSERT_TRUE(WriteFileText(altered, bytes));
    EXPECT_EQ(VerifyFileTrust(signedAgent.c_str()), ERROR_SUCCESS) << signedAgent;
    EXPECT_EQ(VerifyFileTrust(unsignedAgent.c_str()), static_cast<LONG>(TRUST_E_NOSIGNATURE));
    EXPECT_NE(VerifyFileTrust(altered.c_str()), ERROR_SUCCESS);
    DeleteFileA(altered.c_str());

    static LONG answer;
    static int calls;
    checkReads.verifyTrust = [](const char*) {
        ++calls;
        return answer;
    };
    const struct {
        LONG answer;
        Status status;
        const char* says;
    } cases[] = {
        {ERROR_SUCCESS, Status::Ok, "trusts"},
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT), Status::Problem, "refuse to start it (8235): its signature chains to a root"},
        {static_cast<LONG>(TRUST_E_NOSIGNATURE), Status::Problem, "refuse to start it (8235): it is not signed"},
        {static_cast<LONG>(TRUST_E_BAD_DIGEST), Status::Problem, "changed after it was signed"},
        {static_cast<LONG>(0x80090001), Status::Problem, "0x80090001"},
    };
    CheckContext context;
    context.agentFile = signedAgent;
    for (const auto& c : cases) {
        answer = c.answer;
        CheckResult check = CheckSignature(context);
        EXPECT_EQ(check.status, c.status) << c.says;
        EXPECT_NE(check.summary.find(c.says), std::string::npos) << check.summary;
        EXPECT_EQ(FieldOf(check, "trusted"), JsonBool(c.status == Status::Ok));
    }
    calls = 0;
    context.agentFile = BinDir() + "no such folder\\Keyvane.exe";
    EXPECT_EQ(CheckSignature(context).status, Status::Problem);
    EXPECT_EQ(calls, 0) << "a missing file must not be reported by its trust answer";
}

TEST(CheckFolders, SecureFolderIsBelowProgramFilesOrTheSystemFolder) {
    const struct {
        std::string path;
        Status status;
    } cases[] = {
        {SystemFolder() + "\\Keyvane.exe", Status::Ok},
        {"C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", Status::Ok},
        {"C:\\Program Files\\..\\Users\\Public\\Keyvane.exe", Status::Problem},
        {"C:\\Program Files Keyvane.exe", Status::Problem},
        {AgentPath(), Status::Problem},
    };
    for (const auto& c : cases) {
        CheckContext context;
        context.agentFile = c.path;
        EXPECT_EQ(CheckSecureFolder(context).status, c.status) << c.path;
    }
}

// The launch table that the agent's own tests run: the tool must predict what the agent did.
class CheckConfig : public ::testing::Test {
protected:
    void TearDown() override {
        observe::DeleteConfig();
        RegDeleteKeyA(HKEY_CURRENT_USER, UserAppPath);
        DeleteFileA(document.c_str());
    }
    static CheckResult LaunchWith(const std::vector<observe::ConfigValue>& config) {
        if (config.empty()) observe::DeleteConfig();
        else EXPECT_TRUE(observe::WriteConfig(config));
        return CheckLaunch();
    }
    static constexpr const char* UserAppPath = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\keyvane_check_app.exe";
    const std::string document = TempPath("keyvane-check notes.txt");
};

TEST_F(CheckConfig, LaunchPredictsWhatTheAgentLaunched) {
    const std::string fallback = SystemFolder() + "\\msinfo32.exe";
    for (const observe::LaunchCase& c : observe::LaunchCases()) {
        CheckResult check = LaunchWith(c.config);
        const bool usedFallback = c.launched == observe::FallbackLine();
        // A Parameters value that the agent refuses (it then passes none) is a problem of its own.
        bool refused = false;
        for (const observe::ConfigValue& value : c.config)
            refused = refused || (strcmp(value.name, "Parameters") == 0 && !usedFallback &&
                                  ((value.type != REG_SZ && value.type != REG_EXPAND_SZ) || value.data.size() >= 512));
        EXPECT_STREQ(StatusName(check.status), refused ? "problem" : c.checkStatus) << c.name << ": " << check.summary;
        EXPECT_EQ(FieldOf(check, "reason").find("Parameters is") != std::string::npos, refused) << c.name;
        EXPECT_EQ(FieldOf(check, "uses"), usedFallback ? "\"fallback\"" : "\"configured\"") << c.name;
        EXPECT_EQ(FieldOf(check, "file"), JsonString(usedFallback ? fallback : observe::LaunchTargetPath())) << c.name;
        const std::string parameters = usedFallback ? "" : c.launched.substr(c.launched.find('|') + 1);
        EXPECT_EQ(FieldOf(check, "parameters"), JsonString(parameters)) << c.name;
        // The text report's line says what the key press passes.
        const std::string line = ShownText(check.summary);
        EXPECT_NE(line.find(parameters.empty() ? std::string(" with no parameters") : " with parameters " + ShownText(MachineText(parameters))),
                  std::string::npos) << c.name << ": " << line;
    }
    CheckResult quoted = LaunchWith({{"File", REG_SZ, observe::LaunchTargetPath()}, {"Parameters", REG_SZ, "say \"hi\" C:\\d\\\xE9"}});
    EXPECT_EQ(FieldOf(quoted, "parameters"), "\"say \\\"hi\\\" C:\\\\d\\\\\xC3\xA9\"") << "UTF-8 JSON of the cp1252 value";
    EXPECT_EQ(FieldOf(quoted, "parameters_unicode"), FieldOf(quoted, "parameters"));
    EXPECT_EQ(FieldOf(quoted, "file_unicode"), JsonString(observe::LaunchTargetPath()));
    EXPECT_EQ(FieldOf(LaunchWith({}), "file_unicode"), JsonNull);
}

TEST_F(CheckConfig, LaunchOfWhatTheUserCanRedirect) {
    ASSERT_TRUE(WriteFileText(document, "notes"));
    const std::string target = observe::LaunchTargetPath();
    std::string folder = BinDir();
    folder.pop_back();
    const std::string savedPath = EnvironmentValue("PATH");
    // PATH ending in the program's folder, after folders that do not exist.
    auto pathOf = [&](size_t length) {
        std::string path = savedPath;
        while (path.size() + folder.size() + 1 < length) path += ";C:\\keyvane\\nowhere";
        return path + ";" + folder;
    };
    // 260 bytes, the longest ANSI path and one more than a MAX_PATH buffer holds with its terminator.
    const std::string padded = folder + "\\" + std::string(260 - folder.size() - 1 - 4, 'p') + ".exe";
    ASSERT_EQ(padded.size(), 260u);
    const std::string longer = BinDir() + std::string(300 - BinDir().size() - 4, 'n') + ".exe";
    ASSERT_TRUE(SetEnvironmentVariableA("KEYVANE_CHECK_TOOLS", folder.c_str())) << GetLastError();
    const struct {
        const char* name;
        std::vector<observe::ConfigValue> config;
        std::string path;                   // PATH for this row; empty: as it is
        std::vector<observe::ConfigValue> appPath;  // the user's App Paths entry's default value
        const char* uses;
        std::string says;
    } cases[] = {
        {"a document", {{"File", REG_SZ, document}}, "", {}, "configured", "a document"},
        {"a folder", {{"File", REG_SZ, folder}}, "", {}, "configured", "a folder"},
        {"a URL", {{"File", REG_SZ, "https://example.org/"}}, "", {}, "configured", "URL"},
        {"a name in the user's App Paths", {{"File", REG_SZ, "keyvane_check_app.exe"}}, "", {{"", REG_SZ, target}}, "configured",
         "found as " + target + " through"},
        {"an expandable App Paths value", {{"File", REG_SZ, "keyvane_check_app.exe"}}, "",
         {{"", REG_EXPAND_SZ, "%KEYVANE_CHECK_TOOLS%\\launch_target.exe"}}, "configured", "found as " + target + " through"},
        {"an App Paths value of 260 bytes without terminator", {{"File", REG_SZ, "keyvane_check_app.exe"}}, "",
         {{"", REG_SZ, padded, true}}, "configured", padded},
        {"an App Paths value of 300 characters", {{"File", REG_SZ, "keyvane_check_app.exe"}}, "", {{"", REG_SZ, longer}},
         "configured", "cannot be decided here: HKCU\\" + std::string(UserAppPath) + " names " + longer + ", which is no existing file"},
        {"an App Paths value that is no string", {{"File", REG_SZ, "keyvane_check_app.exe"}}, "",
         {{"", REG_DWORD, std::string("\1\0\0\0", 4)}}, "configured", "is a REG_DWORD value"},
        {"a name in the system folder", {{"File", REG_SZ, "notepad.exe"}}, "", {}, "configured", "bare name"},
        {"a name found nowhere", {{"File", REG_SZ, "keyvane_nowhere.exe"}}, "", {}, "fallback", "found neither"},
        {"a name at the end of a PATH of 5,000 characters", {{"File", REG_SZ, "launch_target.exe"}}, pathOf(5000), {},
         "configured", "found as " + target + " through"},
        {"a name at the end of a PATH of 32,000 characters", {{"File", REG_SZ, "launch_target.exe"}}, pathOf(32000), {},
         "configured", "found as " + target + " through"},
        {"a variable in an expandable value", {{"File", REG_EXPAND_SZ, "%SystemRoot%\\system32\\notepad.exe"}}, "", {},
         "configured", "outside the administrator's control"},
        {"a variable in a plain string", {{"File", REG_SZ, "%KEYVANE_CHECK_TOOLS%\\launch_target.exe"}}, "", {}, "configured",
         "whether %...% in it is expanded, and from whose environment"},
    };
    for (const auto& c : cases) {
        RegDeleteKeyA(HKEY_CURRENT_USER, UserAppPath);
        for (const observe::ConfigValue& value : c.appPath) {
            const DWORD bytes = static_cast<DWORD>(c.appPath[0].data.size() + (value.unterminated || value.type == REG_DWORD ? 0 : 1));
            ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, UserAppPath, nullptr, value.type, value.data.c_str(), bytes), ERROR_SUCCESS);
        }
        ASSERT_TRUE(SetEnvironmentVariableA("PATH", c.path.empty() ? savedPath.c_str() : c.path.c_str())) << GetLastError();
        CheckResult check = LaunchWith(c.config);
        EXPECT_EQ(check.status, Status::Problem) << c.name << ": " << PlainText(check.summary);
        EXPECT_EQ(FieldOf(check, "uses"), Quote(c.uses)) << c.name;
        const std::string summary = PlainText(check.summary);
        const size_t said = summary.find(c.says);
        EXPECT_NE(said, std::string::npos) << c.name << ": " << summary;
        // Read whole and terminated, whatever the API returned: the value ends where the text goes on.
        if (said != std::string::npos && !c.appPath.empty() && c.appPath[0].unterminated)
            EXPECT_TRUE(summary.compare(said + c.says.size(), 8, " through") == 0 || summary.compare(said + c.says.size(), 7, ", which") == 0)
                << c.name << ": " << summary;
    }
    SetEnvironmentVariableA("PATH", savedPath.c_str());
    SetEnvironmentVariableA("KEYVANE_CHECK_TOOLS", nullptr);
}

// The agent reads File through the ANSI API, where Windows maps what the code page cannot hold to
// look-alikes: what runs is then not what regedit shows.
TEST_F(CheckConfig, LaunchOfABestFitValue) {
    const std::string target = observe::LaunchTargetPath();
    const size_t name = target.rfind("launch_target.exe");
    std::wstring wide(target.begin(), target.end());  // ASCII: the build folder's path
    wide[name] = L'\xFF4C';  // FULLWIDTH LATIN SMALL LETTER L
    std::wstring parameters = L"--mode \x2033";  // DOUBLE PRIME, best fit '"'
    ASSERT_TRUE(observe::WriteConfig({{"File", REG_SZ, "placeholder"}}));
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17\\Desktop", L"File", REG_SZ,
                              wide.c_str(), static_cast<DWORD>((wide.size() + 1) * 2)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17\\Desktop", L"Parameters",
                              REG_SZ, parameters.c_str(), static_cast<DWORD>((parameters.size() + 1) * 2)), ERROR_SUCCESS);
    CheckResult check = CheckLaunch();
    const std::string shown = ShownText(check.summary);
    EXPECT_EQ(check.status, Status::Problem) << shown;
    EXPECT_NE(shown.find("File is stored as " + ShownText(MachineText(target.substr(0, name))) + "\\uff4caunch_target.exe but reads as "),
              std::string::npos) << shown;
    EXPECT_NE(shown.find("Parameters is stored as --mode \\u2033 but reads as"), std::string::npos) << shown;
    EXPECT_NE(check.action.find("ANSI code page (1252)"), std::string::npos) << check.action;
    EXPECT_EQ(FieldOf(check, "file_unicode"), JsonString(target.substr(0, name) + "\xEF\xBD\x8C" + target.substr(name + 1), CP_UTF8));
    EXPECT_EQ(FieldOf(check, "parameters_unicode"), JsonString("--mode \xE2\x80\xB3", CP_UTF8));
    // What the agent will start: the ANSI form, here the best fit of the program's own name.
    std::string ansi = FieldOf(check, "file");
    EXPECT_TRUE(ansi == JsonString(target) || FieldOf(check, "uses") == "\"fallback\"") << ansi;
}

TEST_F(CheckConfig, AccessNamesWhoMayWriteTheKey) {
    ASSERT_TRUE(observe::WriteConfig({{"File", REG_SZ, observe::LaunchTargetPath()}}));
    CheckResult stock = CheckConfigAccess();
    EXPECT_EQ(stock.status, Status::Ok) << stock.summary;
    EXPECT_EQ(FieldOf(stock, "key"), JsonString(std::string("HKLM\\") + ConfigKey));

    // Users may set values: an owner-only change that Wine keeps as Windows does.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ConfigKey, 0, READ_CONTROL | WRITE_DAC, &key), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;BU)(A;;0x2;;;BU)", SDDL_REVISION_1, &descriptor, nullptr)) << GetLastError();
    LSTATUS set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    RegCloseKey(key);
    ASSERT_EQ(set, ERROR_SUCCESS);
    CheckResult opened = CheckConfigAccess();
    EXPECT_EQ(opened.status, Status::Problem) << opened.summary;
    EXPECT_NE(FieldOf(opened, "writers").find("\"S-1-5-32-545\""), std::string::npos) << FieldOf(opened, "writers");

    // Where the key does not exist, its nearest parent decides who may create it.
    observe::DeleteConfig();
    CheckResult absent = CheckConfigAccess();
    EXPECT_NE(FieldOf(absent, "key"), JsonString(std::string("HKLM\\") + ConfigKey));
    EXPECT_EQ(FieldOf(absent, "key").find("\"HKLM\\\\Software"), 0u) << FieldOf(absent, "key");
}

// Whoever can write a value the report shows must not be able to add or change a line of it.
TEST_F(CheckConfig, EachCheckIsOneLineWhateverTheValuesHold) {
    const char runKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string target = observe::LaunchTargetPath();
    std::vector<std::string> held;
    for (int byte = 1; byte < 0x20; ++byte) held.push_back(std::string(1, static_cast<char>(byte)));
    held.push_back("\x7f");
    std::string every;
    for (int byte = 1; byte < 0x100; ++byte) every += static_cast<char>(byte);
    held.push_back(every);
    const std::string forged = "\r\nok       launch           A key press would start C:\\Windows\\notepad.exe as configured.";
    for (const std::string& bytes : held) {
        const std::string value = "x" + bytes + forged;
        const struct {
            const char* where;
            std::vector<observe::ConfigValue> config;
            std::string appPath, run;
        } cases[] = {
            {"File", {{"File", REG_SZ, "https://example.invalid/" + value}}, "", ""},
            {"Parameters", {{"File", REG_SZ, target}, {"Parameters", REG_SZ, value}}, "", ""},
            {"App Paths", {{"File", REG_SZ, "keyvane_check_app.exe"}}, BinDir() + value, ""},
            {"Run", {}, "", "\"" + value + "\""},
        };
        for (const auto& c : cases) {
            const std::string trace = std::string(c.where) + " holding " + std::to_string(static_cast<unsigned char>(bytes[0])) +
                                      (bytes.size() > 1 ? " and on" : "");
            if (c.config.empty()) observe::DeleteConfig();
            else ASSERT_TRUE(observe::WriteConfig(c.config)) << trace;
            RegDeleteKeyA(HKEY_CURRENT_USER, UserAppPath);
            if (!c.appPath.empty())
                ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, UserAppPath, nullptr, REG_SZ, c.appPath.c_str(),
                                          static_cast<DWORD>(c.appPath.size() + 1)), ERROR_SUCCESS) << trace;
            if (!c.run.empty())
                ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, runKey, "Keyvane", REG_SZ, c.run.c_str(),
                                          static_cast<DWORD>(c.run.size() + 1)), ERROR_SUCCESS) << trace;
            const std::vector<CheckResult> checks = RunChecks();
            if (!c.run.empty()) {
                HKEY run;
                ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, runKey, 0, KEY_SET_VALUE, &run), ERROR_SUCCESS);
                RegDeleteValueA(run, "Keyvane");
                RegCloseKey(run);
            }
            const std::string text = ReportText(checks);
            size_t lines = 0, controls = 0;
            for (char byte : text) {
                lines += byte == '\n';
                controls += (static_cast<unsigned char>(byte) < 0x20 && byte != '\n') || byte == '\x7f';
            }
            EXPECT_EQ(lines, checks.size() + 1) << trace << "\n" << text;
            EXPECT_EQ(controls, 0u) << trace << "\n" << text;
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "x\\x%02x", static_cast<unsigned char>(bytes[0]));
            EXPECT_NE(text.find(escaped), std::string::npos) << trace << "\n" << text;
            EXPECT_EQ(text.find("\nok       launch           A key press would start C:\\Windows\\notepad.exe"), std::string::npos)
                << trace;
            // The JSON carries the value as read.
            const std::string json = ReportJson(checks);
            EXPECT_NE(json.find(JsonString(value).substr(1, 40)), std::string::npos) << trace;
        }
    }
}

// The installed product's registration, of any length, through the seam that answers as msi does.
TEST_F(CheckSeams, InstalledTextsOfAnyLength) {
    static std::string version;
    static UINT versionStatus;
    static std::string path;
    checkReads.enumRelatedProducts = [](LPCSTR, DWORD, DWORD index, LPSTR product) -> UINT WINAPI {
        if (index > 0) return ERROR_NO_MORE_ITEMS;
        lstrcpyA(product, "{11111111-2222-3333-4444-555555555555}");
        return ERROR_SUCCESS;
    };
    auto answer = [](const std::string& text, LPSTR buffer, LPDWORD size) -> UINT {
        const bool fits = text.size() < *size;
        if (fits) lstrcpyA(buffer, text.c_str());
        *size = static_cast<DWORD>(text.size());
        return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
    };
    static UINT (*answerText)(const std::string&, LPSTR, LPDWORD);
    answerText = answer;
    checkReads.getProductInfo = [](LPCSTR, LPCSTR, MSIINSTALLCONTEXT, LPCSTR, LPSTR value, LPDWORD size) -> UINT WINAPI {
        return versionStatus != ERROR_SUCCESS ? versionStatus : answerText(version, value, size);
    };
    checkReads.getComponentPath = [](LPCSTR, LPCSTR, LPSTR buffer, LPDWORD size) -> INSTALLSTATE WINAPI {
        return answerText(path, buffer, size) == ERROR_SUCCESS ? INSTALLSTATE_LOCAL : INSTALLSTATE_MOREDATA;
    };
    const std::string deep = "C:\\Program Files\\" + std::string(300, 'k') + "\\Keyvane.exe";
    const struct {
        std::string version, path;
        UINT status;
        Status result;
        const char* says;
    } cases[] = {
        {"1.0.0.2", "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", ERROR_SUCCESS, Status::Ok, "is installed"},
        {std::string(64, '7'), "C:\\Program Files\\Marvek\\Keyvane\\Keyvane.exe", ERROR_SUCCESS, Status::Ok, "is installed"},
        {std::string(400, '8'), deep, ERROR_SUCCESS, Status::Ok, "(400 bytes)"},
        {"1.0.0.2", "", ERROR_SUCCESS, Status::Problem, "is missing"},
        {"", "", ERROR_BAD_CONFIGURATION, Status::Note, "its version could not be read (error 1610)"},
        {"", "", ERROR_UNKNOWN_PRODUCT, Status::Note, "not installed for every user"},
    };
    for (const auto& c : cases) {
        version = c.version;
        path = c.path;
        versionStatus = c.status;
        CheckContext context;
        CheckResult check = CheckInstalled(&context);
        EXPECT_EQ(check.status, c.result) << c.says << ": " << PlainText(check.summary);
        EXPECT_NE(ShownText(check.summary).find(c.says), std::string::npos) << ShownText(check.summary);
        EXPECT_EQ(FieldOf(check, "version"), c.status == ERROR_SUCCESS ? JsonString(c.version) : JsonNull) << c.says;
        if (c.result == Status::Ok) EXPECT_EQ(context.agentFile, c.path);
        if (c.result == Status::Ok) EXPECT_EQ(FieldOf(check, "folder"), JsonString(FolderPart(c.path)));
    }
}

TEST(CheckRun, ValuesOfEveryTypeAreNamedNeverDumped) {
    const char runKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string binary(1 << 20, 'b');
    const struct {
        DWORD type;
        std::string data;
        std::string command;
        const char* says;
    } cases[] = {
        {REG_BINARY, binary, JsonNull, "is a REG_BINARY value, not a string"},
        {REG_DWORD, std::string("\1\0\0\0", 4), JsonNull, "is a REG_DWORD value, not a string"},
        {REG_MULTI_SZ, std::string("a\0b\0\0", 5), JsonNull, "is a REG_MULTI_SZ value"},
        {0x1234, "x", JsonNull, "is a type 4660 value"},
        {REG_SZ, "C:\\Keyvane.exe", "\"C:\\\\Keyvane.exe\"", "is not one quoted path"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, runKey, "Keyvane", c.type, c.data.data(),
                                  static_cast<DWORD>(c.data.size() + (c.type == REG_SZ ? 1 : 0))), ERROR_SUCCESS);
        CheckResult check = CheckRunAtLogon();
        EXPECT_EQ(check.status, Status::Problem) << c.says;
        EXPECT_EQ(FieldOf(check, "command"), c.command) << c.says;
        EXPECT_NE(check.summary.find(c.says), std::string::npos) << PlainText(check.summary);
    }
    HKEY run;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, runKey, 0, KEY_SET_VALUE, &run), ERROR_SUCCESS);
    RegDeleteValueA(run, "Keyvane");
    RegCloseKey(run);
}

// The identity here is the tests' own copy; ChangesNothing shows the tool's resources carry it.
TEST(CheckAgent, RunningOrNotAndThePredecessor) {
    ASSERT_TRUE(StopAllAgents());
    AgentIdentity identity = {};
    lstrcpynA(identity.windowClass, AgentClass, sizeof(identity.windowClass));
    lstrcpynA(identity.windowTitle, AgentTitle, sizeof(identity.windowTitle));
    CheckContext context;
    CheckResult none = CheckAgent(&identity, &context);
    EXPECT_EQ(none.status, Status::Problem) << none.summary;
    EXPECT_EQ(context.agentProcess, 0u);
    EXPECT_EQ(CheckUiAccess(context).status, Status::Note);
    EXPECT_EQ(CheckPredecessor().status, Status::Ok);

    Process agent = StartAgent();
    ASSERT_NE(WaitForAgentWindow(), nullptr);
    CheckResult running = CheckAgent(&identity, &context);
    EXPECT_EQ(running.status, Status::Ok) << running.summary;
    EXPECT_EQ(context.agentProcess, agent.Id());
    EXPECT_EQ(FieldOf(running, "process_id"), std::to_string(agent.Id()));
    std::string path = FieldOf(running, "path");
    EXPECT_EQ(lstrcmpiA(path.c_str(), JsonString(AgentPath()).c_str()), 0) << path;
    // Wine does not answer TokenUIAccess (error 1): what cannot be read is said so, never guessed.
    CheckResult uiAccess = CheckUiAccess(context);
    const std::string granted = FieldOf(uiAccess, "ui_access");
    EXPECT_EQ(uiAccess.status, granted == "true" ? Status::Ok : granted == "false" ? Status::Problem : Status::Note)
        << granted << ": " << uiAccess.summary;
    if (granted == JsonNull) EXPECT_NE(uiAccess.summary.find("could not be read"), std::string::npos) << uiAccess.summary;
    EXPECT_TRUE(StopAllAgents());

    Process predecessor;
    ASSERT_TRUE(predecessor.Start(Quoted(BinDir() + "predecessor_window.exe"))) << GetLastError();
    ASSERT_TRUE(WaitFor([] { return FindWindowA("KVRTolvaKVR", nullptr) != nullptr; }));
    EXPECT_EQ(CheckPredecessor().status, Status::Note);
    predecessor.Kill();
}

// The program as a fleet tool runs it: streams, exit codes, and nothing changed.
struct ToolRun {
    DWORD code;
    std::string out, err;
};

ToolRun RunTool(const std::string& arguments, const std::string& tool = WindowsPathFromEnvironment("KEYVANE_CHECK")) {
    // Files, not pipes: Wine's services may keep a pipe of their starter open.
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const std::string outPath = TempPath("keyvane-check.out"), errPath = TempPath("keyvane-check.err");
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::string line = Quoted(tool) + " " + arguments;
    PROCESS_INFORMATION info = {};
    ToolRun run = {STILL_ACTIVE, "", ""};
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        WaitForSingleObject(info.hProcess, DefaultDeadlineMs);
        GetExitCodeProcess(info.hProcess, &run.code);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    } else {
        ADD_FAILURE() << line << ": error " << GetLastError();
    }
    CloseHandle(out);
    CloseHandle(err);
    run.out = ReadFileText(outPath);
    run.err = ReadFileText(errPath);
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    return run;
}

TEST(CheckProgram, StreamsAndExitCodes) {
    const struct {
        const char* arguments;
        DWORD code;  // STILL_ACTIVE here: 0 or 1, as the report's own problem count says
        bool usageOnStdout, usageOnStderr;
    } cases[] = {
        {"--help", 0, true, false},
        {"--bogus", ExitUsage, false, true},
        {"--watch", ExitUsage, false, true},
        {"--watch 0", ExitUsage, false, true},
        {"--watch ten --json", ExitUsage, false, true},
        {"", STILL_ACTIVE, false, false},
        {"--json", STILL_ACTIVE, false, false},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(run.out.find("usage: KeyvaneCheck.exe") != std::string::npos, c.usageOnStdout) << c.arguments;
        EXPECT_EQ(run.err.find("usage: KeyvaneCheck.exe") != std::string::npos, c.usageOnStderr) << c.arguments;
        if (c.code != STILL_ACTIVE) {
            EXPECT_EQ(run.code, c.code) << c.arguments;
            continue;
        }
        EXPECT_EQ(run.err, "") << c.arguments;
        const bool clean = run.out.find("\"problems\": 0,") != std::string::npos ||
                           run.out.find(": no problem found\r\n") != std::string::npos;
        EXPECT_EQ(run.code, clean ? 0u : 1u) << c.arguments << "\n" << run.out;
    }
}

// Run elevated from a folder its user can write, the tool must not load a DLL planted beside it.
// Wine prefers a DLL beside the program to its own only when told to (native, builtin).
TEST(CheckProgram, LoadsNoDllFromBesideItself) {
    const std::string folder = TempPath("keyvane-check-planted");
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string tool = folder + "\\KeyvaneCheck.exe";
    ASSERT_TRUE(CopyFileA(WindowsPathFromEnvironment("KEYVANE_CHECK").c_str(), tool.c_str(), FALSE)) << GetLastError();
    // With an agent beside it, the signature check calls wintrust too.
    ASSERT_TRUE(CopyFileA(AgentPath().c_str(), (folder + "\\Keyvane.exe").c_str(), FALSE)) << GetLastError();
    const std::vector<std::string> planted = {folder + "\\msi.dll", folder + "\\wintrust.dll"};
    for (const std::string& dll : planted) {
        ASSERT_TRUE(CopyFileA((BinDir() + "planted_dll.dll").c_str(), dll.c_str(), FALSE)) << dll << ": " << GetLastError();
        DeleteFileA((dll + ".loaded").c_str());
    }
    // Wine's loader takes overrides for one program from the registry (a child's WINEDLLOVERRIDES
    // in its Windows environment is not read); Windows has no such key and ignores it.
    const char overrides[] = "Software\\Wine\\AppDefaults\\KeyvaneCheck.exe\\DllOverrides";
    for (const char* dll : {"msi", "wintrust"})
        ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, overrides, dll, REG_SZ, "native,builtin", 15), ERROR_SUCCESS);
    ToolRun run = RunTool("--json", tool);
    RegDeleteKeyA(HKEY_CURRENT_USER, overrides);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\KeyvaneCheck.exe");
    // The installed check calls into msi, the signature check into wintrust (when Keyvane.exe is there).
    EXPECT_NE(run.out.find("\"id\": \"installed\""), std::string::npos) << run.out << run.err;
    EXPECT_TRUE(run.code == 0 || run.code == 1) << run.code;
    for (const std::string& dll : planted) {
        EXPECT_EQ(GetFileAttributesA((dll + ".loaded").c_str()), INVALID_FILE_ATTRIBUTES) << dll << " was loaded";
        DeleteFileA((dll + ".loaded").c_str());
        DeleteFileA(dll.c_str());
    }
    EXPECT_NE(run.out.find("\"id\": \"signature\", \"status\": \"ok\""), std::string::npos) << run.out;
    DeleteFileA(tool.c_str());
    DeleteFileA((folder + "\\Keyvane.exe").c_str());
    RemoveDirectoryA(folder.c_str());
}

// Every registry value below the roots and every file below the folders, with its size and time.
void Snapshot(HKEY root, const std::string& path, std::map<std::string, std::string>* items) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    (*items)[std::to_string(reinterpret_cast<ULONG_PTR>(root)) + "\\" + path] = "key";
    char name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof(name), type = 0, size = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::string data(size, '\0');
        nameSize = sizeof(name);
        RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
        (*items)[std::to_string(reinterpret_cast<ULONG_PTR>(root)) + "\\" + path + "\\\\" + name] = std::to_string(type) + ":" + data;
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Snapshot(root, path.empty() ? name : path + "\\" + name, items);
    }
    RegCloseKey(key);
}

void Snapshot(const std::string& folder, std::map<std::string, std::string>* items) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) Snapshot(folder + "\\" + name, items);
            continue;
        }
        (*items)[folder + "\\" + name] = std::to_string(found.nFileSizeLow) + "@" +
                                         std::to_string(found.ftLastWriteTime.dwLowDateTime);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The user's folders link to the Unix home under Wine: only the folders a program writes to.
std::map<std::string, std::string> MachineState() {
    std::map<std::string, std::string> items;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS}) Snapshot(root, "", &items);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));
    std::vector<std::string> folders = {windows, FolderPart(WindowsPathFromEnvironment("KEYVANE_CHECK")), TempPath("")};
    for (int folder : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_COMMON_APPDATA, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA}) {
        char path[MAX_PATH];
        if (SHGetFolderPathA(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK) folders.push_back(path);
    }
    for (const std::string& folder : folders) Snapshot(folder, &items);
    return items;
}

TEST(CheckProgram, ChangesNothing) {
    // A running agent gives the checks the most to read; with and without a configuration key.
    Process agent = StartAgent();
    ASSERT_NE(WaitForAgentWindow(), nullptr);
    for (bool configured : {false, true}) {
        SCOPED_TRACE(configured ? "configured" : "no configuration key");
        if (configured)
            ASSERT_TRUE(observe::WriteConfig({{"File", REG_SZ, observe::LaunchTargetPath()}, {"Parameters", REG_SZ, "x"}}));
        else
            observe::DeleteConfig();
        const std::map<std::string, std::string> before = MachineState();
        ToolRun json = RunTool("--json");
        EXPECT_NE(json.out.find("\"process_id\": " + std::to_string(agent.Id()) + ","), std::string::npos)
            << "the agent's identity in the tool's own resources: " << json.out;
        ToolRun watch = RunTool("--watch 1");
        EXPECT_NE(watch.out.find("watch"), std::string::npos) << watch.out;
        const std::map<std::string, std::string> after = MachineState();
        for (const auto& item : after) {
            auto found = before.find(item.first);
            EXPECT_TRUE(found != before.end() && found->second == item.second) << "changed or added: " << item.first;
        }
        for (const auto& item : before) EXPECT_TRUE(after.count(item.first)) << "removed: " << item.first;
        EXPECT_GT(before.size(), 1000u) << "the snapshot saw too little to show anything";
    }
    EXPECT_TRUE(agent.Running()) << "the tool must leave the agent alone";
    EXPECT_TRUE(StopAllAgents());
    observe::DeleteConfig();
}

}  // namespace
