#include "installer/aid/command_line_option.h"

#include <cwctype>

namespace tamsu {
namespace setup {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool SameLetters(const std::wstring& text, size_t at, const std::wstring& part) {
  if (text.size() - at < part.size()) return false;
  for (size_t i = 0; i < part.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(text[at + i])) != std::towlower(static_cast<wint_t>(part[i]))) return false;
  }
  return true;
}

}  // namespace

bool FindOption(const std::wstring& commandLine, const std::wstring& option, std::wstring* value) {
  if (option.empty()) return false;
  for (size_t at = 0; at < commandLine.size(); ++at) {
    if ((at > 0 && !IsBlank(commandLine[at - 1])) || !SameLetters(commandLine, at, option)) continue;
    size_t start = at + option.size();
    if (start < commandLine.size() && commandLine[start] == L'"') {
      const size_t close = commandLine.find(L'"', start + 1);
      *value = commandLine.substr(start + 1, (close == std::wstring::npos ? commandLine.size() : close) - start - 1);
      return true;
    }
    size_t stop = start;
    while (stop < commandLine.size()) {
      if (!IsBlank(commandLine[stop])) {
        ++stop;
        continue;
      }
      size_t next = stop;
      while (next < commandLine.size() && IsBlank(commandLine[next])) ++next;
      if (next == commandLine.size() || commandLine[next] == L'/') break;
      stop = next;
    }
    while (start < stop && IsBlank(commandLine[start])) ++start;
    while (stop > start && IsBlank(commandLine[stop - 1])) --stop;
    *value = commandLine.substr(start, stop - start);
    return true;
  }
  return false;
}

}  // namespace setup
}  // namespace tamsu
