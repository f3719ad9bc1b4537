// Start-up decisions, kept apart from WinMain so that tests can call them with plain values.
#pragma once
#include <windows.h>

// The predecessor utility, closed at every start. Fixed texts, not resources.
extern const char PredecessorClassName[];
extern const char PredecessorTitle[];

// Per-session object that makes the window search and the window creation one step.
extern const char StartupMutexName[];

// The command line without the program name and the blanks after it. The name ends at the
// first byte of 0x20 or less outside double quotes; a lead byte of `codePage` takes its trail
// byte with it. Returns a pointer into `commandLine`.
const char* CommandTail(const char* commandLine, UINT codePage);

// Exactly "q" or "/q".
bool IsQuitCommand(const char* tail);

enum class StartupDecision { QuitRunningAgent, LeaveAgentRunning, BecomeAgent };
StartupDecision DecideStartup(const char* tail, bool agentRunning);

// First thing at start: DLLs load from the system folder only and the system folder becomes the
// current folder, so that nothing the agent loads or launches depends on where it was started.
void RestrictToSystemFolder();

// Asks Restart Manager to start the agent again after an installer closed it.
void RegisterForRestart();

// Dispatches messages until WM_QUIT; returns its wParam, the process's exit code.
int RunMessageLoop();
