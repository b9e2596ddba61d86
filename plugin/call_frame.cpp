#include "call_frame.h"

#include <cstring>

#include "common/win/os_version.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace plugin {

PluginGlobals g_plugin;

void BeginCall(int stringSize, wchar_t* variables, StackItem** stackTop) {
  g_plugin.stringSize = stringSize;
  g_plugin.variables = variables;
  g_plugin.stackTop = stackTop;
}

void Trace(const wchar_t* text) { OutputDebugStringW(text); }

int PopArgument(wchar_t* buffer, size_t capacity) {
  if (!g_plugin.stackTop || !*g_plugin.stackTop || !buffer || capacity == 0) return kStackEmpty;
  StackItem* item = *g_plugin.stackTop;
  *g_plugin.stackTop = item->next;
  // The installer's strings hold at most string_size units; neither side is overrun.
  size_t limit = capacity;
  if (g_plugin.stringSize > 0 && static_cast<size_t>(g_plugin.stringSize) < limit) limit = g_plugin.stringSize;
  size_t length = 0;
  while (length < limit && item->text[length]) ++length;
  const bool fits = length < limit;
  if (fits) memcpy(buffer, item->text, length * sizeof(wchar_t));
  buffer[fits ? length : 0] = 0;
  GlobalFree(item);
  Trace(buffer);
  return fits ? kPopped : kTooLong;
}

void PushResult(const wchar_t* text) {
  if (!text || !g_plugin.stackTop || g_plugin.stringSize <= 0) return;
  const size_t capacity = static_cast<size_t>(g_plugin.stringSize);
  auto* item = static_cast<StackItem*>(GlobalAlloc(GPTR, sizeof(StackItem) + capacity * sizeof(wchar_t)));
  if (!item) return;
  size_t length = 0;
  while (length + 1 < capacity && text[length]) {
    item->text[length] = text[length];
    ++length;
  }
  item->text[length] = 0;
  item->next = *g_plugin.stackTop;
  *g_plugin.stackTop = item;
}

void StoreVariable(int index, const wchar_t* text) {
  if (!text || index < 0 || index > kLastVariable || !g_plugin.variables || g_plugin.stringSize <= 0) return;
  wchar_t* variable = g_plugin.variables + static_cast<size_t>(index) * g_plugin.stringSize;
  int length = 0;
  while (length + 1 < g_plugin.stringSize && text[length]) {
    variable[length] = text[length];
    ++length;
  }
  variable[length] = 0;
}

OsVersion::OsVersion() {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  version.wServicePackMajor = 0;
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  fields_.platformId = version.dwPlatformId;
  fields_.major = version.dwMajorVersion;
  fields_.minor = version.dwMinorVersion;
  fields_.productType = version.wProductType;
}

bool IsWow64() { return RunsUnderWow64(); }

bool ProcessPrivilege::Enable(const wchar_t* name) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process_, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return false;
  UniqueHandle token(raw);
  return SetTokenPrivilege(token.get(), name, true);
}

bool SetTokenPrivilege(HANDLE token, const wchar_t* name, bool enable) {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid = luid;
  privileges.Privileges[0].Attributes = 0;
  TOKEN_PRIVILEGES previous = {};
  DWORD previousSize = sizeof previous;
  SetLastError(0);
  AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, &previous, &previousSize);
  if (GetLastError() != 0) return false;
  const DWORD attributes = previous.PrivilegeCount ? previous.Privileges[0].Attributes : 0;
  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = luid;
  previous.Privileges[0].Attributes =
      enable ? (attributes | SE_PRIVILEGE_ENABLED) : (attributes & ~SE_PRIVILEGE_ENABLED);
  SetLastError(0);
  AdjustTokenPrivileges(token, FALSE, &previous, previousSize, nullptr, nullptr);
  return GetLastError() == 0;
}

}  // namespace plugin
}  // namespace tamsu
