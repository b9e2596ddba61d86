#include "os_version.h"

namespace tamsu {

namespace {

OSVERSIONINFOW ReadOsVersion() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version)) version.dwOSVersionInfoSize = 0;
  return version;
}

}  // namespace

const OSVERSIONINFOW& StartupOsVersion() {
  static const OSVERSIONINFOW version = ReadOsVersion();
  return version;
}

}  // namespace tamsu

namespace tamsu {

bool RunsUnderWow64() {
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  auto isWow64Process =
      kernel
          ? reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
          : nullptr;
  BOOL wow64 = FALSE;
  return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace tamsu
