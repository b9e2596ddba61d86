// Who may stand behind the service's names: the rules a monitor applies before it waits for the
// mutex and while it waits (no platform calls here). The mutex's owner rule is the setup's too, so it
// lives in common/protocol/mutex_owner.h.
#pragma once

#include <cstdint>

namespace tamsu {

// While the mutex is held by someone else, a monitor looks this often whether the list pipe is
// served, and ends once it has not been for the limit: a holder that serves nothing is no monitor.
constexpr uint32_t kServingCheckMs = 500;
constexpr uint32_t kUnservedHolderLimitMs = 10000;

// A claimed list pipe name may still be held for a moment by a monitor that has just died.
constexpr uint32_t kListNameClaimMs = 2000;
constexpr uint32_t kListNameClaimStepMs = 100;

}  // namespace tamsu
