#include "service_host.h"

#include "command_line.h"

namespace tamsu {
namespace {

constexpr DWORD kServiceWin32 = 0x30;  // own-process and share-process bits, as the status reports it
constexpr DWORD kStartStepFailed = 0xFFFFFFFF;

// Holds a critical section for one scope, when there is one.
class OptionalLock {
 public:
  explicit OptionalLock(CRITICAL_SECTION* section) : section_(section) {
    if (section_) EnterCriticalSection(section_);
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;
  ~OptionalLock() {
    if (section_) LeaveCriticalSection(section_);
  }

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace

ServiceHost& ServiceHost::Current() {
  static ServiceHost host;
  return host;
}

ServiceHost& ServiceHost::Instance(const wchar_t* serviceName, StartStep startStep, RunStep runStep) {
  ServiceHost& host = Current();
  host.name_ = serviceName ? serviceName : L"";
  host.startStep_ = startStep;
  host.runStep_ = runStep;
  return host;
}

DWORD ServiceHost::RegisterControlHandler(DWORD control, ControlCallback callback) {
  if (!callback) return 0;
  callbacks_[control] = callback;
  const DWORD flag = AcceptFlagForControl(control);
  accepted_ |= flag;
  return flag;
}

DWORD ServiceHost::Run(DWORD extraAcceptFlags) {
  SERVICE_TABLE_ENTRYW table[2] = {{&name_[0], ServiceMain}, {nullptr, nullptr}};
  if (runStep_) InitializeCriticalSection(&lock_);
  accepted_ |= extraAcceptFlags;
  if (!StartServiceCtrlDispatcherW(table)) return GetLastError();
  // The lock is left in place: the service thread may still be finishing its last pass under it
  // when the dispatcher returns, and the process ends right after.
  return 0;
}

void WINAPI ServiceHost::ServiceMain(DWORD, LPWSTR*) {
  ServiceHost& host = Current();
  host.status_.dwServiceType = kServiceWin32;
  host.status_.dwCurrentState = SERVICE_START_PENDING;  // prepared, never reported
  host.status_.dwControlsAccepted = host.accepted_;
  host.statusHandle_ = RegisterServiceCtrlHandlerW(host.name_.c_str(), ControlHandler);
  if (!host.statusHandle_) return;
  if (host.startStep_ && host.startStep_(0) != 0) {
    host.status_.dwCurrentState = SERVICE_STOPPED;
    host.status_.dwWin32ExitCode = kStartStepFailed;
    SetServiceStatus(host.statusHandle_, &host.status_);
    return;
  }
  host.status_.dwCurrentState = SERVICE_RUNNING;
  SetServiceStatus(host.statusHandle_, &host.status_);
  if (!host.runStep_) return;
  while (host.runStep_(&host.status_.dwCurrentState) == 0) {
  }
}

void WINAPI ServiceHost::ControlHandler(DWORD control) {
  ServiceHost& host = Current();
  OptionalLock hold(host.runStep_ ? &host.lock_ : nullptr);
  auto found = host.callbacks_.find(control);
  if (found != host.callbacks_.end()) found->second(0);
  host.status_.dwCurrentState =
      control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ? SERVICE_STOPPED : SERVICE_RUNNING;
  host.status_.dwWin32ExitCode = 0;
  SetServiceStatus(host.statusHandle_, &host.status_);
}

}  // namespace tamsu
