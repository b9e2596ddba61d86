// Installing, starting, stopping and removing the service; each returns 0 or the error of the
// first call that failed.
#pragma once

#include <windows.h>

namespace tamsu {

#define TAMSU_SERVICE_NAME L"Tamsu Service _ZUVA"
constexpr wchar_t kServiceName[] = TAMSU_SERVICE_NAME;  // also its display name
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110

// The process id of the monitor the service runs, published under the service's own key (only
// LocalSystem and Administrators may write there) from before the monitor serves until it has
// ended: clients require a pipe's server to be that process.
constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\" TAMSU_SERVICE_NAME;
constexpr wchar_t kMonitorProcessIdValue[] = L"MonitorProcessId";

// Restarts after each of the first three failures of the service process; the count of failures
// starts again after a day without one.
constexpr DWORD kRecoveryDelaysMs[] = {1000, 5000, 30000};
constexpr DWORD kRecoveryResetSeconds = 24 * 60 * 60;

// The program's own full path into `path`: 0, or ERROR_FILENAME_EXCED_RANGE beyond
// kMaxProgramPathLength (a longer path could not start the monitor), or the error of the call.
DWORD OwnProgramPath(wchar_t (&path)[MAX_PATH]);

// Creates the service and sets its recovery actions.
DWORD InstallService(const wchar_t* serviceName, const wchar_t* programPath);
DWORD StartInstalledService(const wchar_t* serviceName);
DWORD StopService(const wchar_t* serviceName);
DWORD RemoveService(const wchar_t* serviceName);

}  // namespace tamsu
