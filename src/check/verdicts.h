// The tool's decisions, from plain values: what a key press would start, who may write the
// configuration, whether a path lies in a folder, what a watched report shows.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "report.h"

extern const char AgentFileName[];  // "Keyvane.exe"

// Case-insensitive, at a path boundary: "C:\A\B" is in "C:\A" and "c:\a\", not in "C:\AB".
bool IsInFolder(const std::string& path, const std::string& folder);
// The part after the last backslash.
std::string FileNamePart(const std::string& path);
std::string FolderPart(const std::string& path);  // without the trailing backslash

// How the configured File names what it starts.
enum class NameForm { FullPath, Url, Name };
NameForm FileNameForm(const char* file);
// What Windows creates a process from directly; anything else opens with its handler.
bool IsProgramFile(const char* path);

// "REG_DWORD" and the like; "type N" for a number without a name.
std::string RegistryTypeName(DWORD type);

// One configuration value as the agent reads it (its own ReadConfigString, into `text`), what its
// own query says when that refused it, and the value read through the Unicode API.
struct ConfigFacts {
    bool read = false;
    const char* text = "";
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    bool unicodeRead = false;
    std::wstring unicode;
};
// What the tool found out about the launch configuration.
struct LaunchFacts {
    LSTATUS keyStatus = ERROR_SUCCESS;  // opening the configuration key
    ConfigFacts file, parameters;
    bool exists = false;    // a full path: it exists
    bool isFolder = false;  // ... and is a folder
    std::string found;      // a name: the program the search found, or empty
    std::string undecided;  // a name: why what the shell would find cannot be told, or empty
    const char* fallback = "";
};
// Whether `ansi`, the agent's text, converts back to `unicode`, the value as stored: best fit
// replaces what the ANSI code page cannot hold by look-alikes.
bool SameText(const char* ansi, const std::wstring& unicode);
struct LaunchVerdict {
    Status status;
    bool usesFallback;
    std::string file;
    std::string parameters;
    std::string reason;
    std::string action;
};
LaunchVerdict DecideLaunch(const LaunchFacts& facts);

// One entry of a key's access list, its trustee as a SID string.
struct AccessEntry {
    std::string sid;
    bool allow;
    ACCESS_MASK mask;
    bool inheritOnly;  // applies to subkeys only
};
// Whether a SID is one that may hold write access to the configuration: administrators, SYSTEM,
// TrustedInstaller, the creator owner.
bool IsTrustedWriter(const std::string& sid);
// The SIDs that may write the key (or change who may), the owner included; none when it is safe.
// Deny entries are not subtracted: the answer errs towards a problem.
std::vector<std::string> UntrustedWriters(const std::string& ownerSid, const std::vector<AccessEntry>& entries);

// Entries of a PendingFileRenameOperations list (REG_MULTI_SZ bytes) that name something in one
// of `folders`, or a file named Keyvane.exe anywhere; without their "\??\" and "!" prefixes.
std::vector<std::string> PendingRenamesFor(const std::string& list, const std::vector<std::string>& folders);

// A Run value's command: the program between a pair of double quotes that hold all of it; false
// for anything else (an unquoted path with a blank runs whatever its first word names).
bool QuotedProgram(const std::string& command, std::string* program);

// What WinVerifyTrust's answer means for the user.
std::string DescribeTrust(LONG result);

// A report as seen while watching.
struct WatchedReport {
    DWORD vendorId;
    DWORD productId;
    std::string report;  // the first report's first bytes (at most 8), in hex
    bool agentWouldAct;
};
// From a packet of `size` bytes read whole; false when it is no HID packet.
bool DescribeReport(const RAWINPUT* packet, UINT size, DWORD vendorId, DWORD productId, WatchedReport* report);
std::string HexId(DWORD id);  // four upper-case hex digits
