// Which CD-ROM interfaces are keys, and the list of their paths (no platform calls here).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsu {

constexpr char kVendorFilter[] = "&ven_varnelle";
constexpr char kRevisionFilter[] = "&rev_1.";
constexpr size_t kDevicePathListCapacity = 1024;  // the list request's buffer

// True when `needle` occurs in `haystack`, ASCII letters compared without case.
bool ContainsIgnoringCase(const char* haystack, const char* needle);

// The vendor test first, then the revision test; both must match.
bool IsKeyDevicePath(const char* path);

// The class property must be readable on NT from 5.1 on, except 6.0: up to major 6 the minor
// number is tested by itself, so 6.0 does not check and 5.1, 5.2, 6.1 to 6.3 and 10.0 do.
bool ClassPropertyCheckFor(uint32_t platformId, uint32_t major, uint32_t minor);

// Builds a DevicePathList in a caller's buffer: each path with its zero byte, then one more zero.
// Room for the final zero is always kept; a path that does not fit is skipped.
class DevicePathListWriter {
 public:
  DevicePathListWriter(char* buffer, size_t capacity);
  // Returns false, writing nothing, for an empty path or one that does not fit.
  bool Append(const char* path, size_t length);
  // Writes the final zero; returns the size of the whole list (0 only when the buffer has no room at all).
  size_t Finish();

 private:
  char* buffer_;
  size_t capacity_;
  size_t position_ = 0;
};

}  // namespace tamsu
