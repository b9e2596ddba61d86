#include "holder_rules.h"

namespace tamsu {

bool AcceptableMutexOwner(const std::wstring& ownerSid, const std::wstring& ownUserSid) {
  if (ownerSid.empty()) return true;
  return ownerSid == kLocalSystemSid || ownerSid == kAdministratorsSid ||
         (!ownUserSid.empty() && ownerSid == ownUserSid);
}

}  // namespace tamsu
