// Test support: the system's bitness, the Windows version a manifested program (the installer) is
// told, and the word GetSysVersion's table gives for it, so that tests take their expected values
// from the rules.
#pragma once

#include <windows.h>

#include <string>

namespace tamsu {
namespace testing_support {

// A 32-bit program on 64-bit Windows; 32-bit Windows has one registry view.
inline bool Is64BitWindows() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The true version, whatever this test program's manifest declares (RtlGetVersion).
inline OSVERSIONINFOEXW TrueVersion() {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (get) get(&version);
  return version;
}

// GetSysVersion's table, row by row in its order.
inline std::string SysVersionWord(const OSVERSIONINFOEXW& v) {
  const bool nt = v.dwPlatformId == VER_PLATFORM_WIN32_NT;
  if (nt && v.dwMajorVersion <= 4) return "98";
  if (nt && v.dwMajorVersion == 5 && v.dwMinorVersion == 0) return "2K";
  if (nt && v.dwMajorVersion == 5 && v.dwMinorVersion == 1) return "XP";
  if (nt && v.dwMajorVersion == 5 && v.dwMinorVersion == 2 && v.wProductType == 3) return "2003";
  if (nt && v.dwMajorVersion == 6) return "Vista";
  if (nt && v.dwMajorVersion >= 6 && v.dwMinorVersion >= 1) return "Win7";
  return "unknown";
}

}  // namespace testing_support
}  // namespace tamsu
