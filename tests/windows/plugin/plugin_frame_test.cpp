// The call frame in process: the string stack, the user variables and the privilege step.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/win/unique_resource.h"
#include "plugin/call_frame.h"
#include "process/child_process.h"
#include "process/import_patch.h"

extern "C" {
void __cdecl RWCreate(HWND, int, wchar_t*, tamsu::plugin::StackItem**, void*);
void __cdecl WriteRegStr(HWND, int, wchar_t*, tamsu::plugin::StackItem**, void*);
void __cdecl KillProcessWithName(HWND, int, wchar_t*, tamsu::plugin::StackItem**, void*);
void __cdecl GetDllOwnerProcName(HWND, int, wchar_t*, tamsu::plugin::StackItem**, void*);
}

namespace tamsu {
namespace plugin {
namespace {

// A stack item as the installer makes it: GlobalAlloc'd, `stringSize` units of text.
StackItem* MakeItem(const std::wstring& text, StackItem* next, int stringSize) {
  auto* item =
      static_cast<StackItem*>(GlobalAlloc(GPTR, sizeof(StackItem) + static_cast<size_t>(stringSize) * sizeof(wchar_t)));
  item->next = next;
  wcsncpy(item->text, text.c_str(), static_cast<size_t>(stringSize) - 1);
  return item;
}

TEST(PopArgument, EmptyOrMissingStackLeavesTheBuffer) {
  wchar_t buffer[8] = L"keep";
  BeginCall(1024, nullptr, nullptr);
  EXPECT_EQ(1, PopArgument(buffer, 8));
  StackItem* top = nullptr;
  BeginCall(1024, nullptr, &top);
  EXPECT_EQ(1, PopArgument(buffer, 8));
  EXPECT_EQ(std::wstring(L"keep"), buffer);

  top = MakeItem(L"one", nullptr, 1024);
  EXPECT_EQ(0, PopArgument(buffer, 8));
  EXPECT_EQ(nullptr, top) << "the item was taken off";
  EXPECT_EQ(1, PopArgument(buffer, 8));
  EXPECT_EQ(std::wstring(L"one"), buffer) << "a dry stack leaves the previous argument";
}

TEST(PopArgument, AStringThatDoesNotFitIsTakenOffAndNotUsed) {
  std::vector<wchar_t> buffer(1024 + 8, L'G');
  StackItem* top = MakeItem(std::wstring(1024, L'x'), MakeItem(std::wstring(1023, L'y'), nullptr, 4096), 4096);
  BeginCall(4096, nullptr, &top);
  EXPECT_EQ(kTooLong, PopArgument(buffer.data(), 1024));
  EXPECT_EQ(0u, wcslen(buffer.data())) << "a part of the string was handed on";
  EXPECT_EQ(L'G', buffer[1024]) << "wrote past the argument buffer";
  EXPECT_EQ(kPopped, PopArgument(buffer.data(), 1024)) << "the long string stayed on the stack";
  EXPECT_EQ(1023u, wcslen(buffer.data())) << "the longest string that fits";
}

// An export called as an installer with 4096-unit strings calls it: the arguments pushed last
// first, results read from $R0.
class InstallerCall {
 public:
  explicit InstallerCall(std::vector<std::wstring> arguments) : variables_(25 * kSize, 0) {
    for (auto argument = arguments.rbegin(); argument != arguments.rend(); ++argument) {
      top_ = MakeItem(*argument, top_, kSize);
    }
  }
  ~InstallerCall() {
    while (top_) GlobalFree(std::exchange(top_, top_->next));
  }
  template <typename Export>
  std::wstring Run(Export* function) {
    StoreVariable(kVariableR0, L"unset");
    function(nullptr, kSize, variables_.data(), &top_, nullptr);
    return &variables_[kVariableR0 * kSize];
  }

