// The whole road of a key press inside one process: WM_INPUT to the agent's real window
// procedure, the simulated keyboard behind the raw-input reads, real injection seen by another
// process, the real registry and real launches through the shell.
#include <gtest/gtest.h>

#include <objbase.h>

#include "action_fixture.h"
#include "app/startup.h"
#include "hotkey/raw_input.h"

using namespace kvtest;
using namespace observe;

namespace {

class Hotkey : public ShortcutActionTest {
protected:
    static void SetUpTestSuite() {
        ShortcutActionTest::SetUpTestSuite();
        // Programs of the user that a name search could pick up instead of the intended ones: in the
        // folder the agent was started from, beside the test program, and in the user's App Paths.
        // Wine: its own programs' names (msinfo32.exe among them) resolve to the system folder before
        // any of these, so only on Windows do the msinfo32 decoys tell a fallback by bare name; the
        // bare-name row of the launch table tells a current folder left where the agent started.
        char startFolder[MAX_PATH];
        DWORD length = GetCurrentDirectoryA(sizeof(startFolder), startFolder);
        ASSERT_TRUE(length > 0 && length < sizeof(startFolder)) << GetLastError();
        decoys = {std::string(startFolder) + "\\msinfo32.exe", std::string(startFolder) + "\\" + DecoyName,
                  BinDir() + "msinfo32.exe", TempPath("msinfo32.exe")};
        for (const std::string& decoy : decoys)
            ASSERT_TRUE(CopyFileA(LaunchTargetPath().c_str(), decoy.c_str(), FALSE)) << decoy << " " << GetLastError();
        ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, UserAppPath, nullptr, REG_SZ, decoys.back().c_str(),
                                  static_cast<DWORD>(decoys.back().size() + 1)),
                  ERROR_SUCCESS);
        RestrictToSystemFolder();  // as the agent does first thing
        // The agent's own COM initialisation then fails (RPC_E_CHANGED_MODE): every launch here
        // shows that launches do not depend on it.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        // The agent's class and procedure under an identity of the test's own, so that other test
        // programs' agents are never mistaken for it.
        window = CreateAgentWindowAs("Keyvane Utility hotkey test", "Keyvane_Utility hotkey test");
        ASSERT_NE(window, nullptr);
    }
    static void TearDownTestSuite() {
        DestroyWindow(window);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        RegDeleteKeyA(HKEY_CURRENT_USER, UserAppPath);
        for (const std::string& decoy : decoys) DeleteFileA(decoy.c_str());
        ShortcutActionTest::TearDownTestSuite();
    }
    void SetUp() override { Prepare("press"); }

    static void Deliver(const std::vector<HRAWINPUT>& inputs) {
        PostInputs(window, inputs);
        DispatchQueued();
    }

    static HWND window;
    static std::vector<std::string> decoys;
    static constexpr const char* UserAppPath = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\msinfo32.exe";
};
HWND Hotkey::window;
std::vector<std::string> Hotkey::decoys;

std::vector<BYTE> Report(HANDLE device, std::vector<BYTE> bytes) { return simkb::HidPacket(device, bytes); }

template <class Edit>
std::vector<BYTE> Edited(std::vector<BYTE> packet, Edit edit) {
    edit(reinterpret_cast<RAWINPUT*>(packet.data()));
    return packet;
}

simkb::Faults SizeReportedAs(UINT size) {
    simkb::Faults faults;
    faults.overrideSize = true;
    faults.reportedSize = size;
    return faults;
}

