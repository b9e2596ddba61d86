// IsSupport64 and GetSysVersion: answers in $R0, the stack left as it is.
#include "call_frame.h"

using namespace tamsu::plugin;

PLUGIN_EXPORT(IsSupport64) {
  BeginCall(string_size, variables, stacktop);
  OsVersion version;
  StoreVariable(kVariableR0, IsWow64() ? L"1" : L"0");
}

PLUGIN_EXPORT(GetSysVersion) {
  BeginCall(string_size, variables, stacktop);
  OsVersion version;
  StoreVariable(kVariableR0, SysVersionWord(version.fields()));
}
