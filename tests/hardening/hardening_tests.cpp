// Bursts, a quit in the middle of one, randomised packets, and many starts and quits.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>

#include "app/startup.h"
#include "hotkey/action_fixture.h"
#include "hotkey/raw_input.h"

using namespace kvtest;
using namespace observe;

namespace {

class Hardening : public ShortcutActionTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(StopAllAgents());
        Prepare("burst");
    }
    void TearDown() override {
        if (window) DestroyWindow(window);
        window = nullptr;
        DispatchQueued();  // the WM_QUIT that the destruction posts
    }

    // Every event since `from` must be whole presses of Windows+B, in order.
    static void ExpectWholePresses(size_t from, size_t presses) {
        std::vector<KeyLine> events = keys->Events();
        ASSERT_EQ(events.size() - from, 4 * presses);
        for (size_t i = 0; i < 4 * presses; ++i)
            ASSERT_EQ(events[from + i], WindowsBAsSeen[i % 4]) << "event " << i << ": " << Describe(events[from + i]);
    }

    HWND window = nullptr;
};

TEST_F(Hardening, BurstOfShortcutReportsIsHandledOneAfterAnother) {
    window = CreateAgentWindowAs("Keyvane Utility burst test", "Keyvane_Utility burst test");
    ASSERT_NE(window, nullptr);
    HANDLE device = simkb::AddDevice(0x17EF, 0x600B);
    const size_t Presses = 50;
    std::vector<HRAWINPUT> inputs = ShortcutInputs(device, Presses);

    size_t before = keys->Events().size();
    PostInputs(window, inputs);
    DispatchQueued();

    keys->WaitForEvents(before + 4 * Presses);
    ExpectWholePresses(before, Presses);
    std::vector<std::string> lines = launches->WaitForLines(Presses);
    EXPECT_EQ(lines, std::vector<std::string>(Presses, "launch_target.exe|burst"));
    EXPECT_EQ(simkb::ReadCounts().copies, static_cast<int>(Presses));
}

// The window carries the real identity here, so that a real "Keyvane.exe q" finds it.
TEST_F(Hardening, QuitCommandDuringABurstEndsTheLoopWithCodeZero) {
    window = CreateAgentWindowAs(AgentClass, AgentTitle);
    ASSERT_NE(window, nullptr);
    HANDLE device = simkb::AddDevice(0x04B3, 0x3021);
    const size_t Presses = 50;
    std::vector<HRAWINPUT> inputs = ShortcutInputs(device, Presses);

    size_t before = keys->Events().size();
    PostInputs(window, std::vector<HRAWINPUT>(inputs.begin(), inputs.begin() + Presses / 2));
    Process quitter = StartAgent("q");
    // The rest of the burst arrives while the quit command is on its way.
    PostInputs(window, std::vector<HRAWINPUT>(inputs.begin() + Presses / 2, inputs.end()));

    EXPECT_EQ(RunMessageLoop(), 0);
    EXPECT_EQ(quitter.WaitExit(), 0u);
    // Whatever was handled before the quit was handled whole.
    size_t handled = simkb::ReadCounts().copies;
    EXPECT_GE(handled, Presses / 2);
    EXPECT_LE(handled, Presses);
    keys->WaitForEvents(before + 4 * handled);
    ExpectWholePresses(before, handled);
    EXPECT_EQ(launches->WaitForLines(handled).size(), handled);
}

// An oracle written from the packet layout, independent of the agent's structures.
struct Oracle {
    std::vector<std::pair<HANDLE, bool>> devices;  // handle, supported

    bool IsShortcut(const std::vector<BYTE>& packet, const simkb::Faults& faults) const {
        if (faults.sizeQueryFails || faults.copyFails || faults.copyReturnsLess) return false;
        if (faults.overrideSize && faults.reportedSize != packet.size()) return false;
        const size_t TypeAt = 0, DeviceAt = 8, SizeHidAt = 24, CountAt = 28, ReportAt = 32;
        if (packet.size() < ReportAt) return false;
        uint32_t type, sizeHid, count;
        uint64_t device;
        memcpy(&type, &packet[TypeAt], 4);
        memcpy(&device, &packet[DeviceAt], 8);
        memcpy(&sizeHid, &packet[SizeHidAt], 4);
        memcpy(&count, &packet[CountAt], 4);
        if (type != 2) return false;
        bool supported = false;
        for (const auto& known : devices)
            if (reinterpret_cast<uint64_t>(known.first) == device) supported = known.second;
        if (!supported || sizeHid < 2 || count < 1) return false;
        // Division keeps the comparison free of overflow.
        if (sizeHid > packet.size() - ReportAt || count > (packet.size() - ReportAt) / sizeHid) return false;
        return packet[ReportAt] == 0x00 && packet[ReportAt + 1] == 0x01;
    }
};

