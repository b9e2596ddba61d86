// XStartSmartService and CloseGarbageWindows: the Smart Card service running, another bank's key
// software windows gone.
#include <windows.h>

#include "call_frame.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace plugin {
namespace {

constexpr wchar_t kSmartCardService[] = L"SCardSvr";
constexpr wchar_t kAutoStartCommand[] = L"/C sc config SCardSvr start= auto";
constexpr wchar_t kStartCommand[] = L"/C net start SCardSvr";
constexpr DWORD kPollMs = 150;
constexpr int kPollsPerRepeat = 9;
constexpr int kRepeats = 3;
constexpr DWORD kPassMs = 50;
// A window that ignores WM_CLOSE must not hold the installer for ever: about 5 s of passes.
constexpr int kMaxCloserPasses = 100;

using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

void RunHidden(ShellExecuteFunction shellExecute, const wchar_t* parameters) {
  shellExecute(nullptr, L"open", L"cmd", parameters, nullptr, SW_HIDE);
}

void StartSmartCardService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
  UniqueServiceHandle service(manager ? OpenServiceW(manager.get(), kSmartCardService, GENERIC_READ) : nullptr);
  SERVICE_STATUS status = {};
  bool ok = service && QueryServiceStatus(service.get(), &status);
  if (status.dwCurrentState == SERVICE_RUNNING || !ok) return;

  UniqueModule shell(LoadLibraryW(L"shell32.dll"));
  if (!shell) return;
  auto shellExecute =
      reinterpret_cast<ShellExecuteFunction>(reinterpret_cast<void*>(GetProcAddress(shell.get(), "ShellExecuteW")));
  if (!shellExecute) return;
  RunHidden(shellExecute, kAutoStartCommand);
  RunHidden(shellExecute, kStartCommand);
  ok = QueryServiceStatus(service.get(), &status) != FALSE;
  int polls = 0;
  int repeats = 0;
  while (status.dwCurrentState != SERVICE_RUNNING && ok) {
    ok = QueryServiceStatus(service.get(), &status) != FALSE;
    Sleep(kPollMs);
    if (++polls < kPollsPerRepeat) continue;
    ++repeats;
    polls = 0;
    RunHidden(shellExecute, kStartCommand);
    if (repeats >= kRepeats) break;
  }
}

DWORD WINAPI CloseWindowsWorker(LPVOID) {
  const GarbageWindowTitles titles = GarbageWindowTitlesFor(GetSystemDefaultLangID());
  for (int pass = 0; pass < kMaxCloserPasses; ++pass) {
    bool secondFound = false;
    for (const wchar_t* title : {titles.first, titles.second}) {
      HWND window = FindWindowW(nullptr, title);
      if (!window) continue;
      PostMessageW(window, WM_COMMAND, IDNO, 0);
      PostMessageW(window, WM_CLOSE, 0, 0);
      secondFound = secondFound || title == titles.second;
    }
    if (!secondFound) return 0;
    Sleep(kPassMs);
  }
  return 0;
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu

using namespace tamsu::plugin;

PLUGIN_EXPORT(XStartSmartService) {
  BeginCall(string_size, variables, stacktop);
  StartSmartCardService();
}

PLUGIN_EXPORT(CloseGarbageWindows) {
  BeginCall(string_size, variables, stacktop);
  tamsu::UniqueHandle worker(CreateThread(nullptr, 0, CloseWindowsWorker, nullptr, 0, nullptr));
  if (worker) WaitForSingleObject(worker.get(), INFINITE);
}
