#include "monitor_child.h"

#include "command_line.h"
#include "common/protocol/pipe_protocol.h"
#include "common/security/low_integrity_security.h"
#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "service_control.h"

namespace tamsu {
namespace {

constexpr DWORD kStopping = 0xFFFFFFFF;

// The monitor's process id under the service's key; 0 removes it. False when it was not written.
bool PublishMonitor(DWORD processId) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_SET_VALUE, &raw) != ERROR_SUCCESS) return false;
  UniqueHKey key(raw);
  if (processId == 0) return RegDeleteValueW(key.get(), kMonitorProcessIdValue) == ERROR_SUCCESS;
  return RegSetValueExW(key.get(), kMonitorProcessIdValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&processId),
                        sizeof processId) == ERROR_SUCCESS;
}

// A job whose last handle, the service process's, ends every process in it.
HANDLE MakeKillOnCloseJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return nullptr;
  }
  return job.release();
}

// The monitors' mutex, held open by the service process for its whole life and never closed. Not
// made without its descriptor: a null DACL would let anyone change its security.
void HoldServiceMutex() {
  static HANDLE held = nullptr;
  if (held) return;
  LowIntegritySecurity security;
  if (security.BuildServiceMutex(false)) held = CreateMutexW(security.attributes(), FALSE, kServiceMutexName);
}

// The companion, one per service process. Its lock keeps a stop from falling between the restart's
// check of `stopping` and the start of a new companion.
class MonitorChild {
 public:
  MonitorChild() { InitializeCriticalSection(&lock_); }
  MonitorChild(const MonitorChild&) = delete;
  MonitorChild& operator=(const MonitorChild&) = delete;
  // Never deleted: the service thread may still be in Watch when the process ends.

  DWORD Start() {
    stopping_ = false;
    retryDelayMs_ = 0;
    HoldServiceMutex();
    PublishMonitor(0);  // left by a service process that did not end cleanly
    if (!job_) job_.reset(MakeKillOnCloseJob());
    stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_) return GetLastError();
    wchar_t path[MAX_PATH];
    const DWORD error = OwnProgramPath(path);
    if (error != 0) return error;
    if (!QuotePath(path, kMonitorSwitch, commandLine_, MAX_PATH)) return ERROR_FILENAME_EXCED_RANGE;
    CriticalSectionLock hold(lock_);
    return Launch();
  }

  DWORD Watch() {
    EnsureRunEntry(kRunValue);
    // Only this thread changes `process_`, so it may read it without the lock.
    HANDLE waits[2] = {stopEvent_.get(), process_.get()};
    const DWORD wait = process_ ? WaitForMultipleObjects(2, waits, FALSE, INFINITE)
                                : WaitForSingleObject(stopEvent_.get(), retryDelayMs_);
    if (wait == WAIT_FAILED) return 0;
    CriticalSectionLock hold(lock_);
    if (stopping_) return kStopping;
    if (process_) {  // the companion has ended
      Forget();
      if (GetTickCount() - startedAt_ < kShortMonitorLifeMs) {
        GrowDelay();  // the next pass waits it out first
        return 0;
      }
      retryDelayMs_ = 0;
    }
    if (Launch() != 0) GrowDelay();  // the program file may be briefly unreadable (an update)
    return 0;
  }

  void Stop() {
    CriticalSectionLock hold(lock_);
    stopping_ = true;
    if (stopEvent_) SetEvent(stopEvent_.get());
    if (!process_) return;
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    if (WaitForSingleObject(process_.get(), kStopGraceMs) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 0);
    // The handle stays: the run step may still be waiting on it.
    WaitForSingleObject(process_.get(), kStopGraceMs);
    PublishMonitor(0);
  }

 private:
  // Under the lock. The companion starts suspended, so that its id is published before it can
  // serve. The 1000 ms pause lets it make its message queue before a stop may post to it.
  DWORD Launch() {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessW(nullptr, commandLine_, nullptr, nullptr, FALSE,
                                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
    if (!started) return GetLastError();
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    threadId_ = info.dwThreadId;
    startedAt_ = GetTickCount();
    // In the service's job, the companion ends with the service process, however that ends: a
    // companion left behind would hold the mutex and the names with an id no client accepts.
    if (job_) AssignProcessToJobObject(job_.get(), info.hProcess);
    const bool published = PublishMonitor(info.dwProcessId);
    if (!published || ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
      const DWORD error = published ? GetLastError() : ERROR_CANTWRITE;
      TerminateProcess(info.hProcess, error);
      WaitForSingleObject(info.hProcess, kStopGraceMs);
      Forget();
      return error;
    }
    Sleep(kAfterStartPauseMs);
    return 0;
  }

  // Under the lock, once the companion has ended: its id is no longer the service's.
  void Forget() {
    PublishMonitor(0);
    process_.reset();
    thread_.reset();
    threadId_ = 0;
  }

  void GrowDelay() {
    retryDelayMs_ = retryDelayMs_ == 0 ? kFirstRetryDelayMs : retryDelayMs_ * 2;
    if (retryDelayMs_ > kMaxRetryDelayMs) retryDelayMs_ = kMaxRetryDelayMs;
  }

  CRITICAL_SECTION lock_;
  UniqueHandle stopEvent_;  // set by the stop: ends the wait for the companion or for the next try
  UniqueHandle job_;        // kills the companion with the service process; none where jobs cannot nest
  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD threadId_ = 0;  // the companion's main thread, which runs its message loop
  DWORD startedAt_ = 0;
  bool stopping_ = false;
  DWORD retryDelayMs_ = 0;  // 0 while companions serve
  wchar_t commandLine_[MAX_PATH] = {};
};

MonitorChild& Child() {
  static MonitorChild* child = new MonitorChild;
  return *child;
}

}  // namespace

DWORD StartMonitorChild(int) { return Child().Start(); }

DWORD WatchMonitorChild(DWORD*) { return Child().Watch(); }

DWORD StopMonitorChild(int) {
  Child().Stop();
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
