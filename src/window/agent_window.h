// The hidden listener window: its class, its raw-input subscription and its procedure.
#pragma once
#include <windows.h>

// 100 bytes each: filled from the string table at start-up, read by the class and the window.
extern char windowClassName[100];
extern char windowTitle[100];
extern HINSTANCE appInstance;

void RegisterAgentClass(HINSTANCE hInstance);
bool CreateAgentWindow(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK AgentWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
