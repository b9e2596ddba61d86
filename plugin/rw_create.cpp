// RWCreate: a folder or an empty file that every process may write, low-integrity ones included.
#include <windows.h>

#include <cwchar>

#include "call_frame.h"
#include "common/security/low_integrity_security.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace plugin {

// Read once when the library is loaded; the label rule looks at it.
const OsVersion& LoadedOsVersion() {
  static const OsVersion version;
  return version;
}

namespace {

constexpr size_t kPathParameterSize = 260;

LowIntegritySecurity::Descriptor PluginDescriptor() {
  switch (RWCreateSecurity(OsVersion().fields(), LoadedOsVersion().fields())) {
    case FolderSecurity::kDefault:
      return LowIntegritySecurity::Descriptor::kDefault;
    case FolderSecurity::kNullDacl:
      return LowIntegritySecurity::Descriptor::kNullDacl;
    default:
      return LowIntegritySecurity::Descriptor::kNullDaclAndLowLabel;
  }
}

// No path (a dry stack, an empty or overlong argument) creates nothing: the mode word left in the
// buffer would otherwise become a relative path, and a part of a path another file.
void CreateLowIntegrityObject() {
  LowIntegritySecurity security;
  security.Build(false, PluginDescriptor());  // created with what it holds in any case
  wchar_t parameter[kPathParameterSize] = {};
  PopArgument(parameter, kPathParameterSize);
  if (lstrcmpW(parameter, L"DIR") == 0) {
    const bool path = PopArgument(parameter, kPathParameterSize) == kPopped && parameter[0];
    const BOOL created = path && CreateDirectoryW(parameter, security.attributes());
    _snwprintf(parameter, kPathParameterSize, L"%d", created ? 1 : 0);
    parameter[kPathParameterSize - 1] = 0;
    StoreVariable(kVariableR0, parameter);
    Trace(L"createD:ret");
    Trace(parameter);
  } else if (lstrcmpW(parameter, L"FILE") == 0) {
    const bool path = PopArgument(parameter, kPathParameterSize) == kPopped && parameter[0];
    if (!path) parameter[0] = 0;
    UniqueFileHandle file(path ? CreateFileW(parameter, FILE_ALL_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             security.attributes(), CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                               : INVALID_HANDLE_VALUE);
    wchar_t handleText[20] = {};
    _snwprintf(handleText, 20, L"%d", static_cast<int>(reinterpret_cast<INT_PTR>(file.get())));
    handleText[19] = 0;
    Trace(L"createFile::handle");
    Trace(handleText);
    file.reset();
    StoreVariable(kVariableR0, parameter);
  }
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu

using namespace tamsu::plugin;

PLUGIN_EXPORT(RWCreate) {
  BeginCall(string_size, variables, stacktop);
  CreateLowIntegrityObject();
}
