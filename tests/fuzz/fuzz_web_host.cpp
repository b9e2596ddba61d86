// TamsuWebHost's framing and requests on any input, against a key client that checks how it is
// used. The first byte picks the caller and whether the rest is a raw stream (framing) or
// message bodies split at 0xFF bytes and framed here (so the JSON and the commands are reached).
// Any reply that is not a well-formed reply, a key left open or disconnected twice, more than 16
// keys open, or a stranger reaching a key aborts.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "webhost/host_core.h"

namespace {

using namespace tamsu::webhost;

void Check(bool condition) {
  if (!condition) std::abort();
}

class CheckingKeys : public KeyClient {
 public:
  CheckingKeys(bool callerAllowed, uint32_t seed) : callerAllowed_(callerAllowed), state_(seed | 1) {}
  int32_t List(std::vector<std::string>* paths) override {
    Touch();
    paths->assign(Next() % 4, "\\\\?\\usbstor#cdrom&ven_varnelle&rev_1.0#" + std::to_string(Next() % 10));
    return Result();
  }
  int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) override {
    Touch();
    Check(!path.empty() && path.find('\0') == std::string::npos && timeoutMs >= 1 && timeoutMs <= 60000);
    Check(open.size() < kMaxOpenHandles);
    const int32_t result = Result();
    if (result == kResultSuccess) {
      *connection = ++last_;
      open.insert(last_);
    }
    return result;
  }
  int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                   std::vector<uint8_t>* answer) override {
    Touch();
    Check(open.count(connection) == 1 && !command.empty() && command.size() <= kMaxCommandBytes);
    Check(timeoutMs >= 1 && timeoutMs <= 60000);
    answer->assign(Next() % 4097, 0x5A);
    return Result();
  }
  int32_t Disconnect(KeyConnection connection) override {
    Touch();
    Check(open.erase(connection) == 1);
    return kResultSuccess;
  }
  bool Pin(const PinRequest&, uint32_t* result) override {
    Touch();
    *result = Next();
    return Next() % 2 == 0;
  }

  std::set<KeyConnection> open;

 private:
  void Touch() const { Check(callerAllowed_); }
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  int32_t Result() {
    static const int32_t kResults[] = {kResultSuccess,  kResultSuccess,     kResultSuccess,
                                       kResultNoReaders, kResultRemovedCard, static_cast<int32_t>(0x80100013u)};
    return kResults[Next() % (sizeof kResults / sizeof kResults[0])];
  }
  bool callerAllowed_;
  uint32_t state_;
  KeyConnection last_ = 0;
};

class Input : public ByteSource {
 public:
  Input(const std::string& bytes) : bytes_(bytes) {}
  size_t Read(uint8_t* buffer, size_t size) override {
    // Uneven reads, as pipes give them.
    size_t n = std::min(size, std::min<size_t>(bytes_.size() - position_, 1 + position_ % 7));
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(bytes_[position_ + i]);
    position_ += n;
    return n;
  }

 private:
  const std::string& bytes_;
  size_t position_ = 0;
};

class Output : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;
};

std::string Frame(const std::string& body) {
  const uint32_t n = static_cast<uint32_t>(body.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)} +
         body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool callerAllowed = (data[0] & 1) == 0;
  const bool framedHere = (data[0] & 2) != 0;
  WebHostConfig config;
  config.allowedExtensions = {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"};
  config.allowedOrigins = {"https://bank.example"};
  config.allowDevelopmentOrigins = (data[0] & 4) != 0;
  config.pinpadLibrary = (data[0] & 8) ? "pinpad.dll" : "";
  const std::vector<std::string> arguments = {
      callerAllowed ? "chrome-extension://abcdefghijklmnopabcdefghijklmnop/" : "chrome-extension://other/",
      "--parent-window=0"};

  std::string stream;
  size_t messages = 0;
  if (framedHere) {
    std::string body;
    for (size_t i = 1; i <= size; ++i) {
      if (i == size || data[i] == 0xFF) {
        stream += Frame(body);
        body.clear();
        ++messages;
      } else {
        body += static_cast<char>(data[i]);
      }
    }
  } else {
    stream.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  }

  CheckingKeys keys(callerAllowed, static_cast<uint32_t>(size) * 2654435761u);
  Output output;
  int exitCode = 0;
  {
    WebHost host(config, arguments, keys);
    Input input(stream);
    exitCode = RunWebHost(host, input, output);
    Check(host.OpenHandles() == 0);
  }
  Check(keys.open.empty());
  Check(exitCode == kExitEndOfInput || exitCode == kExitBroken);

  static const std::set<std::string> kCodes = {
      "bad-request",  "message-too-large", "extension-not-allowed", "origin-not-allowed", "no-service",
      "no-readers",   "unknown-reader",    "key-in-use",            "removed-card",       "timeout",
      "unknown-handle", "too-many-handles", "pin-unavailable",      "internal"};
  Input replies(output.bytes);
  std::string reply;
  size_t count = 0;
  while (ReadMessage(replies, &reply) == ReadResult::kMessage) {
    ++count;
    const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    Check(parsed.is_object() && parsed.size() >= 2 && parsed["ok"].is_boolean());
    Check(parsed["id"].is_null() || (parsed["id"].is_number_unsigned() && parsed["id"] <= (uint64_t{1} << 53) - 1));
    if (parsed["ok"] == false) {
      const std::string code = parsed["error"]["code"];
      Check(kCodes.count(code) == 1);
      Check(callerAllowed || code == "extension-not-allowed");
    } else {
      Check(callerAllowed);
    }
  }
  if (framedHere) Check(exitCode == kExitEndOfInput && count == messages);
  return 0;
}