TEST_F(Hardening, RandomisedPacketsRunTheActionExactlyForShortcutReports) {
    window = CreateAgentWindowAs("Keyvane Utility random test", "Keyvane_Utility random test");
    ASSERT_NE(window, nullptr);
    Oracle oracle;
    for (const auto& id : {std::pair<DWORD, DWORD>{0x04B3, 0x3021}, {0x17EF, 0x600B}, {0x04F2, 0x0761}})
        oracle.devices.push_back({simkb::AddDevice(id.first, id.second), true});
    for (const auto& id : {std::pair<DWORD, DWORD>{0x17EF, 0x3021}, {0x04F2, 0x600B}, {0x1234, 0x0761}})
        oracle.devices.push_back({simkb::AddDevice(id.first, id.second), false});

    std::mt19937 random(20131206);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto pick = [&](uint32_t count) { return static_cast<uint32_t>(random() % count); };
    const int Packets = 100000;
    size_t before = keys->Events().size();
    size_t expected = 0;
    for (int i = 0; i < Packets; ++i) {
        // Every size from nothing to a little past two short reports, then any size up to 300.
        size_t size = i < 64 * 50 ? i % 64 : pick(300);
        std::vector<BYTE> packet(size);
        for (BYTE& b : packet) b = static_cast<BYTE>(random());
        auto put = [&](size_t at, const void* value, size_t length) {
            if (at + length <= packet.size()) memcpy(&packet[at], value, length);
        };
        if (chance(80)) { uint32_t type = chance(90) ? 2 : pick(3); put(0, &type, 4); }
        if (chance(90)) { HANDLE device = chance(90) ? oracle.devices[pick(6)].first : simkb::UnknownDevice; put(8, &device, 8); }
        if (chance(80)) { uint32_t sizeHid = chance(90) ? pick(5) : static_cast<uint32_t>(random()); put(24, &sizeHid, 4); }
        if (chance(80)) { uint32_t count = chance(90) ? pick(4) : static_cast<uint32_t>(random()); put(28, &count, 4); }
        // Shortcut bytes are rare, so that the launches stay few.
        if (chance(2)) { BYTE report[2] = {0x00, static_cast<BYTE>(chance(80) ? 0x01 : pick(3))}; put(32, report, 2); }
        simkb::Faults faults;
        if (chance(2)) {
            switch (pick(5)) {
            case 0: faults.sizeQueryFails = true; break;
            case 1: faults.copyFails = true; break;
            case 2: faults.copyReturnsLess = true; break;
            case 3: faults.overrideSize = true; faults.reportedSize = static_cast<UINT>(random()); break;
            default: faults.overrideSize = true; faults.reportedSize = static_cast<UINT>(size + pick(3)) - 1; break;
            }
        }
        bool shortcut = oracle.IsShortcut(packet, faults);
        expected += shortcut;
        SendMessageA(window, WM_INPUT, RIM_INPUT, reinterpret_cast<LPARAM>(simkb::Queue(packet, faults)));
        if (shortcut || i % 5000 == 0) {
            size_t seen = keys->WaitForEvents(before + 4 * expected) - before;
            ASSERT_EQ(seen, 4 * expected) << "after packet " << i << " of size " << size << ", oracle says shortcut "
                                          << shortcut;
        }
        if (i % 1000 == 999) simkb::Reset();  // keeps the simulated queue small
    }
    EXPECT_GE(expected, 20u) << "the generator hardly made shortcut reports";
    keys->WaitForEvents(before + 4 * expected);
    ExpectWholePresses(before, expected);
    EXPECT_EQ(launches->WaitForLines(expected).size(), expected);
}

TEST_F(Hardening, HundredStartsAndQuitsLeaveNothingBehind) {
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Process agent = StartAgent();
        HWND window = WaitForAgentWindow();
        ASSERT_NE(window, nullptr) << "round " << round;
        ASSERT_EQ(WindowProcessId(window), agent.Id()) << "round " << round;
        Process quitter = StartAgent("/q");
        ASSERT_EQ(quitter.WaitExit(), 0u) << "round " << round;
        ASSERT_EQ(agent.WaitExit(), 0u) << "round " << round;
        // Wine may report the process ended a moment before its window is gone.
        ASSERT_TRUE(WaitFor([] { return FindAgentWindows().empty(); })) << "round " << round;
    }
}

}  // namespace
