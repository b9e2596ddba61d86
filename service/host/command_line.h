// The program's command line and the service's accept flags (no platform calls here).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsu {

struct CommandLineOptions {
  uint32_t install = 0;    // -i
  uint32_t start = 0;      // -s
  uint32_t stop = 0;       // -k
  uint32_t uninstall = 0;  // -u
  uint32_t monitor = 0;    // -m
};

// A switch is a '-' followed by one of the letters, in either case, wherever it stands.
CommandLineOptions ParseCommandLine(const wchar_t* text);

// SERVICE_ACCEPT_* flag that a control code needs the service to accept (0 for none).
uint32_t AcceptFlagForControl(uint32_t control);

constexpr wchar_t kMonitorSwitch[] = L" -m";  // appended to the program path to start the monitor

// The longest program path the package runs from: quoted and followed by the monitor switch, it
// must fit a command line of MAX_PATH units with its terminator. The service's quoted path is
// shorter, so one limit serves installing, the service and the monitor alike.
constexpr size_t kMaxProgramPathLength = 260 - 1 - 2 - (sizeof kMonitorSwitch / sizeof kMonitorSwitch[0] - 1);

// `"path"` followed by `suffix`, into `out`; false, with `out` empty, when it does not fit
// `capacity` units with its terminator. The quotes keep a path with blanks one token.
bool QuotePath(const wchar_t* path, const wchar_t* suffix, wchar_t* out, size_t capacity);

}  // namespace tamsu
