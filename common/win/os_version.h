// The operating-system version, read with GetVersionExW once per process.
#pragma once

#include <windows.h>

namespace tamsu {

// Read at the first call, which happens at program start before any server thread exists.
const OSVERSIONINFOW& StartupOsVersion();

}  // namespace tamsu

namespace tamsu {

// True when this 32-bit process runs on 64-bit Windows. IsWow64Process is looked up at run time:
// systems before XP SP2 lack it, and then the answer is false.
bool RunsUnderWow64();

}  // namespace tamsu
