// Stand-in for the predecessor utility: a window that other programs can find, and an exit
// code that tells whether its loop ended on WM_QUIT.
#include <windows.h>

const int ExitOnQuit = 81;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "KVRTolvaKVR";
    if (!RegisterClassExA(&windowClass)) return 2;
    if (!CreateWindowExA(0, "KVRTolvaKVR", "KVR_TolvaKVR", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                         CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr))
        return 3;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return msg.message == WM_QUIT ? ExitOnQuit : 4;
}
