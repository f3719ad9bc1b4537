// Watching the shortcut action from outside: the keys another process sees, the programs the
// shell starts, and the configuration they are started from.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace observe {

struct KeyLine {
    DWORD vk, scan, flags;
    bool operator==(const KeyLine& other) const {
        return vk == other.vk && scan == other.scan && flags == other.flags;
    }
};
std::string Describe(const KeyLine& key);

// The four events of one press as a low-level hook sees them (extended 0x01, injected 0x10, up 0x80).
extern const KeyLine WindowsBAsSeen[4];

// key_observer.exe: a WH_KEYBOARD_LL hook in another process that logs every key event.
class KeyObserver {
public:
    ~KeyObserver() { Stop(); }
    bool Start();
    void Stop();
    std::vector<KeyLine> Events() const;
    // Waits until at least `count` events arrived; returns how many there are.
    size_t WaitForEvents(size_t count) const;

private:
    kvtest::Process process_;
    std::string log_;
};

// The log that launch_target.exe and its copies append to. Lines read "program|tail", where the
// program is the bare file name for a stand-in in the test programs' folder and the full path
// anywhere else; " show N" follows it when the shell did not ask for SW_SHOWNORMAL.
class LaunchLog {
public:
    LaunchLog();  // starts empty; child processes find it through the environment
    std::vector<std::string> Lines() const;
    // Waits for `count` lines, then for every started stand-in to end, so nothing arrives later.
    std::vector<std::string> WaitForLines(size_t count) const;
    void Clear() const;

private:
    std::string path_;
};

// Puts the stand-in in the system folder as "msinfo32.exe".
bool InstallFallbackStandIn();
std::string LaunchTargetPath();
// The log line of a fallback launch.
std::string FallbackLine();
// A copy of the stand-in under a name that only a folder search could find.
extern const char DecoyName[];

// The configuration key, written as a test needs it.
struct ConfigValue {
    const char* name;
    DWORD type;
    std::string data;        // bytes stored; a string's terminator is added unless `unterminated`
    bool unterminated = false;
};
bool WriteConfig(const std::vector<ConfigValue>& values);
void DeleteConfig();

// One launch configuration, what the agent launched from it (a launch log line) and the status the
// diagnosis tool gives it; both programs' tests run the same rows.
struct LaunchCase {
    const char* name;
    std::vector<ConfigValue> config;  // empty: no key at all
    std::string launched;
    const char* checkStatus;
};
std::vector<LaunchCase> LaunchCases();

// The agent's own window class, procedure and window, created in the test process under the
// given identity; null when creation fails.
HWND CreateAgentWindowAs(const char* className, const char* title);

// Posts WM_INPUT for each handle, as Windows queues raw input for the window.
void PostInputs(HWND window, const std::vector<HRAWINPUT>& inputs);
// Dispatches everything queued for this thread.
void DispatchQueued();

}  // namespace observe
