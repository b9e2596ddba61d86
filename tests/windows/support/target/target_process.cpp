// A program for the plug-in's process tests to find, end, or hold a module with, and a caller of
// the PIN entry in a process of its own:
//   target_process.exe [--load DLL] [--window TITLE LOG [--ignore-close]]
//   target_process.exe --pin DLL PINPAD ARG [--quit-then exit|free]
// With a window it records the WM_COMMAND and WM_CLOSE it receives in LOG, one line each, and ends
// when the window is closed (or, with --ignore-close, never by itself). Without one it waits to be
// ended from outside.
// With --pin it calls DLL's vdInputPin with the test pinpad PINPAD and ARG as the pinpad's argument
// and ends with the result as its exit code. With --quit-then it quits once the entry has begun,
// and after the early return ends its process at once (exit), or frees DLL and lives on until
// the entry is long over (free).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "test_pinpad/test_pinpad.h"

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

using VdInputPin = uint32_t(__cdecl*)(HWND, const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t, uint32_t, uint32_t, uint32_t);

DWORD CallPinEntry(const wchar_t* library, const wchar_t* pinpad, uint32_t indicatorArg, const wchar_t* quitThen) {
  HMODULE module = LoadLibraryW(library);
  const auto vdInputPin =
      module ? reinterpret_cast<VdInputPin>(reinterpret_cast<void*>(GetProcAddress(module, "vdInputPin"))) : nullptr;
  if (!vdInputPin) return 3;
  if (quitThen && !QuitOnceTheEntryBegins(0)) return 5;
  const DWORD result = vdInputPin(nullptr, pinpad, 0, indicatorArg, 0, 1, 0, 0, 0, 0, 0, 0);
  if (quitThen && wcscmp(quitThen, L"exit") == 0) ExitProcess(result);
  if (quitThen) {
    FreeLibrary(module);
    Sleep((indicatorArg & 0xFFFF) + 2000);
  }
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 5 && std::wstring(argv[1]) == L"--pin") {
    const wchar_t* quitThen = argc >= 7 && std::wstring(argv[5]) == L"--quit-then" ? argv[6] : nullptr;
    return static_cast<int>(CallPinEntry(argv[2], argv[3], wcstoul(argv[4], nullptr, 0), quitThen));
  }
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
