// Installing, starting, stopping and removing the service; each returns 0 or the error of the
// first call that failed.
#pragma once

#include <windows.h>

#include "common/protocol/service_names.h"

namespace tamsu {

constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110

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
