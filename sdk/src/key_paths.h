// The keys' device paths as a list, for our own programs on TamsuClient (TamsuCli, TamsuWebHost):
// not part of the SDK's C interface.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tamsu {

// The monitor's keys; a TamsuClient code otherwise. No key is an empty list, not an error.
LONG ListKeyPaths(std::vector<std::string>* paths);

}  // namespace tamsu
