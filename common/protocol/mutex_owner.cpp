#include "mutex_owner.h"

namespace tamsu {

bool AcceptableMutexOwner(const std::wstring& ownerSid, std::initializer_list<std::wstring> ownSids) {
  if (ownerSid.empty() || ownerSid == kLocalSystemSid || ownerSid == kAdministratorsSid) return true;
  for (const std::wstring& own : ownSids) {
    if (!own.empty() && ownerSid == own) return true;
  }
  return false;
}

}  // namespace tamsu
