#include "pipe_protocol.h"

#include <cstring>

namespace tamsu {

std::wstring PipeName(const std::wstring& argument) {
  std::wstring name(kPipeNameFormat);
  name.replace(name.find(L"%s"), 2, argument);
  return name;
}

std::wstring DevicePipeName(const std::wstring& devicePath) {
  return PipeName(devicePath.size() > kDevicePathPrefixLength ? devicePath.substr(kDevicePathPrefixLength)
                                                              : std::wstring());
}

bool IsListRequest(const uint8_t* request, size_t length) {
  return request && length == kListRequestSize && std::memcmp(request, kListRequest, kListRequestSize) == 0;
}

std::vector<std::string> ListedPaths(const char* list, size_t size) {
  std::vector<std::string> paths;
  size_t at = 0;
  while (list && at < size && list[at]) {
    const void* end = std::memchr(list + at, 0, size - at);
    if (!end) break;  // an unterminated path is not a path
    const size_t length = static_cast<const char*>(end) - (list + at);
    paths.emplace_back(list + at, length);
    at += length + 1;
  }
  return paths;
}

}  // namespace tamsu
