#include "service_control.h"

#include "command_line.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace {

// Opens the manager and the service with all access and makes one call on the service.
template <typename Call>
DWORD OnInstalledService(const wchar_t* serviceName, Call call) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return GetLastError();
  UniqueServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
  if (!service) return GetLastError();
  return call(service.get()) ? 0 : GetLastError();
}

bool SetRecoveryActions(SC_HANDLE service) {
  SC_ACTION actions[sizeof kRecoveryDelaysMs / sizeof kRecoveryDelaysMs[0]];
  for (size_t i = 0; i < sizeof actions / sizeof actions[0]; ++i) actions[i] = {SC_ACTION_RESTART, kRecoveryDelaysMs[i]};
  SERVICE_FAILURE_ACTIONSW failure = {};
  failure.dwResetPeriod = kRecoveryResetSeconds;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

}  // namespace

DWORD OwnProgramPath(wchar_t (&path)[MAX_PATH]) {
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0) return GetLastError();
  return length > kMaxProgramPathLength ? ERROR_FILENAME_EXCED_RANGE : 0;
}

DWORD InstallService(const wchar_t* serviceName, const wchar_t* programPath) {
  // Quoted, so that a path with blanks can neither start another program nor carry switches.
  wchar_t binaryPath[MAX_PATH];
  if (!QuotePath(programPath, L"", binaryPath, MAX_PATH)) return ERROR_FILENAME_EXCED_RANGE;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return GetLastError();
  UniqueServiceHandle service(CreateServiceW(manager.get(), serviceName, serviceName, SERVICE_ALL_ACCESS, kServiceType,
                                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr,
                                             nullptr, nullptr, nullptr));
  if (!service) return GetLastError();
  return SetRecoveryActions(service.get()) ? 0 : GetLastError();
}

DWORD StartInstalledService(const wchar_t* serviceName) {
  return OnInstalledService(serviceName, [](SC_HANDLE service) { return StartServiceW(service, 0, nullptr); });
}

DWORD StopService(const wchar_t* serviceName) {
  return OnInstalledService(serviceName, [](SC_HANDLE service) {
    SERVICE_STATUS status;
    return ControlService(service, SERVICE_CONTROL_STOP, &status);
  });
}

DWORD RemoveService(const wchar_t* serviceName) {
  return OnInstalledService(serviceName, [](SC_HANDLE service) { return DeleteService(service); });
}

}  // namespace tamsu
