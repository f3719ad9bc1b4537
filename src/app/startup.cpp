#include "startup.h"

#include <string.h>

const char PredecessorClassName[] = "KVRTolvaKVR";
const char PredecessorTitle[] = "KVR_TolvaKVR";
const char StartupMutexName[] = "Local\\Keyvane Utility start-up";

namespace {

bool IsNameEnd(unsigned char c) { return c <= ' '; }

// Looked up at run time: the image also loads on Windows versions that lack these (subsystem 5.2).
template <class Function>
Function Kernel32Function(const char* name) {
    FARPROC address = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

void RestrictToSystemFolder() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    auto setDefaultDllDirectories = Kernel32Function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof(system));
    if (length > 0 && length < sizeof(system)) SetCurrentDirectoryA(system);
}

void RegisterForRestart() {
    typedef HRESULT(WINAPI * RegisterApplicationRestartFunction)(PCWSTR, DWORD);
    auto registerRestart = Kernel32Function<RegisterApplicationRestartFunction>("RegisterApplicationRestart");
    // Restarted only after an installer's shutdown, with no arguments.
    if (registerRestart) registerRestart(L"", RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
}

const char* CommandTail(const char* commandLine, UINT codePage) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    bool inQuotes = false;
    while (*p != '\0' && (inQuotes || !IsNameEnd(*p))) {
        if (*p == '"') inQuotes = !inQuotes;
        // A lead byte at the very end has no trail byte to take.
        if (IsDBCSLeadByteEx(codePage, *p) && p[1] != '\0') ++p;
        ++p;
    }
    while (*p != '\0' && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}

bool IsQuitCommand(const char* tail) {
    // Byte-exact and case-sensitive: "/Q", "q " and "qq" are not the command.
    return strcmp(tail, "q") == 0 || strcmp(tail, "/q") == 0;
}

StartupDecision DecideStartup(const char* tail, bool agentRunning) {
    if (IsQuitCommand(tail)) return StartupDecision::QuitRunningAgent;
    return agentRunning ? StartupDecision::LeaveAgentRunning : StartupDecision::BecomeAgent;
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
