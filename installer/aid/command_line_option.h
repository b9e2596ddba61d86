// An option of the setup's command line, read the way administrators write it: values may hold
// "/" (URLs, paths) and blanks after commas; only a blank followed by "/" starts the next option.
#pragma once

#include <string>

namespace tamsu {
namespace setup {

// The value of `/NAME=` (NAME matched without regard to case, given as "/NAME=") in `commandLine`;
// false when the option is not there. A value in double quotes is taken whole, quotes removed;
// otherwise it runs to the next blank that is followed by "/", or to the end, blanks around it
// dropped. The first occurrence counts.
bool FindOption(const std::wstring& commandLine, const std::wstring& option, std::wstring* value);

}  // namespace setup
}  // namespace tamsu
