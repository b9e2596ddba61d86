// Owners for Win32 handles and memory, one per kind, in the spirit of WIL's unique_any.
// Every handle the code opens is held by one of these from the moment it exists.
#pragma once

#include <windows.h>

namespace tamsu {

// Traits: `type`, `Invalid()` and `Close(type)`. The owner is move-only.
template <typename Traits>
class UniqueResource {
 public:
  using type = typename Traits::type;

  UniqueResource() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueResource(type value) noexcept : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the value up without closing it.
  type release() noexcept {
    type value = value_;
    value_ = Traits::Invalid();
    return value;
  }

  void reset(type value = Traits::Invalid()) noexcept {
    type old = value_;
    value_ = value;
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  type value_;
};

namespace traits {

struct Handle {  // events, threads, processes, mutexes: invalid is NULL
  using type = HANDLE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::CloseHandle(h); }
};

struct FileHandle {  // CreateFile and CreateNamedPipe: invalid is INVALID_HANDLE_VALUE
  using type = HANDLE;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type h) noexcept { ::CloseHandle(h); }
};

struct RegKey {
  using type = HKEY;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandle {
  using type = SC_HANDLE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::CloseServiceHandle(h); }
};

struct Desktop {
  using type = HDESK;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::CloseDesktop(h); }
};

struct MemoryDc {  // CreateCompatibleDC; a DC from GetDC is released with ReleaseDC (see WindowDc)
  using type = HDC;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::DeleteDC(h); }
};

struct Bitmap {
  using type = HBITMAP;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::DeleteObject(h); }
};

struct Module {
  using type = HMODULE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::FreeLibrary(h); }
};

struct LocalMemory {
  using type = HLOCAL;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::LocalFree(h); }
};

struct GlobalMemory {
  using type = HGLOBAL;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { ::GlobalFree(h); }
};

}  // namespace traits

using UniqueHandle = UniqueResource<traits::Handle>;
using UniqueFileHandle = UniqueResource<traits::FileHandle>;
using UniqueHKey = UniqueResource<traits::RegKey>;
using UniqueServiceHandle = UniqueResource<traits::ServiceHandle>;
using UniqueDesktop = UniqueResource<traits::Desktop>;
using UniqueMemoryDc = UniqueResource<traits::MemoryDc>;
using UniqueBitmap = UniqueResource<traits::Bitmap>;
using UniqueModule = UniqueResource<traits::Module>;
using UniqueLocalMemory = UniqueResource<traits::LocalMemory>;
using UniqueGlobalMemory = UniqueResource<traits::GlobalMemory>;

// A window's DC from GetDC, released to that window.
class WindowDc {
 public:
  explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC get() const noexcept { return dc_; }
  explicit operator bool() const noexcept { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// Holds a critical section for one scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& section) noexcept : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
  ~CriticalSectionLock() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION& section_;
};

}  // namespace tamsu
