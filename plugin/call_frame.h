// What every export of the installer plug-in shares: the NSIS call state, the string stack, the
// user variables, the debugger trace, the version record, WOW64 and privileges.
#pragma once

#include <windows.h>

#include <cstddef>

#include "plugin_logic.h"

namespace tamsu {
namespace plugin {

// An item of the installer's string stack (NSIS stack_t): allocated by the installer with
// GlobalAlloc; an item taken off belongs to the plug-in.
struct StackItem {
  StackItem* next;
  wchar_t text[1];
};

// The call in progress; every export sets it before taking its first argument.
struct PluginGlobals {
  int stringSize = 0;
  wchar_t* variables = nullptr;
  StackItem** stackTop = nullptr;
};
extern PluginGlobals g_plugin;

constexpr int kVariableR0 = 10;
constexpr int kLastVariable = 24;
constexpr size_t kParameterSize = 1024;  // the registry and query exports' argument buffer

void BeginCall(int stringSize, wchar_t* variables, StackItem** stackTop);

enum PopResult : int {
  kPopped = 0,
  kStackEmpty = 1,  // the buffer is left as it was
  kTooLong = 2,     // taken off all the same; the buffer is left empty
};
// Takes the top string into `buffer` and traces it. A string that does not fit `capacity` units
// with its terminator is an error, not a shorter argument: acting on a part of a path or of data
// would create, empty or write the wrong thing.
int PopArgument(wchar_t* buffer, size_t capacity);
// Pushes `text` onto the installer's stack, cut to the installer's string size.
void PushResult(const wchar_t* text);
// Copies `text` into user variable `index` (0 to 24), cut to the variables' size.
void StoreVariable(int index, const wchar_t* text);
void Trace(const wchar_t* text);

// GetVersionExW into an OSVERSIONINFOEXW, read at construction.
class OsVersion {
 public:
  OsVersion();
  const VersionFields& fields() const { return fields_; }

 private:
  VersionFields fields_;
};

// The process-wide record read when the library is loaded.
const OsVersion& LoadedOsVersion();

bool IsWow64();

class ProcessPrivilege {
 public:
  ProcessPrivilege() : process_(GetCurrentProcess()) {}
  // Enables the named privilege in the process token; it stays enabled after the call.
  bool Enable(const wchar_t* name);

 private:
  HANDLE process_;
};

bool SetTokenPrivilege(HANDLE token, const wchar_t* name, bool enable);

}  // namespace plugin
}  // namespace tamsu

// The export form: cdecl, five arguments, no result; names come out undecorated.
#define PLUGIN_EXPORT(name)                                                                                \
  extern "C" __declspec(dllexport) void __cdecl name(HWND hwndParent, int string_size, wchar_t* variables, \
                                                     tamsu::plugin::StackItem** stacktop, void* extra)
