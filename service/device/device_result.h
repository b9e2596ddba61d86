// Results of the key operations: 0 or one of the platform's smart-card error values.
#pragma once

#include <cstdint>

namespace tamsu {

constexpr uint32_t kDeviceSuccess = 0;
constexpr uint32_t kScardEUnknownReader = 0x80100009u;  // SCARD_E_UNKNOWN_READER: the key cannot be opened
constexpr uint32_t kScardENotReady = 0x80100010u;       // SCARD_E_NOT_READY: a pass-through request failed

}  // namespace tamsu
