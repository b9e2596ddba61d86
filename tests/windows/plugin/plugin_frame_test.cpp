// The call frame in process: the string stack, the user variables and the privilege step.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "plugin/call_frame.h"

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

TEST(PopArgument, LongStringIsCutToTheBuffer) {
  std::vector<wchar_t> buffer(1024 + 8, L'G');
  StackItem* top = MakeItem(std::wstring(2000, L'x'), nullptr, 4096);
  BeginCall(4096, nullptr, &top);
  EXPECT_EQ(0, PopArgument(buffer.data(), 1024));
  EXPECT_EQ(1023u, wcslen(buffer.data()));
  EXPECT_EQ(L'G', buffer[1024]) << "wrote past the argument buffer";
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

TEST(ProcessPrivilege, DebugPrivilegeIsEnabledInTheProcessToken) {
  ProcessPrivilege().Enable(SE_DEBUG_NAME);
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  UniqueHandle token(raw);
  LUID debug;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug));
  std::vector<BYTE> buffer(4096);
  DWORD size = 0;
  ASSERT_TRUE(
      GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size));
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  bool enabled = false;
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& luid = privileges->Privileges[i].Luid;
    if (luid.LowPart == debug.LowPart && luid.HighPart == debug.HighPart) {
      enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  EXPECT_TRUE(enabled);
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu
