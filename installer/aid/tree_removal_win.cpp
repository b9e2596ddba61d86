#include "installer/aid/tree_removal_win.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace setup {
namespace {

// The native calls under CreateFileW, present since NT 4 and looked up at run time: only they open
// a name relative to a folder's handle. A pinned folder cannot be renamed, but once emptied anyone
// who may write its attributes can make it a junction (no share mode withholds that right), and a
// path through it would then lead elsewhere; a name opened relative to its handle cannot.
struct NtName {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};
struct NtObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  NtName* objectName;
  ULONG attributes;
  PVOID securityDescriptor;
  PVOID securityQualityOfService;
};
struct NtIoStatus {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};
struct NtBasicInformation {
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  ULONG fileAttributes;
};

using NtCreateFileCall = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, NtObjectAttributes*, NtIoStatus*, PLARGE_INTEGER, ULONG,
                                      ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileCall = LONG(NTAPI*)(HANDLE, NtIoStatus*, PVOID, ULONG, ULONG);
using NtQueryDirectoryFileCall = LONG(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, NtIoStatus*, PVOID, ULONG, ULONG, BOOLEAN,
                                              NtName*, BOOLEAN);

constexpr LONG kNoMoreFiles = static_cast<LONG>(0x80000006);
constexpr LONG kNoSuchFile = static_cast<LONG>(0xC000000F);
constexpr LONG kAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kNameInvalid = static_cast<LONG>(0xC0000033);
constexpr LONG kNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kPathNotFound = static_cast<LONG>(0xC000003A);
constexpr LONG kSharingViolation = static_cast<LONG>(0xC0000043);
constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);
constexpr LONG kNotADirectory = static_cast<LONG>(0xC0000103);
constexpr LONG kCannotDelete = static_cast<LONG>(0xC0000121);

constexpr ULONG kOpenExisting = 1;  // FILE_OPEN
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIo = 0x00000020;
constexpr ULONG kBackupIntent = 0x00004000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kCaseInsensitive = 0x00000040;  // OBJ_CASE_INSENSITIVE, as Win32 names are
constexpr ULONG kDirectoryInformation = 1;
constexpr ULONG kBasicInformation = 4;
constexpr ULONG kDispositionInformation = 13;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Succeeded(LONG status) { return status >= 0; }
bool Gone(LONG status) { return status == kNameNotFound || status == kPathNotFound || status == kDeletePending; }

