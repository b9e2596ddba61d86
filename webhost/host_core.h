// TamsuWebHost's requests and replies, the handles, and the loop over the framed messages. The
// Win32 side supplies the configuration, the arguments, the byte streams and a KeyClient; every
// decision is made here. No platform calls, and no exception leaves this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "webhost/access.h"
#include "webhost/framing.h"

namespace tamsu {
namespace webhost {

// TamsuClient's results that pages tell apart (the values of tamsu_client.h, which needs windows.h).
constexpr int32_t kResultSuccess = 0;
constexpr int32_t kResultUnknownReader = static_cast<int32_t>(0x80100009u);
constexpr int32_t kResultTimeout = static_cast<int32_t>(0x8010000Au);
constexpr int32_t kResultSharingViolation = static_cast<int32_t>(0x8010000Bu);
constexpr int32_t kResultNoService = static_cast<int32_t>(0x8010001Du);
constexpr int32_t kResultNoReaders = static_cast<int32_t>(0x8010002Eu);
constexpr int32_t kResultRemovedCard = static_cast<int32_t>(0x80100069u);

constexpr uint32_t kMaxCommandBytes = 4096;
constexpr uint32_t kMaxTimeoutMs = 60000;
constexpr uint32_t kDefaultConnectTimeoutMs = 5000;
constexpr uint32_t kDefaultTransmitTimeoutMs = 30000;
constexpr size_t kMaxOpenHandles = 16;
constexpr int kProtocolVersion = 1;

constexpr int kExitEndOfInput = 0;
constexpr int kExitBroken = 1;  // too large a message, input cut inside one, or replies that cannot be written

// The machine's configuration, read by the Win32 side at start (all strings UTF-8).
struct WebHostConfig {
  std::vector<std::string> allowedExtensions;
  std::vector<std::string> allowedOrigins;
  std::string pinpadLibrary;  // empty: no PIN entry
  bool allowDevelopmentOrigins = false;
};

// vdInputPin's arguments that a page gives; the owner window is none and the library the configured one.
struct PinRequest {
  uint32_t indicator = 0;
  uint16_t layout = 0;
  uint32_t keySelector = 0;
  uint32_t words[4] = {0, 0, 0, 0};
};

// The client's own token for an open key (a TAMSU_KEY on Windows); the host never reads it.
using KeyConnection = uintptr_t;

// The key operations, with TamsuClient's results. Implementations return codes and never throw.
class KeyClient {
 public:
  virtual ~KeyClient() = default;
  // The keys' device paths, as TamsuListKeys gives them.
  virtual int32_t List(std::vector<std::string>* paths) = 0;
  virtual int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) = 0;
  // The whole answer, status word included.
  virtual int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                           std::vector<uint8_t>* answer) = 0;
  virtual int32_t Disconnect(KeyConnection connection) = 0;
  // vdInputPin's result with the configured library; false when the PIN entry itself cannot be loaded.
  virtual bool Pin(const PinRequest& request, uint32_t* result) = 0;
};

// The error code a page sees for a TamsuClient result other than success.
const char* ErrorCodeForResult(int32_t result);

class WebHost {
 public:
  // `arguments`: the program's, without its name. `keys` must outlive the host.
  WebHost(const WebHostConfig& config, const std::vector<std::string>& arguments, KeyClient& keys);
  ~WebHost();  // disconnects every key still open
  WebHost(const WebHost&) = delete;
  WebHost& operator=(const WebHost&) = delete;

  // One request's body in, its reply's JSON out, never longer than kMaxReplyBytes.
  std::string HandleMessage(const std::string& body);
  // The reply to a message above kMaxRequestBytes (id null; an unlisted caller still learns only
  // extension-not-allowed).
  std::string TooLargeReply() const;
  void DisconnectAll();
  size_t OpenHandles() const { return handles_.size(); }

 private:
  struct OpenKey {
    std::string origin;
    KeyConnection connection;
  };
  std::string Dispatch(const std::string& body);

  AccessRules rules_;
  bool callerAllowed_;
  bool pinConfigured_;
  KeyClient& keys_;
  std::map<uint64_t, OpenKey> handles_;
  uint64_t nextHandle_ = 1;
};

// Serves framed requests until the input ends; the process's exit code (kExitEndOfInput or
// kExitBroken). Every key is disconnected before it returns.
int RunWebHost(WebHost& host, ByteSource& input, ByteSink& output);

}  // namespace webhost
}  // namespace tamsu
