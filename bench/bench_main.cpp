// Measures the agent beside the reference program in one run and prints one line per figure:
//   <figure> key=value ...
// The targets are printed with the figures they belong to. Nothing here fails on a slow figure;
// the exit code says only whether every figure could be measured.
//
//   keyvane_bench AGENT REFERENCE SIGNED_AGENT SIGNED_REFERENCE [--runs=N] [--idle-seconds=N]
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "checks.h"
#include "hotkey/raw_input.h"
#include "hotkey/shortcut_action.h"
#include "hotkey/simulated_keyboard.h"
#include "reference_names.h"
#include "support/test_support.h"

namespace {

const double MaxRatio = 1.10;
const ULONGLONG MaxUnsignedBytes = 48 * 1024;
const double MaxRecognitionP99Ns = 2000;
const int RecognitionCalls = 20000;
const int InjectionCalls = 1000;
const int CheckRuns = 21;
const double MaxCheckMs = 1000;
const DWORD SettleMs = 3000;
// Long enough for a test run that shares the Wine server to let its own agents go.
const DWORD StrayWindowDeadlineMs = 120000;

struct Program {
    const char* name;
    std::string path;
    const char* windowClass;
    const char* windowTitle;
};

LARGE_INTEGER qpcFrequency;

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksToMs(double ticks) { return ticks * 1e3 / static_cast<double>(qpcFrequency.QuadPart); }
double TicksToNs(double ticks) { return ticks * 1e9 / static_cast<double>(qpcFrequency.QuadPart); }

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (values[(n - 1) / 2] + values[n / 2]) / 2;
}

// Nearest rank: the smallest value that at least `fraction` of the samples do not exceed.
double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
    return values[std::min(std::max<size_t>(rank, 1), values.size()) - 1];
}

double Ratio(double agent, double reference) { return reference > 0 ? agent / reference : 0; }
const char* Met(bool met) { return met ? "yes" : "no"; }
// A zero on either side is a failed reading, never a met target.
bool WithinRatio(double agent, double reference) {
    return agent > 0 && reference > 0 && agent / reference <= MaxRatio;
}

void Figure(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Figure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    // A later failure must not take the figures already measured with it.
    fflush(stdout);
}

void Problem(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Problem(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("bench: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

// A started program that never outlives the measurement, whatever path leaves it.
class Child : public kvtest::Process {
public:
    ~Child() { Kill(); }

    bool Start(const std::string& path) {
        if (Process::Start(kvtest::Quoted(path))) return true;
        Problem("cannot start %s (error %lu)", path.c_str(), GetLastError());
        return false;
    }
    // The way the agent's own quit command ends it.
    void Stop(HWND window) {
        if (!Running()) return;
        PostMessageA(window, WM_QUIT, 0, 0);
        if (WaitExit(10000) == STILL_ACTIVE) Problem("process %lu ignored WM_QUIT; terminating it", Id());
        Kill();
    }
};

// Tests that share the Wine server may have an agent of their own running for a while.
bool WaitUntilAbsent(const Program& program) {
    if (!FindWindowA(program.windowClass, program.windowTitle)) return true;
    Problem("a %s window of another run is open; waiting for it to go", program.name);
    if (kvtest::WaitFor([&] { return !FindWindowA(program.windowClass, program.windowTitle); },
                        StrayWindowDeadlineMs))
        return true;
    Problem("the other %s window did not go away", program.name);
    return false;
}

// Polls as FindWindowA callers do; `foundAt` is when the window first answered. Null when the
// window that answered belongs to another process (a start that raced with someone else's).
HWND WaitForOwnWindow(const Program& program, const Child& child, LONGLONG* foundAt) {
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowA(program.windowClass, program.windowTitle);
        if (window) {
            *foundAt = Now();
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == child.Id()) return window;
            Problem("the %s window that appeared belongs to process %lu, not %lu", program.name, owner, child.Id());
            return nullptr;
        }
        if (!child.Running()) {
            Problem("%s ended before its window appeared", program.name);
            return nullptr;
        }
        if (GetTickCount() - start > kvtest::DefaultDeadlineMs) {
            Problem("%s showed no window within %lu ms", program.name, kvtest::DefaultDeadlineMs);
            return nullptr;
        }
        Sleep(1);
    }
}

ULONGLONG FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        Problem("cannot read the size of %s", path.c_str());
        return 0;
    }
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MeasureSizes(const std::string& agent, const std::string& reference, const std::string& signedAgent,
                  const std::string& signedReference) {
    const ULONGLONG sizes[4] = {FileSize(agent), FileSize(reference), FileSize(signedAgent), FileSize(signedReference)};
    if (std::find(sizes, sizes + 4, 0ull) != sizes + 4) return false;
    Figure("size.unsigned_bytes agent=%llu reference=%llu ratio=%.3f target=agent<%llu met=%s", sizes[0], sizes[1],
           Ratio(sizes[0], sizes[1]), MaxUnsignedBytes, Met(sizes[0] < MaxUnsignedBytes));
    Figure("size.signed_bytes agent=%llu reference=%llu ratio=%.3f", sizes[2], sizes[3], Ratio(sizes[2], sizes[3]));
    return true;
}

