// The agent as other programs see it: started, found, asked to quit, raced.
#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace kvtest;

namespace {

const DWORD PredecessorQuitCode = 81;  // predecessor_window's exit code after WM_QUIT

bool IsQuitTail(const std::string& tail) { return tail == "q" || tail == "/q"; }

// The current folder of another process, read from its process parameters (the layout that
// Windows x64 and Wine share: PEB+0x20 parameters, CurrentDirectory.DosPath at +0x38).
std::string CurrentFolderOf(HANDLE process) {
    typedef LONG(WINAPI * QueryInformationProcess)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryInformationProcess>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    struct {
        void* exitStatus;
        BYTE* peb;
        void* rest[4];
    } basic = {};
    if (!query || query(process, 0 /*ProcessBasicInformation*/, &basic, sizeof(basic), nullptr) != 0) return "";
    BYTE* parameters = nullptr;
    struct {
        USHORT length, maximumLength;
        WCHAR* buffer;
    } dosPath = {};
    if (!ReadProcessMemory(process, basic.peb + 0x20, &parameters, sizeof(parameters), nullptr) ||
        !ReadProcessMemory(process, parameters + 0x38, &dosPath, sizeof(dosPath), nullptr))
        return "";
    std::wstring wide(dosPath.length / sizeof(WCHAR), L'\0');
    if (!ReadProcessMemory(process, dosPath.buffer, &wide[0], dosPath.length, nullptr)) return "";
    char folder[MAX_PATH] = "";
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, folder, sizeof(folder), nullptr, nullptr);
    return folder;
}

class AgentStartup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StopAllAgents()) << "an agent from an earlier test is still running"; }
    void TearDown() override { EXPECT_TRUE(StopAllAgents()); }

    // A running agent with its window; fails the test when none appears.
    Process StartRunningAgent() {
        Process process = StartAgent("");
        HWND window = WaitForAgentWindow();
        EXPECT_NE(window, nullptr) << "agent window did not appear";
        EXPECT_EQ(WindowProcessId(window), process.Id());
        return process;
    }
};

TEST_F(AgentStartup, WindowIsFoundByIdentityAndStaysHidden) {
    Process agent = StartRunningAgent();
    HWND window = FindWindowA(AgentClass, AgentTitle);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetClassLongPtrA(window, GCL_STYLE), static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW));
    LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW) << std::hex << style;
    EXPECT_EQ(style & (WS_VISIBLE | WS_CHILD | WS_POPUP), 0) << std::hex << style;
    EXPECT_EQ(GetWindowLongPtrA(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetMenu(window), nullptr) << "the class names menu 109, which the file does not carry";
    EXPECT_EQ(FindAgentWindows().size(), 1u);
}

// A name the agent or the shell resolves must not depend on the folder the agent was started in.
TEST_F(AgentStartup, WorksInTheSystemFolderWhereverItWasStarted) {
    const std::string system = SystemFolder() + "\\";
    char startFolder[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryA(sizeof(startFolder), startFolder), 0u) << GetLastError();
    ASSERT_NE(lstrcmpiA(startFolder, system.c_str()), 0) << "the test must start elsewhere";
    Process agent = StartRunningAgent();
    std::string folder = CurrentFolderOf(agent.Handle());
    ASSERT_FALSE(folder.empty()) << "cannot read the agent's process parameters: error " << GetLastError();
    EXPECT_EQ(lstrcmpiA(folder.c_str(), system.c_str()), 0) << folder;
}

struct QuitCase {
    const char* tail;
    bool quits;  // true: the running agent ends; false: the new start leaves it alone
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << "tail '" << c.tail << "' quits " << c.quits; }

class QuitCommand : public AgentStartup, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitCommand, DecidesBetweenQuitAndLeave) {
    Process agent = StartRunningAgent();
    HWND window = FindWindowA(AgentClass, AgentTitle);

