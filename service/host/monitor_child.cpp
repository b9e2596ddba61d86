#include "monitor_child.h"

#include "command_line.h"
#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "service_host.h"

namespace tamsu {
namespace {

struct MonitorChild {
  UniqueHandle process;
  UniqueHandle thread;
  DWORD processId = 0;
  DWORD threadId = 0;  // the companion's main thread, which runs its message loop
  LONG stopping = 0;
  wchar_t commandLine[MAX_PATH] = {};
};

MonitorChild g_child;

}  // namespace

DWORD StartMonitorChild(int) {
  g_child.process.reset();
  g_child.thread.reset();
  g_child.processId = g_child.threadId = 0;
  g_child.stopping = 0;
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A cut path would start some other program: refuse what does not fit.
  if (length == 0 || length >= MAX_PATH || !QuotePath(path, kMonitorSwitch, g_child.commandLine, MAX_PATH)) {
    return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
  }
  return LaunchMonitorChild();
}

DWORD LaunchMonitorChild() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, g_child.commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                      &startup, &info)) {
    return GetLastError();
  }
  // The previous companion's handles go now, so that restarts do not pile them up.
  g_child.process.reset(info.hProcess);
  g_child.thread.reset(info.hThread);
  g_child.processId = info.dwProcessId;
  g_child.threadId = info.dwThreadId;
  Sleep(kAfterStartPauseMs);
  return 0;
}

DWORD WatchMonitorChild(DWORD*) {
  EnsureRunEntry(kRunValue);
  if (WaitForSingleObject(g_child.process.get(), INFINITE) != WAIT_OBJECT_0) return 0;
  CriticalSectionLock hold(ServiceHost::Current().lock());
  if (g_child.stopping) return 0xFFFFFFFF;
  return LaunchMonitorChild();
}

DWORD StopMonitorChild(int) {
  g_child.stopping = 1;
  if (g_child.process) {
    PostThreadMessageW(g_child.threadId, WM_QUIT, 0, 0);
    Sleep(kStopGraceMs);
    TerminateProcess(g_child.process.get(), 0);
  }
  return 0;
}

void EnsureRunEntry(const wchar_t* text) {
  const REGSAM access = RunsUnderWow64() ? KEY_ALL_ACCESS | KEY_WOW64_64KEY : KEY_ALL_ACCESS;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, access, &raw) != ERROR_SUCCESS) return;
  UniqueHKey key(raw);
  wchar_t data[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH * sizeof(wchar_t);  // one unit kept for a terminator the data may lack
  const bool present =
      RegQueryValueExW(key.get(), text, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
  if (present && lstrcmpW(data, text) == 0) return;
  RegSetValueExW(key.get(), text, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

}  // namespace tamsu
