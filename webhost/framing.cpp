#include "webhost/framing.h"

namespace tamsu {
namespace webhost {
namespace {

// Bytes read so far; a source may hand out fewer than asked at each read.
size_t ReadFully(ByteSource& source, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t got = source.Read(buffer + done, size - done);
    if (got == 0 || got > size - done) break;
    done += got;
  }
  return done;
}

}  // namespace

ReadResult ReadMessage(ByteSource& source, std::string* message) {
  message->clear();
  uint8_t prefix[4];
  const size_t got = ReadFully(source, prefix, sizeof prefix);
  if (got == 0) return ReadResult::kEnd;
  if (got < sizeof prefix) return ReadResult::kTruncated;
  const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                          static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
  if (length > kMaxRequestBytes) return ReadResult::kTooLarge;
  message->resize(length);
  if (ReadFully(source, reinterpret_cast<uint8_t*>(&(*message)[0]), length) < length) {
    message->clear();
    return ReadResult::kTruncated;
  }
  return ReadResult::kMessage;
}

bool WriteMessage(ByteSink& sink, const std::string& reply) {
  if (reply.size() > kMaxReplyBytes) return false;
  const uint32_t length = static_cast<uint32_t>(reply.size());
  const uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  return sink.Write(prefix, sizeof prefix) &&
         (reply.empty() || sink.Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()));
}

}  // namespace webhost
}  // namespace tamsu
