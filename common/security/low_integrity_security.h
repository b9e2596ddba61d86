// Security attributes that let processes of low integrity open what they protect: a null DACL
// and, where the caller's version rule asks for it, the low mandatory label. Used by the service
// for its mutex and pipes and by the installer plug-in for the folders and files it creates.
#pragma once

#include <windows.h>

#include "common/win/unique_resource.h"

namespace tamsu {

constexpr wchar_t kLowLabelSddl[] = L"S:(ML;;NW;;;LW)";  // mandatory label: no-write-up, low integrity

class LowIntegritySecurity {
 public:
  enum class Descriptor {
    kDefault,              // no descriptor of our own: the attributes carry none
    kNullDacl,             // everyone has all access
    kNullDaclAndLowLabel,  // and low-integrity processes may write
  };

  LowIntegritySecurity();
  LowIntegritySecurity(const LowIntegritySecurity&) = delete;
  LowIntegritySecurity& operator=(const LowIntegritySecurity&) = delete;

  // The service's rule: the label on the NT family from major version 6 on (the version read at
  // program start).
  bool Build(bool inherit);
  // Fills the attributes with the given descriptor; false when a step of it fails, in which case
  // the attributes hold what the earlier steps made.
  bool Build(bool inherit, Descriptor descriptor);

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

  // The service's version rule.
  static Descriptor ServiceDescriptorFor(const OSVERSIONINFOW& version);

 private:
  SECURITY_ATTRIBUTES attributes_;
  SECURITY_DESCRIPTOR descriptor_;
  // The converted label; the absolute descriptor points at its SACL, so it lives as long as this.
  UniqueLocalMemory label_;
};

}  // namespace tamsu