ULONGLONG FileTimeValue(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Wine 8 answers GetProcessTimes for another process with the caller's own times. The times
// of the process's threads are its own there, and a Wine process has no threads but these.
bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

bool ThreadTimesSum(DWORD processId, ULONGLONG* time) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    *time = 0;
    int threads = 0;
    bool ok = true;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more && ok; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME creation, exit, kernel, user;
        ok = thread && GetThreadTimes(thread, &creation, &exit, &kernel, &user);
        if (ok) *time += FileTimeValue(kernel) + FileTimeValue(user);
        if (thread) CloseHandle(thread);
        ++threads;
    }
    CloseHandle(snapshot);
    return ok && threads > 0;
}

// Kernel and user time together, in 100 ns units.
bool CpuTime(const Child& child, ULONGLONG* time) {
    bool ok;
    if (UnderWine()) {
        ok = ThreadTimesSum(child.Id(), time);
    } else {
        FILETIME creation, exit, kernel, user;
        ok = GetProcessTimes(child.Handle(), &creation, &exit, &kernel, &user) != 0;
        if (ok) *time = FileTimeValue(kernel) + FileTimeValue(user);
    }
    if (!ok) Problem("cannot read the CPU time of process %lu (error %lu)", child.Id(), GetLastError());
    return ok;
}

struct Resident {
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    ULONGLONG cpuBeforeIdle = 0;  // everything since the start: shows that the counter counts
    ULONGLONG cpuWhileIdle = 0;
};

