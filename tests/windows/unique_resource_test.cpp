// The handle owners close exactly once and never close what they gave away.
#include "common/win/unique_resource.h"

#include <gtest/gtest.h>

#include <utility>

namespace tamsu {
namespace {

bool IsOpenHandle(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, ResetAndDestructionClose) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  {
    UniqueHandle owner(raw);
    EXPECT_TRUE(owner.valid());
    EXPECT_TRUE(IsOpenHandle(raw));
  }
  EXPECT_FALSE(IsOpenHandle(raw));

  HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueHandle owner(second);
  owner.reset();
  EXPECT_FALSE(owner.valid());
  EXPECT_FALSE(IsOpenHandle(second));
}

TEST(UniqueHandle, ReleaseGivesUpWithoutClosing) {
  UniqueHandle owner(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE raw = owner.release();
  EXPECT_FALSE(owner.valid());
  EXPECT_TRUE(IsOpenHandle(raw));
  CloseHandle(raw);
}

TEST(UniqueHandle, MoveTransfersOwnership) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueHandle first(raw);
  UniqueHandle second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(raw, second.get());
  UniqueHandle third;
  third = std::move(second);
  EXPECT_TRUE(IsOpenHandle(raw));
  third = UniqueHandle();
  EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(UniqueFileHandle, FailedCreateIsNotValid) {
  UniqueFileHandle file(
      CreateFileW(L"C:\\no\\such\\folder\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(INVALID_HANDLE_VALUE, file.get());
  EXPECT_FALSE(file.valid());
}

TEST(UniqueHKey, ClosesTheKey) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TamsuHandleTest", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &raw, nullptr));
  {
    UniqueHKey key(raw);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
  }
  EXPECT_NE(ERROR_SUCCESS, RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TamsuHandleTest");
}

TEST(UniqueModule, FreesTheLibrary) {
  ASSERT_EQ(nullptr, GetModuleHandleW(L"msimg32.dll")) << "pick a library the tests do not otherwise load";
  {
    UniqueModule module(LoadLibraryW(L"msimg32.dll"));
    ASSERT_TRUE(module.valid());
    EXPECT_NE(nullptr, GetModuleHandleW(L"msimg32.dll"));
  }
  EXPECT_EQ(nullptr, GetModuleHandleW(L"msimg32.dll"));
}

}  // namespace
}  // namespace tamsu