    Process second = StartAgent(GetParam().tail);
    EXPECT_EQ(second.WaitExit(), 0u) << "second start with tail '" << GetParam().tail << "'";
    if (GetParam().quits) {
        EXPECT_EQ(agent.WaitExit(), 0u);
        EXPECT_TRUE(FindAgentWindows().empty());
    } else {
        EXPECT_TRUE(agent.Running());
        EXPECT_EQ(FindAgentWindows(), std::vector<HWND>{window});
    }
}

INSTANTIATE_TEST_SUITE_P(Tails, QuitCommand,
                         ::testing::Values(QuitCase{"", false}, QuitCase{"q", true}, QuitCase{"/q", true},
                                           QuitCase{"/Q", false}, QuitCase{"-q", false}, QuitCase{"q ", false},
                                           QuitCase{"qq", false}, QuitCase{"\t/q", true},
                                           QuitCase{"\x80/q", false}, QuitCase{"/q\xA0", false}));

// Tails that are not the quit command start an agent when none runs.
class NotQuitCommand : public AgentStartup, public ::testing::WithParamInterface<const char*> {};

TEST_P(NotQuitCommand, StartsAnAgentWhenNoneRuns) {
    Process agent = StartAgent(GetParam());
    HWND window = WaitForAgentWindow();
    ASSERT_NE(window, nullptr) << "tail '" << GetParam() << "'";
    EXPECT_EQ(WindowProcessId(window), agent.Id());
    EXPECT_TRUE(StopAllAgents());
    EXPECT_EQ(agent.WaitExit(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tails, NotQuitCommand,
                         ::testing::Values("/Q", "-q", "q ", "qq", "\x80 /q", "\xFF", "\"q\"",
                                           "q\x01"));

TEST_F(AgentStartup, LongAndOddTailsStartAnOrdinaryAgent) {
    const std::string tails[] = {std::string(30000, 'q'), "\"/q", "/q\"", "\"\"\"", std::string("\x81\x40/q"),
                                 std::string("a\x7F\x1B[2J\x07")};
    for (const std::string& tail : tails) {
        Process agent = StartAgent(tail);
        HWND window = WaitForAgentWindow();
        ASSERT_NE(window, nullptr) << "tail of " << tail.size() << " bytes";
        EXPECT_EQ(WindowProcessId(window), agent.Id());
        EXPECT_TRUE(StopAllAgents());
        EXPECT_EQ(agent.WaitExit(), 0u) << "tail of " << tail.size() << " bytes";
    }
}

TEST_F(AgentStartup, QuitWithNoAgentRunningCreatesNothing) {
    for (const char* tail : {"q", "/q"}) {
        Process quitter = StartAgent(tail);
        EXPECT_EQ(quitter.WaitExit(), 0u) << tail;
        EXPECT_TRUE(FindAgentWindows().empty()) << tail;
    }
}

TEST_F(AgentStartup, QuotedProgramPathWithBlankThenQuitCommand) {
    std::string dir = BinDir() + "agent copy with blanks";
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string copy = dir + "\\Keyvane.exe";
    ASSERT_TRUE(CopyFileA(AgentPath().c_str(), copy.c_str(), FALSE));

    Process agent = StartRunningAgent();
    Process quitter = StartAgent("/q", copy);
    EXPECT_EQ(quitter.WaitExit(), 0u);
    EXPECT_EQ(agent.WaitExit(), 0u);
}

TEST_F(AgentStartup, PredecessorIsToldToQuitOnEveryStart) {
    for (const char* tail : {"", "q", "/q", "/Q", "anything else"}) {
        Process predecessor;
        ASSERT_TRUE(predecessor.Start(Quoted(BinDir() + "predecessor_window.exe"))) << GetLastError();
        ASSERT_TRUE(WaitFor([] { return FindWindowA("KVRTolvaKVR", "KVR_TolvaKVR") != nullptr; }));

        Process agent = StartAgent(tail);
        EXPECT_EQ(predecessor.WaitExit(), PredecessorQuitCode) << "tail '" << tail << "'";
        predecessor.Kill();
        if (!IsQuitTail(tail)) EXPECT_NE(WaitForAgentWindow(), nullptr) << "tail '" << tail << "'";
        EXPECT_TRUE(StopAllAgents());
        EXPECT_EQ(agent.WaitExit(), 0u) << "tail '" << tail << "'";
    }
}

// How Restart Manager asks, and how other programs stop it: the agent ends only when told to, with
// the code of its quit message.
TEST_F(AgentStartup, EndsOnlyWhenToldWithTheCodeOfItsQuitMessage) {
    const DWORD StillThere = 5;  // the code of a WM_QUIT posted afterwards, which only a running agent takes
    const struct {
        const char* name;
        bool send;  // sent and answered, as Restart Manager does; otherwise posted
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT answer;
        DWORD exitCode;
    } cases[] = {
        {"WM_CLOSE", true, WM_CLOSE, 0, 0, 0, 0},
        {"WM_QUIT 7", false, WM_QUIT, 7, 0, 0, 7},
        {"WM_QUIT 0", false, WM_QUIT, 0, 0, 0, 0},
        {"query before closing", true, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, TRUE, StillThere},
        {"closed by an installer", true, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, 0, 0},
        {"closing called off", true, WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, 0, StillThere},
        {"session ending, not the installer", true, WM_ENDSESSION, TRUE, 0, 0, StillThere},
    };
    for (const auto& c : cases) {
        Process agent = StartRunningAgent();
        HWND window = FindWindowA(AgentClass, AgentTitle);
        if (c.send) {
            DWORD_PTR answer = 0;
            ASSERT_NE(SendMessageTimeoutA(window, c.message, c.wParam, c.lParam, SMTO_ABORTIFHUNG, DefaultDeadlineMs,
                                          &answer),
                      0)
                << c.name << " error " << GetLastError();
            EXPECT_EQ(answer, static_cast<DWORD_PTR>(c.answer)) << c.name;
        } else {
            PostMessageA(window, c.message, c.wParam, c.lParam);
        }
        PostMessageA(window, WM_QUIT, StillThere, 0);  // fails once the window is gone
        EXPECT_EQ(agent.WaitExit(), c.exitCode) << c.name;
        EXPECT_TRUE(WaitFor([] { return FindAgentWindows().empty(); })) << c.name;
    }
}

// Each start waits on a shared gate, so that the shell starts all of them at the same moment.
struct GatedStart {
    HANDLE gate;
    Process agent;
    bool started = false;
    DWORD error = 0;
};

DWORD WINAPI StartWhenGateOpens(void* context) {
    GatedStart* start = static_cast<GatedStart*>(context);
    WaitForSingleObject(start->gate, INFINITE);
    start->started = start->agent.Open(AgentPath(), "");
    start->error = GetLastError();
    return 0;
}

TEST_F(AgentStartup, SimultaneousStartsLeaveExactlyOneAgent) {
    const int Rounds = 4;
    const int Starts = 8;
    for (int round = 0; round < Rounds; ++round) {
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(gate, nullptr) << GetLastError();
        std::vector<GatedStart> starts(Starts);
        std::vector<HANDLE> threads;
        for (GatedStart& start : starts) {
            start.gate = gate;
            HANDLE thread = CreateThread(nullptr, 0, StartWhenGateOpens, &start, 0, nullptr);
            ASSERT_NE(thread, nullptr) << GetLastError();
            threads.push_back(thread);
        }
        SetEvent(gate);
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
        for (HANDLE thread : threads) CloseHandle(thread);
        CloseHandle(gate);
        std::vector<Process> agents;
        for (GatedStart& start : starts) {
            ASSERT_TRUE(start.started) << "error " << start.error;
            agents.push_back(std::move(start.agent));
        }

        ASSERT_NE(WaitForAgentWindow(), nullptr);
        // Every start but one leaves on its own.
        auto runningCount = [&] {
            int running = 0;
            for (Process& agent : agents) running += agent.Running();
            return running;
        };
        WaitFor([&] { return runningCount() <= 1; });
        EXPECT_EQ(runningCount(), 1) << "round " << round;
        EXPECT_EQ(FindAgentWindows().size(), 1u) << "round " << round;
        EXPECT_TRUE(StopAllAgents());
        for (Process& agent : agents) EXPECT_EQ(agent.WaitExit(), 0u) << "round " << round;
    }
}

}  // namespace
