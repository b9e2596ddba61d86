// A program for the plug-in's process tests to find, end, or hold a module with:
//   target_process.exe [--load DLL] [--window TITLE LOG [--ignore-close]]
// With a window it records the WM_COMMAND and WM_CLOSE it receives in LOG, one line each, and ends
// when the window is closed (or, with --ignore-close, never by itself). Without one it waits to be
// ended from outside.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HANDLE g_log = INVALID_HANDLE_VALUE;
bool g_ignoreClose = false;

void Log(const char* line) {
  DWORD written = 0;
  if (g_log != INVALID_HANDLE_VALUE) WriteFile(g_log, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  char line[64];
  switch (message) {
    case WM_COMMAND:
      std::snprintf(line, sizeof line, "command %u\n", static_cast<unsigned>(LOWORD(wParam)));
      Log(line);
      return 0;
    case WM_CLOSE:
      Log("close\n");
      if (!g_ignoreClose) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* title = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--load" && i + 1 < argc) {
      if (!LoadLibraryW(argv[++i])) return 3;
    } else if (arg == L"--window" && i + 2 < argc) {
      title = argv[++i];
      g_log = CreateFileW(argv[++i], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    } else if (arg == L"--ignore-close") {
      g_ignoreClose = true;
    }
  }
  if (!title) {
    Sleep(INFINITE);
    return 0;
  }
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TamsuTargetWindow";
  RegisterClassW(&windowClass);
  if (!CreateWindowExW(0, L"TamsuTargetWindow", title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                       windowClass.hInstance, nullptr)) {
    return 4;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  CloseHandle(g_log);
  return 0;
}
