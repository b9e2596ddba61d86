// The caller's pinpad library, loaded for one entry: two stdcall entry points and a 184-byte block.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pinentry_logic.h"

namespace tamsu {
namespace pinentry {

// Runs one entry through the library and returns the result code to store.
uint32_t runPinpadEntry(const PinEntryRequest& request);

}  // namespace pinentry
}  // namespace tamsu
