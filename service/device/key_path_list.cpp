#include "key_path_list.h"

#include <cstring>

namespace tamsu {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool ContainsIgnoringCase(const char* haystack, const char* needle) {
  if (!haystack || !needle) return false;
  for (const char* start = haystack;; ++start) {
    const char* h = start;
    const char* n = needle;
    while (*n && LowerAscii(*h) == LowerAscii(*n)) {
      ++h;
      ++n;
    }
    if (!*n) return true;
    if (!*start) return false;
  }
}

bool IsKeyDevicePath(const char* path) {
  return ContainsIgnoringCase(path, kVendorFilter) && ContainsIgnoringCase(path, kRevisionFilter);
}

bool ClassPropertyCheckFor(uint32_t platformId, uint32_t major, uint32_t minor) {
  // The minor number is tested by itself, so 6.0 stays without the check; a later major version
  // has it, as 6.2 had: the program's manifest has Windows 10 and 11 report 10.0, not 6.2.
  return platformId == 2 && (major > 6 || (major >= 5 && minor >= 1));
}

DevicePathListWriter::DevicePathListWriter(char* buffer, size_t capacity)
    : buffer_(buffer), capacity_(buffer ? capacity : 0) {}

bool DevicePathListWriter::Append(const char* path, size_t length) {
  if (!path || length == 0 || std::memchr(path, 0, length)) return false;
  if (capacity_ == 0) return false;
  const size_t room = capacity_ - position_ - 1;  // what is left before the list's final zero
  if (length >= room) return false;               // the path and its own zero byte must fit

  std::memcpy(buffer_ + position_, path, length);
  position_ += length;
  buffer_[position_++] = 0;
  return true;
}

size_t DevicePathListWriter::Finish() {
  if (capacity_ == 0) return 0;
  buffer_[position_] = 0;
  return position_ + 1;
}

}  // namespace tamsu
