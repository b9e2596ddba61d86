// The operating-system version, read with GetVersionExW once per process.
#pragma once

#include <windows.h>

namespace tamsu {

// Read at the first call, which happens at program start before any server thread exists.
const OSVERSIONINFOW& StartupOsVersion();

// Reads the version afresh.
OSVERSIONINFOW ReadOsVersion();

}  // namespace tamsu
