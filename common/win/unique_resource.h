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

// Owners whose empty value is NULL, closed by CloseFunction.
template <typename T, auto CloseFunction>
struct NullIsEmpty {
  using type = T;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type value) noexcept { CloseFunction(value); }
};

// Owners whose empty value is INVALID_HANDLE_VALUE (CreateFile, CreateNamedPipe, SetupDi sets).
template <typename T, auto CloseFunction>
struct InvalidHandleIsEmpty {
  using type = T;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type value) noexcept { CloseFunction(value); }
};

}  // namespace traits

// Events, threads, processes, mutexes.
using UniqueHandle = UniqueResource<traits::NullIsEmpty<HANDLE, &::CloseHandle>>;
using UniqueFileHandle = UniqueResource<traits::InvalidHandleIsEmpty<HANDLE, &::CloseHandle>>;
using UniqueHKey = UniqueResource<traits::NullIsEmpty<HKEY, &::RegCloseKey>>;
using UniqueServiceHandle = UniqueResource<traits::NullIsEmpty<SC_HANDLE, &::CloseServiceHandle>>;
using UniqueDesktop = UniqueResource<traits::NullIsEmpty<HDESK, &::CloseDesktop>>;
// A DC from CreateCompatibleDC; one from GetDC is released with ReleaseDC (see WindowDc).
using UniqueMemoryDc = UniqueResource<traits::NullIsEmpty<HDC, &::DeleteDC>>;
using UniqueBitmap = UniqueResource<traits::NullIsEmpty<HBITMAP, &::DeleteObject>>;
using UniqueModule = UniqueResource<traits::NullIsEmpty<HMODULE, &::FreeLibrary>>;
using UniqueLocalMemory = UniqueResource<traits::NullIsEmpty<HLOCAL, &::LocalFree>>;
using UniqueGlobalMemory = UniqueResource<traits::NullIsEmpty<HGLOBAL, &::GlobalFree>>;

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
