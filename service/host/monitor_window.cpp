#include "monitor_window.h"

#include <memory>

#include "service/pipes/pipe_server.h"

namespace tamsu {

void RegisterMonitorClass(HINSTANCE instance, const wchar_t* className) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MonitorWndProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = className;
  RegisterClassExW(&windowClass);
}

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

DWORD RunMonitor(HINSTANCE instance, int) {
  std::unique_ptr<ListPipeServer> server(new ListPipeServer);
  RegisterMonitorClass(instance, kMonitorClassName);
  HWND window = CreateWindowExW(0, kMonitorClassName, kMonitorTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                                instance, nullptr);
  if (!window) return kMonitorWindowFailed;
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  server->Start(window);
  MSG message = {};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  // A server whose thread is still caught is not deleted under it: the process ends around it, and
  // the mutex it may hold is then abandoned to the next monitor.
  if (!server->Stop()) server.release();
  return static_cast<DWORD>(message.wParam);
}

}  // namespace tamsu
