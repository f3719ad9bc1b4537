#include "agent_window.h"

#include "../hotkey/raw_input.h"
#include "resource.h"

char windowClassName[100];
char windowTitle[100];
HINSTANCE appInstance;

namespace {

void SubscribeToKeyboard(HWND window) {
    RAWINPUTDEVICE device = {};
    device.usUsagePage = VendorUsagePage;
    device.usUsage = VendorUsage;
    device.dwFlags = RIDEV_INPUTSINK;  // reports arrive while another application has the focus
    device.hwndTarget = window;
    RegisterRawInputDevices(&device, 1, sizeof(device));
}

// The session goes on and only this application is asked to close.
bool IsClosedByRestartManager(WPARAM endingSession, LPARAM reasons) {
    return endingSession && (reasons & ENDSESSION_CLOSEAPP);
}

void Paint(HWND hwnd, const char* text) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    RECT client;
    GetClientRect(hwnd, &client);
    DrawTextA(dc, text, lstrlenA(text), &client, DT_CENTER);
    EndPaint(hwnd, &paint);
}

}  // namespace

void RegisterAgentClass(HINSTANCE hInstance) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = AgentWndProc;
    windowClass.hInstance = hInstance;
    windowClass.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_AGENT));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDM_AGENT);
    windowClass.lpszClassName = windowClassName;
    windowClass.hIconSm = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_AGENT_SMALL));
    RegisterClassExA(&windowClass);
}

bool CreateAgentWindow(HINSTANCE hInstance, int /*nCmdShow: the window is never shown*/) {
    appInstance = hInstance;
    // An ordinary top-level window, not message-only: other programs find the agent by it.
    HWND window = CreateWindowExA(0, windowClassName, windowTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr,
                                  hInstance, nullptr);
    if (!window) return false;
    SubscribeToKeyboard(window);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return true;
}

LRESULT CALLBACK AgentWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    char paintText[100] = "";
    LoadStringA(appInstance, IDS_PAINT_TEXT, paintText, sizeof(paintText));

    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        Paint(hwnd, paintText);
        return 0;
    case WM_INPUT:
        HandleRawInput(reinterpret_cast<HRAWINPUT>(lParam));
        return 0;
    // Restart Manager asks before an installer replaces or removes the agent's file.
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (IsClosedByRestartManager(wParam, lParam)) {
            DestroyWindow(hwnd);
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
