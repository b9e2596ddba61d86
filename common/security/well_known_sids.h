// The accounts the package trusts, as string SIDs (no platform calls here).
#pragma once

namespace tamsu {

constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

}  // namespace tamsu