TEST_F(Hotkey, PacketsRunTheActionExactlyForTheShortcutReport) {
    HANDLE first = simkb::AddDevice(0x04B3, 0x3021);
    HANDLE second = simkb::AddDevice(0x17EF, 0x600B);
    HANDLE third = simkb::AddDevice(0x04F2, 0x0761);
    HANDLE crossed = simkb::AddDevice(0x17EF, 0x3021);
    HANDLE crossedBack = simkb::AddDevice(0x04B3, 0x600B);
    HANDLE foreign = simkb::AddDevice(0x1234, 0x5678);
    HANDLE highBits = simkb::AddDevice(0x104B3, 0x3021);
    const std::vector<BYTE> shortcut = Report(second, {0x00, 0x01});
    simkb::Faults failSize, failCopy, shortCopy;
    failSize.sizeQueryFails = true;
    failCopy.copyFails = true;
    shortCopy.copyReturnsLess = true;
    const UINT hidHeader = offsetof(RAWINPUT, data.hid.bRawData);

    const struct {
        const char* name;
        std::vector<BYTE> packet;
        int actions;
        simkb::Faults faults;
    } cases[] = {
        {"first keyboard", Report(first, {0x00, 0x01}), 1, {}},
        {"second keyboard", shortcut, 1, {}},
        {"third keyboard", Report(third, {0x00, 0x01}), 1, {}},
        {"longer report", Report(first, {0x00, 0x01, 0xFF, 0x7F, 0x00}), 1, {}},
        {"second report ignored", simkb::HidPacket(first, {{0x00, 0x01}, {0x01, 0x01}}), 1, {}},
        {"vendor with another row's product", Report(crossed, {0x00, 0x01}), 0, {}},
        {"first vendor, second product", Report(crossedBack, {0x00, 0x01}), 0, {}},
        {"unknown keyboard", Report(foreign, {0x00, 0x01}), 0, {}},
        {"vendor id above 16 bits", Report(highBits, {0x00, 0x01}), 0, {}},
        {"unknown device handle", Report(simkb::UnknownDevice, {0x00, 0x01}), 0, {}},
        {"report 01 01", Report(first, {0x01, 0x01}), 0, {}},
        {"report 00 02", Report(first, {0x00, 0x02}), 0, {}},
        {"release report 00 00", Report(first, {0x00, 0x00}), 0, {}},
        {"only the second report is a shortcut", simkb::HidPacket(first, {{0x01, 0x01}, {0x00, 0x01}}), 0, {}},
        {"one-byte report", Report(first, {0x00}), 0, {}},
        {"keyboard packet", simkb::OtherPacket(first, RIM_TYPEKEYBOARD), 0, {}},
        {"mouse packet", simkb::OtherPacket(first, RIM_TYPEMOUSE), 0, {}},
        {"failed size query", shortcut, 0, failSize},
        {"failed read", shortcut, 0, failCopy},
        {"read shorter than the size", shortcut, 0, shortCopy},
        {"size reported larger", shortcut, 0, SizeReportedAs(static_cast<UINT>(shortcut.size()) + 8)},
        {"size reported smaller", shortcut, 0, SizeReportedAs(static_cast<UINT>(shortcut.size()) - 1)},
        {"size zero", shortcut, 0, SizeReportedAs(0)},
        {"size absurd", shortcut, 0, SizeReportedAs(0xFFFFFFF0u)},
        {"size past the limit", shortcut, 0, SizeReportedAs(MaxRawInputPacket + 1)},
        {"shorter than a header", std::vector<BYTE>(shortcut.begin(), shortcut.begin() + 20), 0, {}},
        {"header without HID part", std::vector<BYTE>(shortcut.begin(), shortcut.begin() + hidHeader - 4), 0, {}},
        {"HID part without report", std::vector<BYTE>(shortcut.begin(), shortcut.begin() + hidHeader), 0, {}},
        {"dwSizeHid beyond the packet", Edited(shortcut, [](RAWINPUT* p) { p->data.hid.dwSizeHid = 3; }), 0, {}},
        {"dwCount beyond the packet", Edited(shortcut, [](RAWINPUT* p) { p->data.hid.dwCount = 2; }), 0, {}},
        {"product overflows", Edited(shortcut, [](RAWINPUT* p) {
             p->data.hid.dwSizeHid = 0x80000000u;
             p->data.hid.dwCount = 2;
         }), 0, {}},
        {"dwCount zero", Edited(shortcut, [](RAWINPUT* p) { p->data.hid.dwCount = 0; }), 0, {}},
        {"dwSizeHid one", Edited(shortcut, [](RAWINPUT* p) { p->data.hid.dwSizeHid = 1; }), 0, {}},
    };

    size_t events = keys->Events().size();
    int expectedLaunches = 0;
    for (const auto& c : cases) {
        Deliver({simkb::Queue(c.packet, c.faults)});
        expectedLaunches += c.actions;
        size_t seen = keys->WaitForEvents(events + 4 * c.actions);
        EXPECT_EQ(seen - events, 4u * c.actions) << c.name;
        events = seen;  // a miscount shows at its own case instead of delaying every later one
    }
    EXPECT_EQ(launches->WaitForLines(expectedLaunches).size(), static_cast<size_t>(expectedLaunches));
    EXPECT_EQ(simkb::ReadCounts().contractViolations, 0);
}

