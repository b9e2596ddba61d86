// The tree removal's Win32 steps on real files. Wine 8 makes no junction and no symbolic link, so
// the link cases are proved in the native tier against the walker; these prove the steps.
#include "installer/aid/tree_removal_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace setup {
namespace {

std::wstring TempRoot(const wchar_t* name) {
  wchar_t temporary[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  EXPECT_TRUE(length > 0 && length <= MAX_PATH);
  return std::wstring(L"\\\\?\\") + temporary + name;
}

void MakeFolder(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError(); }

void MakeFile(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(file.valid()) << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.get(), "tamsu", 5, &written, nullptr));
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(TreeRemovalWin32, NestedReadOnlyAndBeyondMaxPathGoWhole) {
  const std::wstring root = TempRoot(L"tree_removal_nested");
  MakeFolder(root);
  MakeFolder(root + L"\\a");
  MakeFolder(root + L"\\a\\b");
  MakeFile(root + L"\\a\\b\\one.txt");
  MakeFile(root + L"\\a\\readonly.txt");
  ASSERT_TRUE(SetFileAttributesW((root + L"\\a\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  MakeFile(root + L"\\top.txt");
  std::wstring deep = root;
  for (int level = 0; level < 14; ++level) {
    deep += L"\\level_of_twenty_chars";
    MakeFolder(deep);
  }
  ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH + 4));
  MakeFile(deep + L"\\bottom.txt");

  // Given as the user writes it, without the prefix and with a trailing separator.
  const TreeRemoval result = RemoveTreeNoFollow((root.substr(4) + L"\\").c_str());
  EXPECT_FALSE(Exists(root));
  EXPECT_EQ(2u + 3u + 14u + 1u + 1u, result.removed) << "a, b, three files, the chain, its file, the root";
  EXPECT_EQ(0u, result.linksRemoved + result.scheduled + result.left);
}

// The pending operations of the next restart, restored to what they were when it goes.
class PendingOperations {
 public:
  PendingOperations() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
      key_.reset(key);
    }
    hadValue_ = Read(&before_);
  }
  ~PendingOperations() {
    if (!key_) return;
    if (hadValue_) {
      RegSetValueExW(key_.get(), kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(before_.data()),
                     static_cast<DWORD>(before_.size() * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key_.get(), kValue);
    }
  }
  bool Open() const { return key_.valid(); }
  // Its strings: source, target (empty for a removal), source, target, ...
  std::vector<std::wstring> Strings() {
    std::vector<wchar_t> data;
    std::vector<std::wstring> strings;
    if (!Read(&data)) return strings;
    // Split at every terminator: a removal's target is an empty string.
    for (size_t at = 0; at < data.size();) {
      size_t end = at;
      while (end < data.size() && data[end]) ++end;
      strings.emplace_back(&data[at], end - at);
      at = end + 1;
    }
    return strings;
  }

 private:
  static constexpr const wchar_t* kValue = L"PendingFileRenameOperations";

  bool Read(std::vector<wchar_t>* data) {
    DWORD type = 0, bytes = 0;
    if (!key_ || RegQueryValueExW(key_.get(), kValue, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    data->assign(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key_.get(), kValue, nullptr, &type, reinterpret_cast<BYTE*>(data->data()), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ) {
      return false;
    }
    data->resize(bytes / sizeof(wchar_t));
    return true;
  }

  UniqueHKey key_;
  bool hadValue_ = false;
  std::vector<wchar_t> before_;
};

TEST(TreeRemovalWin32, FileHeldWithoutShareDeleteGoesAtRestartBeforeItsFolder) {
  PendingOperations pending;
  ASSERT_TRUE(pending.Open());
  const std::wstring root = TempRoot(L"tree_removal_busy");
  MakeFolder(root);
  MakeFile(root + L"\\busy.txt");
  MakeFile(root + L"\\free.txt");
  UniqueFileHandle holder(CreateFileW((root + L"\\busy.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.valid());

  const TreeRemoval result = RemoveTreeNoFollow(root.c_str());
  EXPECT_EQ(1u, result.removed);
  EXPECT_EQ(2u, result.scheduled);
  EXPECT_EQ(0u, result.left);
  EXPECT_FALSE(Exists(root + L"\\free.txt"));
  EXPECT_TRUE(Exists(root + L"\\busy.txt"));

  const std::vector<std::wstring> strings = pending.Strings();
  const std::wstring ntRoot = L"\\??\\" + root.substr(4);
  size_t file = strings.size(), folder = strings.size();
  for (size_t at = 0; at + 1 < strings.size(); at += 2) {
    if (!strings[at + 1].empty()) continue;
    if (lstrcmpiW(strings[at].c_str(), (ntRoot + L"\\busy.txt").c_str()) == 0) file = at;
    if (lstrcmpiW(strings[at].c_str(), ntRoot.c_str()) == 0) folder = at;
  }
  EXPECT_LT(file, strings.size()) << "the file is not named for removal at the restart";
  EXPECT_LT(folder, strings.size()) << "the folder is not named for removal at the restart";
  EXPECT_LT(file, folder) << "the folder would go before its content";

  holder.reset();
  EXPECT_TRUE(DeleteFileW((root + L"\\busy.txt").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(root.c_str()));
}

TEST(TreeRemovalWin32, MissingRootIsSuccessAndNoRootIsRefused) {
  const TreeRemoval missing = RemoveTreeNoFollow(TempRoot(L"tree_removal_never_made").c_str());
  EXPECT_EQ(0u, missing.removed + missing.scheduled + missing.left);
  EXPECT_EQ(1u, RemoveTreeNoFollow(nullptr).left);
  EXPECT_EQ(1u, RemoveTreeNoFollow(L"").left);
  EXPECT_EQ(1u, RemoveTreeNoFollow(std::wstring(40000, L'a').c_str()).left);
}

}  // namespace
}  // namespace setup
}  // namespace tamsu
