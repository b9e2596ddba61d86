#include "os_version.h"

namespace tamsu {

OSVERSIONINFOW ReadOsVersion() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version)) version.dwOSVersionInfoSize = 0;
  return version;
}

const OSVERSIONINFOW& StartupOsVersion() {
  static const OSVERSIONINFOW version = ReadOsVersion();
  return version;
}

}  // namespace tamsu
