// Stand-in launch target: appends "<its own full path>[ show N]|<its command-line tail>" to the log
// named by KEYVANE_TEST_LAUNCH_LOG; " show N" appears only when it was not started with
// SW_SHOWNORMAL. Built once and also copied as the msinfo32 stand-in and as decoys.
#include <windows.h>

#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int) {
    char logPath[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("KEYVANE_TEST_LAUNCH_LOG", logPath, sizeof(logPath));
    if (length == 0 || length >= sizeof(logPath)) return 2;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    int show = startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : -1;
    char showNote[32] = "";
    if (show != SW_SHOWNORMAL) snprintf(showNote, sizeof(showNote), " show %d", show);

    // Several targets may finish at once: retry until the log can be opened exclusively.
    for (int attempt = 0; attempt < 500; ++attempt) {
        HANDLE file = CreateFileA(logPath, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char line[2048];
            int size = snprintf(line, sizeof(line), "%s%s|%s\n", self, showNote, tail);
            if (size < 0 || size >= static_cast<int>(sizeof(line))) size = sizeof(line) - 1;
            DWORD written;
            WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
            CloseHandle(file);
            return 0;
        }
        Sleep(10);
    }
    return 3;
}
