// Security attributes that let processes of low integrity open what they protect. The installer
// plug-in gives its folders and files a null DACL (and, by its version rule, the low label); the
// service gives its pipes and its mutex the descriptors below, as SDDL in this one place.
#pragma once

#include <windows.h>

#include <string>

#include "common/security/well_known_sids.h"
#include "common/win/unique_resource.h"

namespace tamsu {

constexpr wchar_t kLowLabelSddl[] = L"S:(ML;;NW;;;LW)";  // mandatory label: no-write-up, low integrity

// The service's pipes: everyone opens them for reading and writing, as clients always have (on a
// pipe, writing includes adding an instance: it cannot be withheld without breaking clients).
// Changing their security or owner, or deleting them, is left to LocalSystem, Administrators and
// the serving process's own user (ServicePipeSddl adds it).
constexpr wchar_t kServicePipeDaclSddl[] = L"D:(A;;GRGW;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";
// The service's mutex: a standard user's process can neither take it nor change its security.
constexpr wchar_t kServiceMutexDaclSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";

// The install folder holds the program the service runs as LocalSystem: owned by Administrators,
// full control for LocalSystem and Administrators, read and execute for Users, nothing inherited
// from a parent that may let any user write (C:\ from Vista on).
constexpr wchar_t kInstallFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The pipes' descriptor for a process running as `ownUserSid` (LocalSystem needs no ACE of its
// own), with the low label where `lowLabel`.
std::wstring ServicePipeSddl(const std::wstring& ownUserSid, bool lowLabel);
std::wstring ServiceMutexSddl(bool lowLabel);

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

  // Fills the attributes with the given descriptor; false when a step of it fails, in which case
  // the attributes hold what the earlier steps made.
  bool Build(bool inherit, Descriptor descriptor);
  // The service's pipes and mutex, labelled low on the NT family from major version 6 on (the
  // version read at program start). False when it cannot be made: the attributes then carry no
  // descriptor, and nothing may be created with them (a null DACL would let anyone
  // change the object's security).
  bool BuildServicePipes(bool inherit);
  bool BuildServiceMutex(bool inherit);

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

  // The service's label rule.
  static bool ServiceLabelFor(const OSVERSIONINFOW& version);

 private:
  bool BuildFromSddl(bool inherit, const std::wstring& sddl);

  SECURITY_ATTRIBUTES attributes_;
  SECURITY_DESCRIPTOR descriptor_;
  // A converted descriptor: the attributes, or the absolute descriptor's SACL, point into it.
  UniqueLocalMemory converted_;
};

// The SID of the process's own user in string form ("S-1-5-18" for LocalSystem); empty when it
// cannot be read.
std::wstring OwnUserSid();
// The owner the process's new objects get (its user, or Administrators for an elevated one).
std::wstring OwnDefaultOwnerSid();
// The owner of a kernel object (the handle needs READ_CONTROL) in string form; empty when it has
// none or cannot be read.
std::wstring ObjectOwnerSid(HANDLE object);

}  // namespace tamsu
