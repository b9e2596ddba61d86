#include "key_paths.h"

#include "common/protocol/pipe_protocol.h"
#include "tamsu_client.h"

namespace tamsu {
namespace {

constexpr DWORD kMaxListChars = 1u << 20;

}  // namespace

LONG ListKeyPaths(std::vector<std::string>* paths) {
  paths->clear();
  std::vector<char> buffer(kPipeBufferSize);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD length = static_cast<DWORD>(buffer.size());
    const LONG result = TamsuListKeys(buffer.data(), &length);
    if (result == TAMSU_E_NO_READERS_AVAILABLE) return TAMSU_S_SUCCESS;
    if (result == TAMSU_E_INSUFFICIENT_BUFFER && length > buffer.size() && length <= kMaxListChars) {
      buffer.resize(length);  // the list grew since the last look
      continue;
    }
    if (result != TAMSU_S_SUCCESS) return result;
    const size_t end = length < buffer.size() ? length : buffer.size();
    for (size_t start = 0; start < end && buffer[start];) {
      size_t stop = start;
      while (stop < end && buffer[stop]) ++stop;
      paths->emplace_back(&buffer[start], stop - start);
      start = stop + 1;
    }
    return TAMSU_S_SUCCESS;
  }
  return TAMSU_F_COMM_ERROR;
}

}  // namespace tamsu