TEST_F(Hotkey, WindowSubscribesToTheKeyboardsVendorCollection) {
    UINT count = 0;
    ASSERT_EQ(GetRegisteredRawInputDevices(nullptr, &count, sizeof(RAWINPUTDEVICE)), 0u) << GetLastError();
    ASSERT_EQ(count, 1u);
    RAWINPUTDEVICE device = {};
    ASSERT_EQ(GetRegisteredRawInputDevices(&device, &count, sizeof(device)), 1u) << GetLastError();
    EXPECT_EQ(device.usUsagePage, 0xFF00);
    EXPECT_EQ(device.usUsage, 0x0001);
    EXPECT_EQ(device.dwFlags, static_cast<DWORD>(RIDEV_INPUTSINK)) << "reports must arrive while another application has the focus";
    EXPECT_EQ(device.hwndTarget, window);
}

TEST_F(Hotkey, WmInputIsAnsweredWithZero) {
    HANDLE device = simkb::AddDevice(0x04F2, 0x0761);
    for (std::vector<BYTE> report : {std::vector<BYTE>{0x00, 0x01}, std::vector<BYTE>{0x05, 0x05}}) {
        HRAWINPUT input = simkb::Queue(simkb::HidPacket(device, report));
        EXPECT_EQ(SendMessageA(window, WM_INPUT, RIM_INPUT, reinterpret_cast<LPARAM>(input)), 0);
    }
    launches->WaitForLines(1);
}

TEST_F(Hotkey, EachPressInjectsWindowsBAsAnotherProcessSeesIt) {
    HANDLE device = simkb::AddDevice(0x17EF, 0x600B);
    size_t before = keys->Events().size();
    Deliver(ShortcutInputs(device, 2));
    ASSERT_EQ(keys->WaitForEvents(before + 8), before + 8);
    std::vector<KeyLine> events = keys->Events();
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(events[before + i], WindowsBAsSeen[i % 4])
            << "event " << i << ": " << Describe(events[before + i]) << ", expected " << Describe(WindowsBAsSeen[i % 4]);
    std::vector<std::string> lines = launches->WaitForLines(2);
    EXPECT_EQ(lines, (std::vector<std::string>{"launch_target.exe|press", "launch_target.exe|press"}));
}

TEST_F(Hotkey, LaunchFollowsTheConfiguration) {
    const std::vector<LaunchCase> cases = LaunchCases();
    HANDLE device = simkb::AddDevice(0x04B3, 0x3021);
    for (const LaunchCase& c : cases) {
        launches->Clear();
        if (c.config.empty()) DeleteConfig();
        else ASSERT_TRUE(WriteConfig(c.config)) << c.name;
        Deliver({simkb::Queue(simkb::HidPacket(device, {0x00, 0x01}))});
        EXPECT_EQ(launches->WaitForLines(1), std::vector<std::string>{c.launched}) << c.name;
    }
}

TEST_F(Hotkey, ChangedConfigurationIsUsedAtTheNextPress) {
    HANDLE device = simkb::AddDevice(0x04F2, 0x0761);
    Deliver({simkb::Queue(simkb::HidPacket(device, {0x00, 0x01}))});
    ASSERT_EQ(launches->WaitForLines(1), std::vector<std::string>{"launch_target.exe|press"});
    ASSERT_TRUE(WriteConfig({{"File", REG_SZ, LaunchTargetPath()}, {"Parameters", REG_SZ, "second"}}));
    Deliver({simkb::Queue(simkb::HidPacket(device, {0x00, 0x01}))});
    EXPECT_EQ(launches->WaitForLines(2), (std::vector<std::string>{"launch_target.exe|press", "launch_target.exe|second"}));
    DeleteConfig();
    Deliver({simkb::Queue(simkb::HidPacket(device, {0x00, 0x01}))});
    EXPECT_EQ(launches->WaitForLines(3).back(), FallbackLine());
}

}  // namespace
