// Native messaging's framing: a 32-bit length in the browser's byte order (little-endian on every
// Windows the host runs on), then that many bytes of UTF-8 JSON. No platform calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tamsu {
namespace webhost {

// Longer requests are refused unread: the stream cannot be trusted after one.
constexpr uint32_t kMaxRequestBytes = 64 * 1024;
// Browsers drop the connection on a reply of 1 MiB or more.
constexpr size_t kMaxReplyBytes = 1024 * 1024 - 1;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `size` bytes into `buffer`; 0 only at the end of input (a failed read counts as one).
  virtual size_t Read(uint8_t* buffer, size_t size) = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // All `size` bytes, or false.
  virtual bool Write(const uint8_t* data, size_t size) = 0;
};

enum class ReadResult {
  kMessage,    // `message` holds the body (possibly empty)
  kEnd,        // input ended between messages
  kTruncated,  // input ended inside a length or a body
  kTooLarge,   // the length is above kMaxRequestBytes; nothing of the body was read
};

ReadResult ReadMessage(ByteSource& source, std::string* message);

// Frames `reply`; false, with nothing written, when it is longer than kMaxReplyBytes, or when the
// sink fails.
bool WriteMessage(ByteSink& sink, const std::string& reply);

}  // namespace webhost
}  // namespace tamsu
