// The list of key paths: any paths, any buffer size; the list never runs past its buffer, always
// ends with its extra zero, and reads back as exactly the paths that were taken.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "service/device/key_path_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = (data[0] | data[1] << 8) % 1100;
  std::vector<std::string> paths(1);
  for (size_t i = 2; i < size; ++i) {
    if (data[i] == '\n') {
      paths.emplace_back();
    } else {
      paths.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<char> buffer(capacity);
  tamsu::DevicePathListWriter writer(buffer.data(), capacity);
  std::vector<std::string> taken;
  for (const std::string& path : paths) {
    tamsu::IsKeyDevicePath(path.c_str());
    if (writer.Append(path.data(), path.size())) taken.push_back(path);
  }
  const size_t used = writer.Finish();
  if (used > capacity || (capacity && buffer[used - 1] != 0)) std::abort();
  if (capacity && tamsu::ListedPaths(buffer.data(), used) != taken) std::abort();
  return 0;
}
