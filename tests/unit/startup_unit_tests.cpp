// Start-up decisions called directly with plain values.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "window/agent_window.h"

namespace {

struct TailCase {
    const char* commandLine;
    UINT codePage;
    const char* tail;
};

const UINT Western = 1252;
const UINT Japanese = 932;  // 0x81 is a lead byte here

TEST(CommandTail, FollowsTheNameAndBlankRules) {
    const TailCase cases[] = {
        {"", Western, ""},
        {"prog", Western, ""},
        {"prog /q", Western, "/q"},
        {"prog\t \t/q", Western, "/q"},
        {"prog   q  ", Western, "q  "},
        {"prog\x01/q", Western, "/q"},
        {"prog\x1F\x01 q", Western, "q"},
        {" /q", Western, "/q"},
        {"\"C:\\Program Files\\Keyvane.exe\" /q", Western, "/q"},
        {"\"C:\\Program Files\\Keyvane.exe\"/q", Western, ""},
        {"\"C:\\Program Files\\Keyvane.exe\"x /q", Western, "/q"},
        {"\"unterminated name /q", Western, ""},
        {"a\"b c\"d q", Western, "q"},
        {"prog \x80 /q", Western, "\x80 /q"},
        {"prog\x80 /q", Western, "/q"},
        {"pr\x81 /q", Japanese, ""},
        {"pr\x81 x /q", Japanese, "/q"},
        {"pr\x81", Japanese, ""},
        {"\"a\x81\" /q", Japanese, ""},
    };
    for (const TailCase& c : cases) {
        const char* tail = CommandTail(c.commandLine, c.codePage);
        EXPECT_STREQ(tail, c.tail) << "command line '" << c.commandLine << "', code page " << c.codePage;
        EXPECT_GE(tail, c.commandLine);
        EXPECT_LE(tail, c.commandLine + strlen(c.commandLine));
    }
}

// The runtime's start-up code takes every byte from 0x80 up for a blank; the agent must not.
TEST(CommandTail, HighBytesAreNeverBlanks) {
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        std::string afterName = std::string("\"prog\" ") + static_cast<char>(byte) + "/q";
        EXPECT_EQ(std::string(CommandTail(afterName.c_str(), Western)), afterName.substr(7)) << "byte " << byte;
        std::string inName = std::string("prog") + static_cast<char>(byte) + " /q";
        EXPECT_STREQ(CommandTail(inName.c_str(), Western), "/q") << "byte " << byte;
    }
}

TEST(StartupDecision, OnlyExactQuitCommandsQuit) {
    struct {
        const char* tail;
        bool agentRunning;
        StartupDecision decision;
    } cases[] = {
        {"q", true, StartupDecision::QuitRunningAgent},
        {"/q", true, StartupDecision::QuitRunningAgent},
        {"q", false, StartupDecision::QuitRunningAgent},
        {"/q", false, StartupDecision::QuitRunningAgent},
        {"", true, StartupDecision::LeaveAgentRunning},
        {"", false, StartupDecision::BecomeAgent},
        {"/Q", false, StartupDecision::BecomeAgent},
        {"Q", true, StartupDecision::LeaveAgentRunning},
        {"-q", false, StartupDecision::BecomeAgent},
        {"q ", false, StartupDecision::BecomeAgent},
        {" q", false, StartupDecision::BecomeAgent},
        {"qq", false, StartupDecision::BecomeAgent},
        {"//q", false, StartupDecision::BecomeAgent},
        {"/", false, StartupDecision::BecomeAgent},
        {"/q\xA0", true, StartupDecision::LeaveAgentRunning},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecideStartup(c.tail, c.agentRunning), c.decision)
            << "tail '" << c.tail << "', agent running " << c.agentRunning;
}

TEST(CreateAgentWindow, ReportsFailureWhenTheClassIsMissing) {
    lstrcpyA(windowClassName, "Keyvane test class that is never registered");
    lstrcpyA(windowTitle, "Keyvane test window");
    EXPECT_FALSE(CreateAgentWindow(GetModuleHandleA(nullptr), SW_SHOWNORMAL));
}

TEST(CreateAgentWindow, CreatesAHiddenWindowWithTheClassRecord) {
    lstrcpyA(windowClassName, "Keyvane test class");
    lstrcpyA(windowTitle, "Keyvane test window");
    HINSTANCE instance = GetModuleHandleA(nullptr);
    RegisterAgentClass(instance);
    ASSERT_TRUE(CreateAgentWindow(instance, SW_SHOWNORMAL));
    EXPECT_EQ(appInstance, instance);

    HWND window = FindWindowA(windowClassName, windowTitle);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    WNDCLASSEXA record = {};
    record.cbSize = sizeof(record);
    ASSERT_TRUE(GetClassInfoExA(instance, windowClassName, &record));
    EXPECT_EQ(record.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(record.lpfnWndProc, AgentWndProc);
    EXPECT_EQ(record.cbClsExtra, 0);
    EXPECT_EQ(record.cbWndExtra, 0);
    EXPECT_EQ(record.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(record.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    EXPECT_EQ(record.lpszMenuName, MAKEINTRESOURCEA(109));

    // Destroying the window ends the loop with code 0.
    DestroyWindow(window);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

}  // namespace
