#include "command_line.h"

namespace tamsu {

CommandLineOptions ParseCommandLine(const wchar_t* text) {
  CommandLineOptions options;
  for (const wchar_t* at = text; at && *at; ++at) {
    if (*at != L'-') continue;
    switch (at[1]) {
      case L'i':
      case L'I':
        options.install = 1;
        break;
      case L's':
      case L'S':
        options.start = 1;
        break;
      case L'k':
      case L'K':
        options.stop = 1;
        break;
      case L'u':
      case L'U':
        options.uninstall = 1;
        break;
      case L'm':
      case L'M':
        options.monitor = 1;
        break;
      default:
        break;
    }
  }
  return options;
}

uint32_t AcceptFlagForControl(uint32_t control) {
  switch (control) {
    case 1:
      return 0x01;  // STOP
    case 2:
    case 3:
      return 0x02;  // PAUSE, CONTINUE
    case 5:
      return 0x04;  // SHUTDOWN
    case 6:
      return 0x08;  // PARAMCHANGE
    case 7:
    case 8:
    case 9:
    case 10:
      return 0x10;  // NETBIND*
    case 12:
      return 0x20;  // HARDWAREPROFILECHANGE
    case 13:
      return 0x40;  // POWEREVENT
    case 14:
      return 0x80;  // SESSIONCHANGE
    default:
      return 0;  // INTERROGATE, DEVICEEVENT and unknown codes
  }
}

bool QuotePath(const wchar_t* path, const wchar_t* suffix, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return false;
  out[0] = 0;
  if (!path) return false;
  size_t length = 0;
  auto put = [&](wchar_t c) {
    if (length + 1 >= capacity) return false;
    out[length++] = c;
    return true;
  };
  bool fits = put(L'"');
  for (const wchar_t* p = path; fits && *p; ++p) fits = put(*p);
  fits = fits && put(L'"');
  for (const wchar_t* p = suffix; fits && p && *p; ++p) fits = put(*p);
  out[fits ? length : 0] = 0;
  return fits;
}

}  // namespace tamsu
