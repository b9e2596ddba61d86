#include "soak_traffic.h"

#include <algorithm>

namespace tamsu {
namespace soak {
namespace {

uint32_t Fnv1a(const Bytes& data) {
  uint32_t hash = 2166136261u;
  for (uint8_t b : data) hash = (hash ^ b) * 16777619u;
  return hash;
}

void FillPattern(Bytes* out, size_t from, uint32_t seed) {
  Random random(seed);
  for (size_t i = from; i < out->size(); ++i) (*out)[i] = static_cast<uint8_t>(random.Next() >> 24);
}

}  // namespace

uint32_t Random::Next() {
  state_ ^= state_ << 13;
  state_ ^= state_ >> 17;
  state_ ^= state_ << 5;
  return state_;
}

Bytes Command(uint16_t client, uint32_t sequence, size_t size) {
  size = std::min(std::max<size_t>(size, 1), kMaxCommandSize);
  const uint8_t head[6] = {static_cast<uint8_t>(client),         static_cast<uint8_t>(client >> 8),
                           static_cast<uint8_t>(sequence),       static_cast<uint8_t>(sequence >> 8),
                           static_cast<uint8_t>(sequence >> 16), static_cast<uint8_t>(sequence >> 24)};
  Bytes command(size);
  const size_t headLength = std::min(size, sizeof head);
  std::copy(head, head + headLength, command.begin());
  FillPattern(&command, headLength, (static_cast<uint32_t>(client) << 20) ^ sequence ^ 0x5A5A5A5Au);
  return command;
}

Bytes Answer(uint8_t keyTag, const Bytes& command) {
  const uint32_t hash = Fnv1a(command);
  Bytes answer(2 + hash % (kMaxAnswerSize - 1));
  Bytes head{keyTag, static_cast<uint8_t>(command.size()), static_cast<uint8_t>(command.size() >> 8)};
  head.insert(head.end(), command.begin(), command.begin() + std::min<size_t>(command.size(), 6));
  const size_t headLength = std::min(answer.size() - 2, head.size());
  std::copy(head.begin(), head.begin() + headLength, answer.begin());
  FillPattern(&answer, headLength, hash ^ keyTag);
  answer[answer.size() - 2] = 0x90;
  answer[answer.size() - 1] = 0x00;
  return answer;
}

}  // namespace soak
}  // namespace tamsu
