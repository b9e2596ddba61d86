// The process-wide service framework: the dispatcher, the service's main function, the control
// handler and the status reports. It knows nothing of what the service does.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace tamsu {

using StartStep = DWORD (*)(int);
using RunStep = DWORD (*)(DWORD* currentState);
using ControlCallback = DWORD (*)(int);

class ServiceHost {
 public:
  // Stores the three values (each call overwrites them) and returns the one host of the process.
  static ServiceHost& Instance(const wchar_t* serviceName, StartStep startStep, RunStep runStep);
  // Returns the accept flag the control needs, 0 for a null callback (which is not stored).
  DWORD RegisterControlHandler(DWORD control, ControlCallback callback);
  // Runs the dispatcher; 0 once the service has stopped, or the error when it cannot start.
  DWORD Run(DWORD extraAcceptFlags);

  static void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
  static void WINAPI ControlHandler(DWORD control);

 private:
  ServiceHost() = default;
  static ServiceHost& Current();

  std::wstring name_;
  StartStep startStep_ = nullptr;
  RunStep runStep_ = nullptr;
  std::map<DWORD, ControlCallback> callbacks_;
  DWORD accepted_ = 0;
  SERVICE_STATUS status_ = {};
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  // Serializes the control handler; exists only with a run step.
  CRITICAL_SECTION lock_ = {};
};

}  // namespace tamsu