template <typename Call>
Call Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Win32TreeOps : public TreeOps {
 public:
  Win32TreeOps() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return;
    createFile_ = Lookup<NtCreateFileCall>(ntdll, "NtCreateFile");
    setInformation_ = Lookup<NtSetInformationFileCall>(ntdll, "NtSetInformationFile");
    queryDirectory_ = Lookup<NtQueryDirectoryFileCall>(ntdll, "NtQueryDirectoryFile");
  }
  bool Ready() const { return createFile_ && setInformation_ && queryDirectory_; }

  Pin PinFolder(const std::wstring& path) override {
    // Shared for reading and writing but not for deletion: nobody renames or removes it meanwhile.
    UniqueFileHandle folder;
    const LONG status = Open(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             kDirectoryFile, &folder);
    if (status == kNotADirectory) return Pin::kFile;
    if (Gone(status)) return Pin::kGone;
    if (!Succeeded(status)) return Pin::kFailed;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(folder.get(), &information)) return Pin::kFailed;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Pin::kLink;
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Pin::kFile;
    pins_.push_back(Pinned{path.size(), std::move(folder)});
    pinnedPath_ = path;
    return Pin::kFolder;
  }

  void UnpinFolder() override {
    if (pins_.empty()) return;
    pins_.pop_back();
    pinnedPath_.resize(pins_.empty() ? 0 : pins_.back().pathLength);
  }

  // Read from the pinned handle, so the names are those of the pinned folder and nothing else.
  bool List(const std::wstring& folder, std::vector<TreeEntry>* entries) override {
    if (pins_.empty() || folder != pinnedPath_) return false;
    std::vector<LONGLONG> buffer(64 * 1024 / sizeof(LONGLONG));  // the records' alignment
    const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(LONGLONG));
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
      NtIoStatus io = {};
      const LONG status = queryDirectory_(pins_.back().handle.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
                                          bytes, kDirectoryInformation, FALSE, nullptr, restart);
      if (status == kNoMoreFiles || status == kNoSuchFile) return true;
      if (!Succeeded(status) || io.information > bytes) return false;
      if (!AppendRecords(reinterpret_cast<const unsigned char*>(buffer.data()), io.information, entries)) return false;
    }
  }

  Removal RemoveName(const std::wstring& path, bool) override {
    UniqueFileHandle handle;
    LONG status = Open(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, 0, &handle);
    if (status == kAccessDenied) status = Open(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, 0, &handle);
    if (Gone(status)) return Removal::kGone;
    if (status == kSharingViolation) return InUse(path);
    if (!Succeeded(status)) return Removal::kFailed;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle.get(), &information)) return Removal::kFailed;
    const DWORD attributes = information.dwFileAttributes;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    status = MarkForDeletion(handle.get());
    if (status == kCannotDelete && !link && (attributes & FILE_ATTRIBUTE_READONLY)) {
      // Changed through the handle that was checked not to be a link, so it cannot reach a target.
      NtBasicInformation basic = {};
      basic.fileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) ? attributes & ~FILE_ATTRIBUTE_READONLY
                                                                      : FILE_ATTRIBUTE_NORMAL;
      NtIoStatus io = {};
      if (Succeeded(setInformation_(handle.get(), &io, &basic, sizeof basic, kBasicInformation))) {
        status = MarkForDeletion(handle.get());
      }
    }
    if (Succeeded(status)) return link ? Removal::kLinkRemoved : Removal::kRemoved;
    if (Gone(status)) return Removal::kGone;
    // A program's image, mapped while it runs, cannot be deleted though its name can be opened.
    if (status == kCannotDelete && !(attributes & FILE_ATTRIBUTE_READONLY)) {
      return link ? Removal::kLinkInUse : Removal::kInUse;
    }
    return Removal::kFailed;
  }

  bool ScheduleRemoval(const std::wstring& path) override {
    // Looked at once more: a name that is a link by now is not trusted to the restart.
    UniqueFileHandle handle;
    if (!Succeeded(Open(path, FILE_READ_ATTRIBUTES, kShareAll, 0, &handle))) return false;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return false;
    }
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
  }

 private:
  struct Pinned {
    size_t pathLength;
    UniqueFileHandle handle;
  };

  // An entry of the top pin is opened through the pin's handle, anything else (the root) by its
  // full "\\?\" path. Links are opened as themselves.
  LONG Open(const std::wstring& path, ACCESS_MASK access, ULONG share, ULONG options, UniqueFileHandle* handle) {
    HANDLE parent = nullptr;
    std::wstring name;
    if (!pins_.empty()) {
      const size_t cut = pinnedPath_.size();
      if (path.size() <= cut + 1 || path.compare(0, cut, pinnedPath_) != 0 || path[cut] != L'\\' ||
          path.find(L'\\', cut + 1) != std::wstring::npos) {
        return kNameInvalid;
      }
      parent = pins_.back().handle.get();
      name.assign(path, cut + 1, std::wstring::npos);
    } else {
      if (path.compare(0, 4, L"\\\\?\\") != 0) return kNameInvalid;
      name = L"\\??\\";
      name.append(path, 4, std::wstring::npos);
    }
    if (name.size() > 0x7FFF) return kNameInvalid;  // what a counted name can hold
    NtName counted = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                      static_cast<USHORT>(name.size() * sizeof(wchar_t)), &name[0]};
    NtObjectAttributes attributes = {sizeof(NtObjectAttributes), parent, &counted, kCaseInsensitive, nullptr, nullptr};
    NtIoStatus io = {};
    HANDLE opened = INVALID_HANDLE_VALUE;
    const LONG status = createFile_(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, kOpenExisting,
                                    options | kSynchronousIo | kBackupIntent | kOpenReparsePoint, nullptr, 0);
    if (Succeeded(status)) handle->reset(opened);
    return status;
  }

  // In use by someone who shares no deletion: whether it is a link decides its fate, and reading
  // attributes is never refused for sharing.
  Removal InUse(const std::wstring& path) {
    UniqueFileHandle handle;
    const LONG status = Open(path, FILE_READ_ATTRIBUTES, kShareAll, 0, &handle);
    if (Gone(status)) return Removal::kGone;
    BY_HANDLE_FILE_INFORMATION information;
    if (!Succeeded(status) || !GetFileInformationByHandle(handle.get(), &information)) return Removal::kFailed;
    return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? Removal::kLinkInUse : Removal::kInUse;
  }

  LONG MarkForDeletion(HANDLE handle) {
    BOOLEAN deleteFile = TRUE;
    NtIoStatus io = {};
    return setInformation_(handle, &io, &deleteFile, sizeof deleteFile, kDispositionInformation);
  }

  // FILE_DIRECTORY_INFORMATION records, each checked to lie within what the call returned.
  static bool AppendRecords(const unsigned char* records, size_t size, std::vector<TreeEntry>* entries) {
    constexpr size_t kHeader = 64;  // the fixed fields, up to the name
    size_t offset = 0;
    for (;;) {
      if (size < kHeader || offset > size - kHeader) return false;
      ULONG next = 0, attributes = 0, nameBytes = 0;
      memcpy(&next, records + offset, sizeof next);
      memcpy(&attributes, records + offset + 56, sizeof attributes);
      memcpy(&nameBytes, records + offset + 60, sizeof nameBytes);
      if (nameBytes % sizeof(wchar_t) != 0 || nameBytes > size - offset - kHeader) return false;
      std::wstring name(nameBytes / sizeof(wchar_t), L'\0');
      if (nameBytes) memcpy(&name[0], records + offset + kHeader, nameBytes);
      if (name != L"." && name != L"..") {
        entries->push_back(TreeEntry{name, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                     (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
      }
      if (next == 0) return true;
      if (next > size - offset) return false;
      offset += next;
    }
  }

  NtCreateFileCall createFile_ = nullptr;
  NtSetInformationFileCall setInformation_ = nullptr;
  NtQueryDirectoryFileCall queryDirectory_ = nullptr;
  std::vector<Pinned> pins_;
  std::wstring pinnedPath_;  // the top pin's; one string, however deep the pins go
};

// "\\?\C:\..." or "\\?\UNC\server\share\...", so that no length limit and no reinterpretation of
// the names applies beyond this point; empty when the path cannot be made whole.
std::wstring ExtendedPath(const wchar_t* root) {
  if (root[0] == L'\\' && root[1] == L'\\' && root[2] == L'?' && root[3] == L'\\') return root;
  std::vector<wchar_t> full(kMaxTreePath + 1);
  const DWORD length = GetFullPathNameW(root, static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return {};
  const std::wstring path(full.data(), length);
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.size() > 2 && path.compare(0, 2, L"\\\\") == 0 && path[2] != L'.' && path[2] != L'?') {
    return L"\\\\?\\UNC\\" + path.substr(2);
  }
  return {};  // a device path, or something else that is no folder of a volume
}

}  // namespace

TreeRemoval RemoveTreeNoFollow(const wchar_t* root) {
  TreeRemoval refused;
  refused.left = 1;
  if (!root) return refused;
  size_t length = 0;
  while (length <= kMaxTreePath && root[length]) ++length;
  if (length == 0 || length > kMaxTreePath) return refused;
  const std::wstring path = ExtendedPath(root);
  Win32TreeOps ops;
  if (path.empty() || !ops.Ready()) return refused;
  return RemoveTreeNoFollow(ops, path);
}

}  // namespace setup
}  // namespace tamsu
