// Whose mutex under one of our Global names may be trusted as our own: the monitor judges the
// service's mutex by it and the setup its own, so both sides apply one rule (no platform calls here).
#pragma once

#include <initializer_list>
#include <string>

#include "common/security/well_known_sids.h"

namespace tamsu {

// Whether a mutex whose security descriptor names `ownerSid` may be waited for by a monitor: the
// owner is LocalSystem, the Administrators group, the monitor's own user or the owner the monitor's
// own objects get (`ownSids`; empty entries never match). An owner that cannot be read (empty) is
// no evidence either way: the waiting rule decides then.
bool AcceptableMutexOwner(const std::wstring& ownerSid, std::initializer_list<std::wstring> ownSids);

}  // namespace tamsu
