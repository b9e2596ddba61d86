#include "low_integrity_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "common/win/os_version.h"

namespace tamsu {

std::wstring ServicePipeSddl(const std::wstring& ownUserSid, bool lowLabel) {
  std::wstring sddl = kServicePipeDaclSddl;
  if (!ownUserSid.empty() && ownUserSid != kLocalSystemSid) sddl += L"(A;;GA;;;" + ownUserSid + L")";
  return lowLabel ? sddl + kLowLabelSddl : sddl;
}

std::wstring ServiceMutexSddl(bool lowLabel) {
  const std::wstring sddl = kServiceMutexDaclSddl;
  return lowLabel ? sddl + kLowLabelSddl : sddl;
}

namespace {

// A SID of the process's token (its user, or the owner its new objects get) in string form.
std::wstring OwnTokenSid(TOKEN_INFORMATION_CLASS which) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), which, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), which, buffer.data(), size, &size)) return {};
  // TOKEN_USER and TOKEN_OWNER both begin with the SID's pointer.
  const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  UniqueLocalMemory owned(text);
  return text;
}

}  // namespace

std::wstring OwnUserSid() { return OwnTokenSid(TokenUser); }

std::wstring OwnDefaultOwnerSid() { return OwnTokenSid(TokenOwner); }

std::wstring ObjectOwnerSid(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw) !=
      ERROR_SUCCESS) {
    return {};
  }
  UniqueLocalMemory descriptor(raw);
  wchar_t* text = nullptr;
  if (!owner || !ConvertSidToStringSidW(owner, &text)) return {};
  UniqueLocalMemory owned(text);
  return text;
}

LowIntegritySecurity::LowIntegritySecurity() : attributes_(), descriptor_() {}

bool LowIntegritySecurity::ServiceLabelFor(const OSVERSIONINFOW& version) {
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

bool LowIntegritySecurity::BuildServicePipes(bool inherit) {
  const bool label = ServiceLabelFor(StartupOsVersion());
  return BuildFromSddl(inherit, ServicePipeSddl(OwnUserSid(), label));
}

bool LowIntegritySecurity::BuildServiceMutex(bool inherit) {
  const bool label = ServiceLabelFor(StartupOsVersion());
  return BuildFromSddl(inherit, ServiceMutexSddl(label));
}

bool LowIntegritySecurity::BuildFromSddl(bool inherit, const std::wstring& sddl) {
  attributes_.nLength = sizeof attributes_;
  attributes_.bInheritHandle = inherit ? TRUE : FALSE;
  attributes_.lpSecurityDescriptor = nullptr;
  PSECURITY_DESCRIPTOR converted = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &converted, nullptr)) {
    return false;
  }
  converted_.reset(converted);
  attributes_.lpSecurityDescriptor = converted;
  return true;
}

bool LowIntegritySecurity::Build(bool inherit, Descriptor descriptor) {
  attributes_.nLength = sizeof attributes_;
  attributes_.bInheritHandle = inherit ? TRUE : FALSE;
  if (descriptor == Descriptor::kDefault) {
    attributes_.lpSecurityDescriptor = nullptr;
    return true;
  }
  attributes_.lpSecurityDescriptor = &descriptor_;
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return false;
  if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE)) return false;
  if (descriptor != Descriptor::kNullDaclAndLowLabel) return true;

  PSECURITY_DESCRIPTOR converted = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLowLabelSddl, SDDL_REVISION_1, &converted, nullptr)) {
    return false;
  }
  converted_.reset(converted);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  if (!GetSecurityDescriptorSacl(converted_.get(), &present, &sacl, &defaulted)) return false;
  return SetSecurityDescriptorSacl(&descriptor_, TRUE, sacl, FALSE) != FALSE;
}

}  // namespace tamsu