 private:
  static constexpr int kSize = 4096;
  std::vector<wchar_t> variables_;
  StackItem* top_ = nullptr;
};

TEST(LongArguments, AreParameterErrorsNotShorterPathsOrData) {
  // A path of 300 units whose first 259 name a file that could be made: cut, it would be.
  std::wstring parent = testing_support::TemporaryFileName(L"lng");
  DeleteFileW(parent.c_str());
  std::vector<std::wstring> folders = {parent};
  ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr)) << GetLastError();
  while (parent.size() < 240) {
    parent += L"\\abcdefghijklmnop";
    folders.push_back(parent);
    ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr)) << GetLastError();
  }
  const std::wstring path = parent + L"\\" + std::wstring(300 - parent.size() - 1, L'n');
  EXPECT_EQ(L"0", InstallerCall({L"DIR", path}).Run(RWCreate));
  EXPECT_EQ(L"", InstallerCall({L"FILE", path}).Run(RWCreate));
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((parent + L"\\n*").c_str(), &found);
  EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "something was made under a shortened name";
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    DeleteFileW((parent + L"\\" + found.cFileName).c_str());
    RemoveDirectoryW((parent + L"\\" + found.cFileName).c_str());
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) RemoveDirectoryW(folder->c_str());

  EXPECT_EQ(L"0", InstallerCall({L"/x86", L"HKCU", L"Software\\TamsuFrameTest", L"Long", std::wstring(2000, L'd')})
                      .Run(WriteRegStr));
  HKEY raw = nullptr;
  const bool written = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\TamsuFrameTest", 0, KEY_READ, &raw) == 0;
  UniqueHKey key(raw);
  EXPECT_FALSE(written && RegQueryValueExW(key.get(), L"Long", nullptr, nullptr, nullptr, nullptr) == 0)
      << "the data was written cut short";
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TamsuFrameTest");
}

TEST(StoreVariable, BoundsOfIndexAndSize) {
  const int stringSize = 8;
  std::vector<wchar_t> variables(25 * stringSize + 4, L'v');
  BeginCall(stringSize, variables.data(), nullptr);
  StoreVariable(25, L"no");
  StoreVariable(-1, L"no");
  StoreVariable(10, nullptr);
  EXPECT_EQ(std::wstring(variables.size(), L'v'), std::wstring(variables.begin(), variables.end()));
  StoreVariable(kVariableR0, L"1");
  EXPECT_EQ(std::wstring(L"1"), &variables[10 * stringSize]);
  StoreVariable(kVariableR0, L"a text longer than a variable");
  EXPECT_EQ(std::wstring(L"a text "), &variables[10 * stringSize]) << "cut to string_size with its terminator";
  EXPECT_EQ(L'v', variables[11 * stringSize]) << "the next variable was overwritten";
}

bool DebugPrivilegeEnabled() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  UniqueHandle token(raw);
  LUID debug;
  std::vector<BYTE> buffer(4096);
  DWORD size = 0;
  if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug) ||
      !GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    return false;
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& luid = privileges->Privileges[i].Luid;
    if (luid.LowPart == debug.LowPart && luid.HighPart == debug.HighPart) {
      return (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

void SetOwnDebugPrivilege(bool enable) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw));
  UniqueHandle token(raw);
  SetTokenPrivilege(token.get(), SE_DEBUG_NAME, enable);
}

TEST(ProcessPrivilege, DebugPrivilegeIsEnabledInTheProcessTokenAlsoByTheKillFallback) {
  SetOwnDebugPrivilege(false);
  ASSERT_FALSE(DebugPrivilegeEnabled()) << "cannot be tested: the privilege stays enabled";
  ProcessPrivilege().Enable(SE_DEBUG_NAME);
  EXPECT_TRUE(DebugPrivilegeEnabled());
  SetOwnDebugPrivilege(false);
  InstallerCall({L"no_such_program.exe"}).Run(KillProcessWithName);
  EXPECT_TRUE(DebugPrivilegeEnabled()) << "the kill fallback cannot open the service's LocalSystem processes";
}

// A message box that cannot be shown (no desktop) returns 0; the owner search must not then spin.
HMODULE g_heldModule = nullptr;
std::vector<DWORD> g_boxTimes;
int WINAPI NoDesktopBox(HWND, LPCWSTR, LPCWSTR, UINT) {
  g_boxTimes.push_back(GetTickCount());
  if (g_boxTimes.size() == 3) FreeLibrary(g_heldModule);
  return 0;
}

TEST(GetDllOwnerProcName, PausesBetweenLooksWhenNoBoxCanBeShown) {
  g_heldModule = LoadLibraryW((testing_support::ProgramFolder() + L"tamsu_owner_probe.dll").c_str());
  ASSERT_NE(nullptr, g_heldModule);
  g_boxTimes.clear();
  testing_support::ImportPatch box(GetModuleHandleW(nullptr), "user32.dll", "MessageBoxW",
                                   reinterpret_cast<void*>(&NoDesktopBox));
  ASSERT_TRUE(box.applied());
  EXPECT_EQ(L"OK", InstallerCall({L"tamsu_owner_probe.dll", L"title", L"text"}).Run(GetDllOwnerProcName));
  ASSERT_EQ(3u, g_boxTimes.size()) << "one box a look while the module was held";
  EXPECT_GE(g_boxTimes[2] - g_boxTimes[0], 1800u) << "the looks followed each other without a pause";
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu
