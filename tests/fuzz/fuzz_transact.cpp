// The transaction against a key that answers anything: whatever the key's frames, failures and
// reported byte counts, the channel asks for at most the answer buffer, copies at most the caller's
// buffer, and reports success only with a whole answer: one the key delivered, all 2 + L bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/device/device_result.h"
#include "service/device/key_transaction.h"

namespace {

class FuzzedKey : public tamsu::PassThroughPort {
 public:
  FuzzedKey(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint32_t PassThroughOut(const uint8_t*, size_t, uint32_t, const void*) override {
    return Next() % 5 == 0 ? tamsu::kScardENotReady : 0;
  }
  uint32_t PassThroughIn(const uint8_t*, size_t, uint32_t length, void* data, uint32_t* delivered) override {
    if (length > tamsu::kAnswerBufferSize) std::abort();  // asked for more than the buffer holds
    if (Next() % 7 == 0) return tamsu::kScardENotReady;
    // Mostly the whole transfer; at times fewer bytes, or a count above what was asked.
    uint32_t count = length;
    if (Next() % 3 == 0) {
      const uint32_t high = Next();
      count = (high << 8 | Next()) % (length + 8);
    }
    auto* out = static_cast<uint8_t*>(data);
    last.clear();
    for (uint32_t i = 0; i < count && i < length; ++i) last.push_back(out[i] = Next());
    *delivered = count;
    return 0;
  }

  std::vector<uint8_t> last;  // the bytes the last receive really wrote

 private:
  uint8_t Next() { return size_ ? data_[position_++ % size_] : 0; }
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t commandLength = (data[0] | data[1] << 8) % 4097;
  const uint32_t capacity = data[2] * 17u;
  data += 3;
  size -= 3;
  std::vector<uint8_t> command(commandLength);
  for (size_t i = 0; i < commandLength && size; ++i) command[i] = data[i % size];
  std::vector<uint8_t> answer(capacity);  // exact size: ASan sees any copy past it
  FuzzedKey key(data, size);
  uint32_t length = capacity;
  const uint32_t result =
      tamsu::Transact(key, command.data(), static_cast<uint32_t>(commandLength), answer.data(), &length);
  if (result != 0 && result != tamsu::kScardENotReady) std::abort();
  if (result == 0 && (length > capacity || length + 2 > tamsu::kAnswerBufferSize)) std::abort();
  // Success means the last receive wrote the whole frame; the answer is its bytes after the length.
  if (result == 0 && key.last.size() < length + 2) std::abort();
  if (result == 0 && length && std::memcmp(answer.data(), key.last.data() + 2, length) != 0) std::abort();
  return 0;
}