// Both programs run at once, so that they settle and idle through the same conditions.
bool MeasureResident(const Program programs[2], DWORD idleSeconds) {
    Child children[2];
    HWND windows[2] = {};
    Resident figures[2];
    for (int i = 0; i < 2; ++i) {
        LONGLONG foundAt;
        if (!WaitUntilAbsent(programs[i]) || !children[i].Start(programs[i].path)) return false;
        windows[i] = WaitForOwnWindow(programs[i], children[i], &foundAt);
        if (!windows[i]) return false;
    }
    Sleep(SettleMs);
    for (int i = 0; i < 2; ++i) {
        figures[i].memory.cb = sizeof(figures[i].memory);
        if (!GetProcessMemoryInfo(children[i].Handle(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&figures[i].memory),
                                  sizeof(figures[i].memory))) {
            Problem("GetProcessMemoryInfo failed for %s (error %lu)", programs[i].name, GetLastError());
            return false;
        }
        if (!CpuTime(children[i], &figures[i].cpuBeforeIdle)) return false;
    }
    Sleep(idleSeconds * 1000);
    for (int i = 0; i < 2; ++i) {
        if (!children[i].Running()) {
            Problem("%s ended while idle", programs[i].name);
            return false;
        }
        ULONGLONG after;
        if (!CpuTime(children[i], &after)) return false;
        figures[i].cpuWhileIdle = after - figures[i].cpuBeforeIdle;
    }
    for (int i = 0; i < 2; ++i) children[i].Stop(windows[i]);

    const Resident& agent = figures[0];
    const Resident& reference = figures[1];
    // Wine leaves PrivateUsage at zero for other processes; its PagefileUsage, which Windows
    // keeps equal to PrivateUsage, is the process's resident anonymous memory.
    const bool havePrivateUsage = agent.memory.PrivateUsage != 0 && reference.memory.PrivateUsage != 0;
    const ULONGLONG privateBytes[2] = {
        havePrivateUsage ? agent.memory.PrivateUsage : agent.memory.PagefileUsage,
        havePrivateUsage ? reference.memory.PrivateUsage : reference.memory.PagefileUsage,
    };
    const double privateRatio = Ratio(privateBytes[0], privateBytes[1]);
    const double workingSetRatio = Ratio(agent.memory.WorkingSetSize, reference.memory.WorkingSetSize);
    Figure("memory.private_bytes agent=%llu reference=%llu ratio=%.3f counter=%s target=ratio<=%.2f met=%s",
           privateBytes[0], privateBytes[1], privateRatio, havePrivateUsage ? "PrivateUsage" : "PagefileUsage",
           MaxRatio, Met(WithinRatio(privateBytes[0], privateBytes[1])));
    Figure("memory.working_set_bytes agent=%llu reference=%llu ratio=%.3f target=ratio<=%.2f met=%s",
           static_cast<ULONGLONG>(agent.memory.WorkingSetSize),
           static_cast<ULONGLONG>(reference.memory.WorkingSetSize), workingSetRatio, MaxRatio,
           Met(WithinRatio(agent.memory.WorkingSetSize, reference.memory.WorkingSetSize)));
    // The start-up CPU time shows that the counter counts: an idle zero from a counter that
    // reads zero throughout means nothing.
    Figure("idle.cpu_ms agent=%.1f reference=%.1f seconds=%lu start_cpu_ms_agent=%.1f start_cpu_ms_reference=%.1f "
           "counter=%s target=agent==0 met=%s",
           agent.cpuWhileIdle / 1e4, reference.cpuWhileIdle / 1e4, idleSeconds, agent.cpuBeforeIdle / 1e4,
           reference.cpuBeforeIdle / 1e4, UnderWine() ? "GetThreadTimes" : "GetProcessTimes",
           Met(agent.cpuBeforeIdle > 0 && agent.cpuWhileIdle == 0));
    return true;
}

struct StartupSample {
    double windowMs;
    double secondExitMs;
};

bool MeasureStartupOnce(const Program& program, StartupSample* sample) {
    if (!WaitUntilAbsent(program)) return false;
    Child first;
    const LONGLONG started = Now();
    if (!first.Start(program.path)) return false;
    LONGLONG found;
    HWND window = WaitForOwnWindow(program, first, &found);
    if (!window) return false;

    Child second;
    const LONGLONG secondStarted = Now();
    if (!second.Start(program.path)) return false;
    const DWORD code = second.WaitExit(kvtest::DefaultDeadlineMs);
    if (code == STILL_ACTIVE) {
        Problem("the second %s did not exit", program.name);
        return false;
    }
    const LONGLONG secondEnded = Now();
    const bool firstStayed = first.Running();
    first.Stop(window);
    if (code != 0 || !firstStayed) {
        Problem("the second %s exited with %lu; the first %s", program.name, code,
                firstStayed ? "stayed" : "did not stay");
        return false;
    }
    sample->windowMs = TicksToMs(static_cast<double>(found - started));
    sample->secondExitMs = TicksToMs(static_cast<double>(secondEnded - secondStarted));
    return true;
}

