// The checks themselves: each reads what it needs from the machine, changes nothing, and judges
// with the agent's own code or the decisions in verdicts.h.
#pragma once
#include <windows.h>
#include <msi.h>

#include <string>
#include <vector>

#include "report.h"
#include "verdicts.h"

// What the tool reads through user32, wintrust and msi. Tests put a simulated keyboard, their own
// trust answers and their own product registrations here.
struct CheckReads {
    UINT(WINAPI* getRawInputDeviceList)(PRAWINPUTDEVICELIST, PUINT, UINT);
    UINT(WINAPI* getRawInputDeviceInfo)(HANDLE, UINT, LPVOID, PUINT);
    UINT(WINAPI* getRawInputData)(HRAWINPUT, UINT, LPVOID, PUINT, UINT);
    LONG (*verifyTrust)(const char* path);
    UINT(WINAPI* enumRelatedProducts)(LPCSTR, DWORD, DWORD, LPSTR);
    UINT(WINAPI* getProductInfo)(LPCSTR, LPCSTR, MSIINSTALLCONTEXT, LPCSTR, LPSTR, LPDWORD);
    INSTALLSTATE(WINAPI* getComponentPath)(LPCSTR, LPCSTR, LPSTR, LPDWORD);
};
extern CheckReads checkReads;

// WinVerifyTrust's answer for a file, without user interface and without going online.
LONG VerifyFileTrust(const char* path);

// What earlier checks found out for later ones.
struct CheckContext {
    std::string installedFolder;  // empty when the product is not installed
    std::string agentFile;        // the installed Keyvane.exe, else the one beside the tool
    DWORD agentProcess = 0;       // the running agent's, or 0
};

CheckResult CheckInstalled(CheckContext* context);
CheckResult CheckRunAtLogon();
CheckResult CheckSignature(const CheckContext& context);
CheckResult CheckSecureFolder(const CheckContext& context);
// The agent window's identity, 100 bytes each as the agent holds it.
struct AgentIdentity {
    char windowClass[100];
    char windowTitle[100];
};
// From `module`'s string table, which for the tool holds the agent's own texts (res/window_identity.rc).
bool LoadAgentIdentity(HINSTANCE module, AgentIdentity* identity);
// `identity` is null when it could not be loaded.
CheckResult CheckAgent(const AgentIdentity* identity, CheckContext* context);
CheckResult CheckUiAccess(const CheckContext& context);
CheckResult CheckKeyboards();
CheckResult CheckLaunch();
CheckResult CheckConfigAccess();
CheckResult CheckPendingRestart(const CheckContext& context);
CheckResult CheckPredecessor();

// Every check, in the order of the report.
std::vector<CheckResult> RunChecks();

// Listening for the keyboards' vendor reports with a window of the tool's own.
struct WatchResult {
    DWORD error = 0;  // nonzero when the tool could not listen
    DWORD seconds = 0;
    std::vector<WatchedReport> reports;
};
// Reads one WM_INPUT's packet through checkReads; false when it cannot be read or is no HID packet.
bool ReadWatchedInput(HRAWINPUT input, WatchedReport* report);
extern const char WatchWindowClass[];
WatchResult Watch(DWORD seconds, void (*onReport)(const WatchedReport& report));
CheckResult WatchCheck(const WatchResult& watch);
