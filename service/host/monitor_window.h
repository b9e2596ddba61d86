// The monitor role: a hidden window, a message loop, and the list pipe server behind them.
#pragma once

#include <windows.h>

namespace tamsu {

constexpr wchar_t kMonitorClassName[] = L"TamsuMonClass_ZUVA";
constexpr wchar_t kMonitorTitle[] = L"TamsuMon001_ZUVA";
constexpr DWORD kMonitorWindowFailed = 0xFFFFFFFF;

// Serves until WM_QUIT reaches the thread or the window is closed; returns the WM_QUIT's wParam,
// or kMonitorWindowFailed when the window cannot be created.
DWORD RunMonitor(HINSTANCE instance, int showCommand);
void RegisterMonitorClass(HINSTANCE instance, const wchar_t* className);
LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace tamsu
