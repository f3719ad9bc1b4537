// Base for tests that press the shortcut key: the simulated keyboard behind the agent's reads,
// the key observer, the launch log, and a configuration that launches the stand-in target.
#pragma once
#include <gtest/gtest.h>

#include "action_observers.h"
#include "simulated_keyboard.h"

class ShortcutActionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        simkb::Install();
        ASSERT_TRUE(observe::InstallFallbackStandIn()) << "error " << GetLastError();
        keys = new observe::KeyObserver;
        ASSERT_TRUE(keys->Start()) << "key observer: error " << GetLastError();
        launches = new observe::LaunchLog;
    }
    static void TearDownTestSuite() {
        delete keys;
        delete launches;
        observe::DeleteConfig();
        simkb::Uninstall();
    }
    // Each test starts with no queued packets, an empty launch log and the stand-in configured
    // with `parameters`.
    static void Prepare(const char* parameters) {
        simkb::Reset();
        launches->Clear();
        ASSERT_TRUE(observe::WriteConfig(
            {{"File", REG_SZ, observe::LaunchTargetPath()}, {"Parameters", REG_SZ, parameters}}));
    }
    // `count` shortcut reports from `device`, queued in the simulated keyboard.
    static std::vector<HRAWINPUT> ShortcutInputs(HANDLE device, size_t count) {
        std::vector<HRAWINPUT> inputs;
        for (size_t i = 0; i < count; ++i) inputs.push_back(simkb::Queue(simkb::HidPacket(device, {0x00, 0x01})));
        return inputs;
    }

    static observe::KeyObserver* keys;
    static observe::LaunchLog* launches;
};
