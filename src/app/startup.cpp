#include "startup.h"

#include <string.h>

const char PredecessorClassName[] = "KVRTolvaKVR";
const char PredecessorTitle[] = "KVR_TolvaKVR";
const char StartupMutexName[] = "Local\\Keyvane Utility start-up";

namespace {

bool IsNameEnd(unsigned char c) { return c <= ' '; }

}  // namespace

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
