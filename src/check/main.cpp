// KeyvaneCheck: says why the shortcut key may do nothing. It reads and reports; it changes nothing.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "checks.h"
#include "report.h"

namespace {

bool jsonOutput = false;

// Shown as it arrives; with --json on stderr, since stdout carries the one object.
void PrintReport(const WatchedReport& report) {
    fprintf(jsonOutput ? stderr : stdout, "report %s:%s %s agent would act: %s\n", HexId(report.vendorId).c_str(),
            HexId(report.productId).c_str(), report.report.c_str(), report.agentWouldAct ? "yes" : "no");
    fflush(jsonOutput ? stderr : stdout);
}

}  // namespace

int main(int argc, char** argv) {
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
        fputs(ReportText(checks).c_str(), stdout);
    }
    fflush(stdout);
    return ExitCode(checks);
}
