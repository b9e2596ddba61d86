#include "low_integrity_security.h"

#include <sddl.h>

#include "common/win/os_version.h"

namespace tamsu {

LowIntegritySecurity::LowIntegritySecurity() : attributes_(), descriptor_() {}

LowIntegritySecurity::Descriptor LowIntegritySecurity::ServiceDescriptorFor(const OSVERSIONINFOW& version) {
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6 ? Descriptor::kNullDaclAndLowLabel
                                                                                      : Descriptor::kNullDacl;
}

bool LowIntegritySecurity::Build(bool inherit) { return Build(inherit, ServiceDescriptorFor(StartupOsVersion())); }

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
  label_.reset(converted);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  if (!GetSecurityDescriptorSacl(label_.get(), &present, &sacl, &defaulted)) return false;
  return SetSecurityDescriptorSacl(&descriptor_, TRUE, sacl, FALSE) != FALSE;
}

}  // namespace tamsu
