// The service's names that clients look up: the service itself, its key and the value under it
// that names the monitor (no platform calls here).
#pragma once

namespace tamsu {

#define TAMSU_SERVICE_NAME L"Tamsu Service _ZUVA"
constexpr wchar_t kServiceName[] = TAMSU_SERVICE_NAME;  // also its display name

// The process id of the monitor the service runs, published under the service's own key (only
// LocalSystem and Administrators may write there) from before the monitor serves until it has
// ended: clients require a pipe's server to be that process.
constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\" TAMSU_SERVICE_NAME;
constexpr wchar_t kMonitorProcessIdValue[] = L"MonitorProcessId";

}  // namespace tamsu
