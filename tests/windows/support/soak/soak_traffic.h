// The traffic of the soak and fault tests: commands that carry their client and sequence number,
// and the answer a simulated key gives to each. The answer is a function of the key's tag and the
// whole command, so a client can tell a lost, misrouted or corrupted answer byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsu {
namespace soak {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxCommandSize = 4096;
constexpr size_t kMaxAnswerSize = 4094;  // the largest answer whose frame fits the channel's buffer

// Small and fast; never returns 0.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed != 0 ? seed : 0x9E3779B9u) {}
  uint32_t Next();
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Next() % bound; }

 private:
  uint32_t state_;
};

// `size` bytes (1 to 4096): client (2 bytes), sequence number (4 bytes), then a pattern of both.
Bytes Command(uint16_t client, uint32_t sequence, size_t size);
// 2 to 4094 bytes: the key's tag, the command's size and first bytes, a pattern of the command,
// then 90 00.
Bytes Answer(uint8_t keyTag, const Bytes& command);

}  // namespace soak
}  // namespace tamsu
