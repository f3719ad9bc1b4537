// The least a resident agent with one hidden window can be: a class, the window, a message loop,
// and a single-instance check by window search. The benchmark holds the agent against it.
#include <windows.h>

#include "reference_names.h"

namespace {

LRESULT CALLBACK ReferenceWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    if (FindWindowA(ReferenceClassName, ReferenceTitle)) return 0;

    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ReferenceWndProc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = ReferenceClassName;
    if (!RegisterClassExA(&windowClass)) return 1;
    HWND window = CreateWindowExA(0, ReferenceClassName, ReferenceTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, hInstance, nullptr);
    if (!window) return 1;

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
