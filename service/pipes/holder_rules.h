// Who may stand behind the service's names: the rules a monitor applies before it waits for the
// mutex and while it waits (no platform calls here).
#pragma once

#include <cstdint>
#include <initializer_list>
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

// Whether a mutex whose security descriptor names `ownerSid` may be waited for by a monitor: the
// owner is LocalSystem, the Administrators group, the monitor's own user or the owner the monitor's
// own objects get (`ownSids`; empty entries never match). An owner that cannot be read (empty) is
// no evidence either way: the waiting rule decides then.
bool AcceptableMutexOwner(const std::wstring& ownerSid, std::initializer_list<std::wstring> ownSids);

}  // namespace tamsu
