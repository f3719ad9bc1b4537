// KeyvaneCheck: says why the shortcut key may do nothing. It reads and reports; it changes nothing.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "app/startup.h"
#include "checks.h"
#include "report.h"

namespace {

bool jsonOutput = false;

// ANSI text to stdout. A console shows it in its own code page, not the ANSI one: there it goes as
// UTF-16, so that a path with a letter outside ASCII reads right.
void PrintText(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(out, &mode)) {
        fputs(text.c_str(), stdout);
        return;
    }
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length > 0 ? length : 0, L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    DWORD written;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

// Shown as it arrives; with --json on stderr, since stdout carries the one object.
void PrintReport(const WatchedReport& report) {
    fprintf(jsonOutput ? stderr : stdout, "report %s:%s %s agent would act: %s\n", HexId(report.vendorId).c_str(),
            HexId(report.productId).c_str(), report.report.c_str(), report.agentWouldAct ? "yes" : "no");
    fflush(jsonOutput ? stderr : stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything loads a DLL that is no KnownDLL (msi, wintrust): the tool may run elevated
    // from a folder its user can write. It also takes the agent's current folder, the system folder.
    RestrictToSystemFolder();
    Options options;
    std::string error;
    switch (ParseOptions(argc, argv, &options, &error)) {
    case Command::Help:
        fputs(Usage, stdout);
        return 0;
    case Command::UsageError:
        fprintf(stderr, "KeyvaneCheck: %s\n%s", error.c_str(), Usage);
        return ExitUsage;
    case Command::Run:
        break;
    }
    jsonOutput = options.json;
    WatchResult watch;
    if (options.watchSeconds) {
        if (!options.json) printf("Listening %lu s for the keyboards' reports; press the shortcut key.\n", options.watchSeconds);
        fflush(stdout);
        watch = Watch(options.watchSeconds, PrintReport);
    }
    std::vector<CheckResult> checks = RunChecks();
    if (options.watchSeconds) checks.push_back(WatchCheck(watch));
    if (options.json) {
        // The bytes exactly as made: UTF-8, no line-end translation.
        _setmode(_fileno(stdout), _O_BINARY);
        const std::string json = ReportJson(checks);
        fwrite(json.data(), 1, json.size(), stdout);
    } else {
        PrintText(ReportText(checks));
    }
    fflush(stdout);
    return ExitCode(checks);
}
