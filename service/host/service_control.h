// Installing, starting, stopping and removing the service; each returns 0 or the error of the
// first call that failed.
#pragma once

#include <windows.h>

namespace tamsu {

constexpr wchar_t kServiceName[] = L"Tamsu Service _ZUVA";                               // also its display name
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110

DWORD InstallService(const wchar_t* serviceName, const wchar_t* programPath);
DWORD StartInstalledService(const wchar_t* serviceName);
DWORD StopService(const wchar_t* serviceName);
DWORD RemoveService(const wchar_t* serviceName);

}  // namespace tamsu
