// Keyvane: a resident agent that turns a keyboard's vendor-defined shortcut report into
// Windows+B and the launch of a configured application.
#include <windows.h>

#include "../window/agent_window.h"
#include "resource.h"
#include "startup.h"

namespace {

// Held from the window search until the agent's window exists, so that two starts at the
// same moment cannot both find no agent.
class StartupLock {
public:
    StartupLock() : mutex_(CreateMutexA(nullptr, FALSE, StartupMutexName)) {
        // A start that hangs while holding the lock must not keep every later start out.
        if (!mutex_) return;
        DWORD wait = WaitForSingleObject(mutex_, 10000);
        owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~StartupLock() { Release(); }
    StartupLock(const StartupLock&) = delete;
    StartupLock& operator=(const StartupLock&) = delete;
    void Release() {
        if (owned_) ReleaseMutex(mutex_);
        owned_ = false;
        if (mutex_) CloseHandle(mutex_);
        mutex_ = nullptr;
    }

private:
    HANDLE mutex_;
    bool owned_ = false;
};

void ClosePredecessor() {
    HWND predecessor = FindWindowA(PredecessorClassName, PredecessorTitle);
    if (predecessor) PostMessageA(predecessor, WM_QUIT, 0, 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int nCmdShow) {
    RestrictToSystemFolder();
    // The runtime's own tail treats bytes 0x80 to 0xFF as blanks inside the program name.
    const char* tail = CommandTail(GetCommandLineA(), CP_ACP);

    windowTitle[0] = '\0';
    windowClassName[0] = '\0';
    LoadStringA(hInstance, IDS_WINDOW_TITLE, windowTitle, sizeof(windowTitle));
    LoadStringA(hInstance, IDS_WINDOW_CLASS, windowClassName, sizeof(windowClassName));

    ClosePredecessor();

    StartupLock lock;
    HWND runningAgent = FindWindowA(windowClassName, windowTitle);
    switch (DecideStartup(tail, runningAgent != nullptr)) {
    case StartupDecision::QuitRunningAgent:
        if (runningAgent) PostMessageA(runningAgent, WM_QUIT, 0, 0);
        return 0;
    case StartupDecision::LeaveAgentRunning:
        return 0;
    case StartupDecision::BecomeAgent:
        break;
    }

    RegisterAgentClass(hInstance);
    if (!CreateAgentWindow(hInstance, nCmdShow)) return 0;
    lock.Release();
    RegisterForRestart();
    return RunMessageLoop();
}