bool MeasureStartup(const Program programs[2], int runs) {
    std::vector<double> windowMs[2], secondExitMs[2];
    // One unrecorded round first: the first start after the prefix boots reads every DLL from disk.
    for (int run = -1; run < runs; ++run) {
        for (int k = 0; k < 2; ++k) {
            // Alternating which goes first spreads any drift over both.
            const int i = (run & 1) ? 1 - k : k;
            StartupSample sample;
            int attempt = 0;
            while (!MeasureStartupOnce(programs[i], &sample)) {
                if (++attempt == 3) return false;
                Problem("retrying the %s start", programs[i].name);
            }
            if (run < 0) continue;
            windowMs[i].push_back(sample.windowMs);
            secondExitMs[i].push_back(sample.secondExitMs);
        }
    }
    const double window[2] = {Median(windowMs[0]), Median(windowMs[1])};
    const double second[2] = {Median(secondExitMs[0]), Median(secondExitMs[1])};
    Figure("startup.window_ms agent=%.1f reference=%.1f ratio=%.3f runs=%d target=ratio<=%.2f met=%s", window[0],
           window[1], Ratio(window[0], window[1]), runs, MaxRatio, Met(WithinRatio(window[0], window[1])));
    Figure("startup.second_exit_ms agent=%.1f reference=%.1f ratio=%.3f runs=%d target=ratio<=%.2f met=%s",
           second[0], second[1], Ratio(second[0], second[1]), runs, MaxRatio,
           Met(WithinRatio(second[0], second[1])));
    return true;
}

// A packet from a supported keyboard that is not the shortcut report: every read, the device
// check and the report comparison, and no action.
bool MeasureRecognition() {
    simkb::Install();
    const KeyboardId& keyboard = SupportedKeyboards[0];
    HANDLE device = simkb::AddDevice(keyboard.vendorId, keyboard.productId);
    const std::vector<BYTE> bytes = simkb::HidPacket(device, std::vector<BYTE>{0x00, 0x02});
    HRAWINPUT packet = simkb::Queue(bytes);

    for (int i = 0; i < 1000; ++i) HandleRawInput(packet);
    const simkb::Reads before = simkb::ReadCounts();
    std::vector<double> ns(RecognitionCalls);
    for (double& sample : ns) {
        const LONGLONG start = Now();
        HandleRawInput(packet);
        sample = TicksToNs(static_cast<double>(Now() - start));
    }
    // A single call may take less than one timer tick; a batch between two readings does not.
    const LONGLONG batchStart = Now();
    for (int i = 0; i < RecognitionCalls; ++i) HandleRawInput(packet);
    const double meanNs = TicksToNs(static_cast<double>(Now() - batchStart)) / RecognitionCalls;
    // What one reading of the timer adds to each single-call sample.
    const LONGLONG timerStart = Now();
    for (int i = 0; i < RecognitionCalls; ++i) Now();
    const double timerNs = TicksToNs(static_cast<double>(Now() - timerStart)) / RecognitionCalls;
    const simkb::Reads after = simkb::ReadCounts();
    simkb::Uninstall();

    // Proof that each call took the whole path rather than an early exit.
    const int calls = 2 * RecognitionCalls;
    if (after.copies - before.copies != calls || after.deviceQueries - before.deviceQueries != calls ||
        after.contractViolations != 0) {
        Problem("recognition did not take the whole path: %d copies, %d device queries for %d calls",
                after.copies - before.copies, after.deviceQueries - before.deviceQueries, calls);
        return false;
    }
    const double p99 = Percentile(ns, 0.99);
    Figure("reaction.recognition_ns median=%.0f p99=%.0f mean=%.1f calls=%d timer_resolution_ns=%.0f "
           "timer_call_ns=%.1f target=p99<%.0f met=%s",
           Median(ns), p99, meanNs, RecognitionCalls, TicksToNs(1), timerNs, MaxRecognitionP99Ns,
           Met(p99 < MaxRecognitionP99Ns));
    return true;
}

