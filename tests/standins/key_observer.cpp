// Key observer: a low-level keyboard hook in a process of its own, as any other program on
// the desktop would see injected keys. Usage: key_observer LOG READY_EVENT
// Writes one line "vk scan flags" per event to LOG, then sets READY_EVENT once the hook is in.
#include <windows.h>

#include <stdio.h>

static HANDLE logFile = INVALID_HANDLE_VALUE;

static LRESULT CALLBACK ObserveKey(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
        char line[64];
        int size = snprintf(line, sizeof(line), "%02lX %02lX %02lX\n", key->vkCode, key->scanCode, key->flags);
        DWORD written;
        WriteFile(logFile, line, static_cast<DWORD>(size), &written, nullptr);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    logFile = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (logFile == INVALID_HANDLE_VALUE) return 3;
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, ObserveKey, GetModuleHandleA(nullptr), 0);
    if (!hook) return 4;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (!ready) return 5;
    SetEvent(ready);
    CloseHandle(ready);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    UnhookWindowsHookEx(hook);
    CloseHandle(logFile);
    return 0;
}
