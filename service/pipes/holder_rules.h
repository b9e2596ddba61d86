// Who may stand behind the service's names: the rules a monitor applies before it waits for the
// mutex and while it waits (no platform calls here).
#pragma once

#include <cstdint>
#include <string>

#include "common/security/well_known_sids.h"

namespace tamsu {

// While the mutex is held by someone else, a monitor looks this often whether the list pipe is
// served, and ends once it has not been for the limit: a holder that serves nothing is no monitor.
constexpr uint32_t kServingCheckMs = 500;
constexpr uint32_t kUnservedHolderLimitMs = 10000;

// A claimed list pipe name may still be held for a moment by a monitor that has just died.
constexpr uint32_t kListNameClaimMs = 2000;
constexpr uint32_t kListNameClaimStepMs = 100;

// Whether a mutex whose security descriptor names `ownerSid` may be waited for by a monitor running
// as `ownUserSid`: LocalSystem, the Administrators group and the monitor's own user qualify. An
// owner that cannot be read (empty) is no evidence either way: the waiting rule decides then.
bool AcceptableMutexOwner(const std::wstring& ownerSid, const std::wstring& ownUserSid);

}  // namespace tamsu