bool MeasureInjection() {
    for (int i = 0; i < 10; ++i) SendWindowsB();
    std::vector<double> us(InjectionCalls);
    for (double& sample : us) {
        const LONGLONG start = Now();
        SendWindowsB();
        sample = TicksToNs(static_cast<double>(Now() - start)) / 1e3;
    }
    Figure("reaction.send_windows_b_us median=%.1f p99=%.1f calls=%d", Median(us), Percentile(us, 0.99),
           InjectionCalls);
    return true;
}

// KeyvaneCheck.exe from start to exit, its report going nowhere, as a user or a fleet tool waits
// for it; and the checks alone, in this process.
bool MeasureCheck(const std::string& tool) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    std::vector<double> processMs, inProcessMs;
    for (int run = -1; run < CheckRuns; ++run) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = nul;
        std::string line = kvtest::Quoted(tool) + " --json";
        PROCESS_INFORMATION info = {};
        const LONGLONG start = Now();
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            Problem("cannot start %s (error %lu)", tool.c_str(), GetLastError());
            CloseHandle(nul);
            return false;
        }
        const bool ended = WaitForSingleObject(info.hProcess, kvtest::DefaultDeadlineMs) == WAIT_OBJECT_0;
        const LONGLONG end = Now();
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        if (!ended) {
            Problem("%s did not end within %lu ms", tool.c_str(), kvtest::DefaultDeadlineMs);
            CloseHandle(nul);
            return false;
        }
        const LONGLONG checksStart = Now();
        const size_t checks = RunChecks().size();
        const LONGLONG checksEnd = Now();
        if (run < 0 || checks == 0) continue;  // the first start reads every DLL from disk
        processMs.push_back(TicksToMs(static_cast<double>(end - start)));
        inProcessMs.push_back(TicksToMs(static_cast<double>(checksEnd - checksStart)));
    }
    CloseHandle(nul);
    const double median = Median(processMs);
    Figure("check.report_ms median=%.1f max=%.1f checks_in_process_median=%.1f runs=%d target=median<%.0f met=%s", median,
           Percentile(processMs, 1.0), Median(inProcessMs), CheckRuns, MaxCheckMs, Met(median > 0 && median < MaxCheckMs));
    return true;
}

bool NumberOption(const char* arg, const char* name, int* value) {
    const size_t length = strlen(name);
    if (strncmp(arg, name, length) != 0) return false;
    *value = atoi(arg + length);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    int runs = 21;
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (NumberOption(argv[i], "--runs=", &runs) || NumberOption(argv[i], "--idle-seconds=", &idleSeconds))
            continue;
        paths.push_back(kvtest::WindowsPath(argv[i]));
    }
    if (paths.size() != 4 || runs < 1 || idleSeconds < 1) {
        fprintf(stderr,
                "usage: keyvane_bench AGENT REFERENCE SIGNED_AGENT SIGNED_REFERENCE [--runs=N] [--idle-seconds=N]\n");
        return 2;
    }
    QueryPerformanceFrequency(&qpcFrequency);

    // The signed files are the ones that ship, so they are the ones run.
    const Program programs[2] = {
        {"agent", paths[2], kvtest::AgentClass, kvtest::AgentTitle},
        {"reference", paths[3], ReferenceClassName, ReferenceTitle},
    };
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    Figure("bench.environment processors=%lu qpc_hz=%lld", system.dwNumberOfProcessors, qpcFrequency.QuadPart);

    bool measured = MeasureSizes(paths[0], paths[1], paths[2], paths[3]);
    measured = MeasureResident(programs, static_cast<DWORD>(idleSeconds)) && measured;
    measured = MeasureStartup(programs, runs) && measured;
    measured = MeasureRecognition() && measured;
    measured = MeasureInjection() && measured;
    // The shipped tool beside the shipped agent.
    measured = MeasureCheck(paths[2].substr(0, paths[2].find_last_of('\\') + 1) + "KeyvaneCheck.exe") && measured;
    if (!measured) Problem("some figures could not be measured");
    return measured ? 0 : 1;
}
