#include "webhost/host_core.h"

#include <nlohmann/json.hpp>

#include "common/version/version.h"
#include "pinentry/pinentry_logic.h"

namespace tamsu {
namespace webhost {
namespace {

using Json = nlohmann::json;
using Reply = nlohmann::ordered_json;  // keeps "id" and "ok" first, for people reading logs

constexpr uint64_t kMaxId = (uint64_t{1} << 53) - 1;  // the largest integer every page's JavaScript holds exactly
constexpr uint32_t kMaxU32 = 0xFFFFFFFFu;

// Used when even building a reply failed.
constexpr char kLastResortReply[] =
    R"({"id":null,"ok":false,"error":{"code":"internal","message":"The host could not build its reply."}})";

struct Id {
  bool readable = false;
  uint64_t value = 0;
};

Id ReadId(const Json& request) {
  Id id;
  if (!request.is_object()) return id;
  const auto field = request.find("id");
  if (field != request.end() && field->is_number_unsigned() && field->get<uint64_t>() <= kMaxId) {
    id.readable = true;
    id.value = field->get<uint64_t>();
  }
  return id;
}

Reply Start(const Id& id, bool ok) {
  Reply reply = Reply::object();
  if (id.readable) {
    reply["id"] = id.value;
  } else {
    reply["id"] = nullptr;
  }
  reply["ok"] = ok;
  return reply;
}

const char* MessageFor(const std::string& code) {
  static const struct {
    const char* code;
    const char* message;
  } kMessages[] = {
      {"message-too-large", "The message is longer than 65536 bytes."},
      {"extension-not-allowed", "This extension may not use the key."},
      {"origin-not-allowed", "This page's origin may not use the key."},
      {"no-service", "The Tamsu service is not running."},
      {"no-readers", "No key is present."},
      {"unknown-reader", "No key with this path is present."},
      {"key-in-use", "The key is in use by another program."},
      {"removed-card", "The key was removed, or the command failed on it; connect again."},
      {"timeout", "The key did not answer in time; connect again."},
      {"unknown-handle", "This page holds no key with this handle."},
      {"too-many-handles", "Too many keys are open; disconnect one first."},
      {"pin-unavailable", "No PIN entry is available on this computer."},
  };
  for (const auto& entry : kMessages) {
    if (code == entry.code) return entry.message;
  }
  return "The host failed.";
}

Reply Error(const Id& id, const char* code, const std::string& message = std::string()) {
  Reply reply = Start(id, false);
  reply["error"] = {{"code", code}, {"message", message.empty() ? MessageFor(code) : message}};
  return reply;
}

Reply ResultError(const Id& id, int32_t result) {
  Reply reply = Error(id, ErrorCodeForResult(result));
  // As the unsigned value PC/SC's documentation shows (0x8010001D, not a negative number).
  reply["error"]["scard"] = static_cast<uint32_t>(result);
  return reply;
}

std::string Serialise(const Reply& reply) {
  // Strings the host did not check (key paths) may hold bytes that are not UTF-8: replaced, not thrown.
  std::string text = reply.dump(-1, ' ', false, Reply::error_handler_t::replace);
  if (text.size() > kMaxReplyBytes) {
    const auto& idField = reply.at("id");
    const Id id{idField.is_number_unsigned(), idField.is_number_unsigned() ? idField.get<uint64_t>() : 0};
    text = Error(id, "internal", "The reply would be longer than the browser takes.").dump();
  }
  return text;
}

// The fields' readers: false, with `problem` set, when the field breaks the schema.
bool ReadUnsigned(const Json& request, const char* name, uint64_t low, uint64_t high, const uint64_t* fallback,
                  uint64_t* value, std::string* problem) {
  const auto field = request.find(name);
  if (field == request.end() && fallback) {
    *value = *fallback;
    return true;
  }
  if (field == request.end() || !field->is_number_unsigned() || field->get<uint64_t>() < low ||
      field->get<uint64_t>() > high) {
    *problem = std::string(name) + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high) +
               ".";
    return false;
  }
  *value = field->get<uint64_t>();
  return true;
}

bool ReadTimeout(const Json& request, uint32_t fallback, uint32_t* timeoutMs, std::string* problem) {
  const uint64_t defaultValue = fallback;
  uint64_t value = 0;
  if (!ReadUnsigned(request, "timeoutMs", 1, kMaxTimeoutMs, &defaultValue, &value, problem)) return false;
  *timeoutMs = static_cast<uint32_t>(value);
  return true;
}

// A handle is any JSON integer; one that no key has is unknown, not malformed.
bool ReadHandle(const Json& request, bool* known, uint64_t* handle, std::string* problem) {
  const auto field = request.find("handle");
  if (field == request.end() || !field->is_number_integer()) {
    *problem = "handle must be an integer.";
    return false;
  }
  *known = field->is_number_unsigned();
  *handle = *known ? field->get<uint64_t>() : 0;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadApdu(const Json& request, std::vector<uint8_t>* apdu, std::string* problem) {
  const auto field = request.find("apdu");
  *problem = "apdu must be hex of 1 to " + std::to_string(kMaxCommandBytes) + " bytes.";
  if (field == request.end() || !field->is_string()) return false;
  const std::string& text = field->get_ref<const std::string&>();
  if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * kMaxCommandBytes) return false;
  apdu->clear();
  apdu->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    apdu->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

bool ReadPin(const Json& request, PinRequest* pin, std::string* problem) {
  uint64_t value = 0;
  if (!ReadUnsigned(request, "indicator", 0, kMaxU32, nullptr, &value, problem)) return false;
  pin->indicator = static_cast<uint32_t>(value);
  if (!ReadUnsigned(request, "layout", 0, 0xFFFF, nullptr, &value, problem)) return false;
  pin->layout = static_cast<uint16_t>(value);
  if (!ReadUnsigned(request, "keySelector", 0, kMaxU32, nullptr, &value, problem)) return false;
  pin->keySelector = static_cast<uint32_t>(value);
  const auto words = request.find("words");
  if (words == request.end() || !words->is_array() || words->size() != 4) {
    *problem = "words must be an array of 4 integers from 0 to 4294967295.";
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    const Json& word = (*words)[i];
    if (!word.is_number_unsigned() || word.get<uint64_t>() > kMaxU32) {
      *problem = "words must be an array of 4 integers from 0 to 4294967295.";
      return false;
    }
    pin->words[i] = static_cast<uint32_t>(word.get<uint64_t>());
  }
  return true;
}

}  // namespace

const char* ErrorCodeForResult(int32_t result) {
  switch (result) {
    case kResultNoService: return "no-service";
    case kResultNoReaders: return "no-readers";
    case kResultUnknownReader: return "unknown-reader";
    case kResultSharingViolation: return "key-in-use";
    case kResultRemovedCard: return "removed-card";
    case kResultTimeout: return "timeout";
    default: return "internal";
  }
}

WebHost::WebHost(const WebHostConfig& config, const std::vector<std::string>& arguments, KeyClient& keys)
    : rules_(config.allowedExtensions, config.allowedOrigins, config.allowDevelopmentOrigins),
      callerAllowed_(rules_.CallerAllowed(arguments)),
      pinConfigured_(!config.pinpadLibrary.empty()),
      keys_(keys) {}

WebHost::~WebHost() { DisconnectAll(); }

void WebHost::DisconnectAll() {
  for (const auto& entry : handles_) keys_.Disconnect(entry.second.connection);
  handles_.clear();
}

std::string WebHost::TooLargeReply() const {
  try {
    return Serialise(Error(Id(), callerAllowed_ ? "message-too-large" : "extension-not-allowed"));
  } catch (...) {
    return kLastResortReply;
  }
}

std::string WebHost::HandleMessage(const std::string& body) {
  try {
    return Dispatch(body);
  } catch (...) {
    return kLastResortReply;
  }
}

std::string WebHost::Dispatch(const std::string& body) {
  const Json request = Json::parse(body, nullptr, false);
  const Id id = ReadId(request);
  // An extension that is not listed learns nothing else, whatever it sends.
  if (!callerAllowed_) return Serialise(Error(id, "extension-not-allowed"));
  if (request.is_discarded()) return Serialise(Error(id, "bad-request", "The message is not JSON."));
  if (!request.is_object()) return Serialise(Error(id, "bad-request", "The request is not a JSON object."));
  if (!id.readable) {
    return Serialise(Error(id, "bad-request", "id must be an integer from 0 to 9007199254740991."));
  }
  const auto originField = request.find("origin");
  if (originField == request.end() || !originField->is_string()) {
    return Serialise(Error(id, "bad-request", "origin must be a string."));
  }
  std::string origin;
  if (!rules_.OriginAllowed(originField->get_ref<const std::string&>(), &origin)) {
    return Serialise(Error(id, "origin-not-allowed"));
  }
  const auto commandField = request.find("command");
  if (commandField == request.end() || !commandField->is_string()) {
    return Serialise(Error(id, "bad-request", "command must be a string."));
  }
  const std::string& command = commandField->get_ref<const std::string&>();
  std::string problem;

  if (command == "version") {
    Reply reply = Start(id, true);
    reply["version"] = TAMSU_VERSION_STRING;
    reply["protocol"] = kProtocolVersion;
    return Serialise(reply);
  }

  if (command == "list") {
    std::vector<std::string> paths;
    const int32_t result = keys_.List(&paths);
    // TamsuListKeys reports an empty list as an error; a page sees an empty array.
    if (result == kResultNoReaders) paths.clear();
    else if (result != kResultSuccess) return Serialise(ResultError(id, result));
    Reply reply = Start(id, true);
    reply["keys"] = paths;
    return Serialise(reply);
  }

  if (command == "connect") {
    const auto pathField = request.find("path");
    // TamsuConnect takes a C string: a path cut short at a NUL would name another key.
    if (pathField == request.end() || !pathField->is_string() || pathField->get_ref<const std::string&>().empty() ||
        pathField->get_ref<const std::string&>().find('\0') != std::string::npos) {
      return Serialise(Error(id, "bad-request", "path must be a non-empty string."));
    }
    uint32_t timeoutMs = 0;
    if (!ReadTimeout(request, kDefaultConnectTimeoutMs, &timeoutMs, &problem)) {
      return Serialise(Error(id, "bad-request", problem));
    }
    if (handles_.size() >= kMaxOpenHandles) return Serialise(Error(id, "too-many-handles"));
    if (nextHandle_ > kMaxId) return Serialise(Error(id, "internal", "No handle is left for this host."));
    KeyConnection connection = 0;
    const int32_t result = keys_.Connect(pathField->get_ref<const std::string&>(), timeoutMs, &connection);
    if (result != kResultSuccess) return Serialise(ResultError(id, result));
    const uint64_t handle = nextHandle_;
    try {
      handles_.emplace(handle, OpenKey{origin, connection});
    } catch (...) {
      keys_.Disconnect(connection);
      throw;
    }
    ++nextHandle_;  // never reused, so a stale handle cannot reach a later connection
    Reply reply = Start(id, true);
    reply["handle"] = handle;
    return Serialise(reply);
  }

  if (command == "transmit" || command == "disconnect") {
    bool known = false;
    uint64_t handle = 0;
    if (!ReadHandle(request, &known, &handle, &problem)) return Serialise(Error(id, "bad-request", problem));
    std::vector<uint8_t> apdu;
    uint32_t timeoutMs = 0;
    if (command == "transmit") {
      if (!ReadApdu(request, &apdu, &problem) ||
          !ReadTimeout(request, kDefaultTransmitTimeoutMs, &timeoutMs, &problem)) {
        return Serialise(Error(id, "bad-request", problem));
      }
    }
    const auto open = known ? handles_.find(handle) : handles_.end();
    // Another page's handle is as unknown as one never given.
    if (open == handles_.end() || open->second.origin != origin) return Serialise(Error(id, "unknown-handle"));
    if (command == "disconnect") {
      const KeyConnection connection = open->second.connection;
      handles_.erase(open);
      const int32_t result = keys_.Disconnect(connection);
      return Serialise(result == kResultSuccess ? Start(id, true) : ResultError(id, result));
    }
    std::vector<uint8_t> answer;
    const int32_t result = keys_.Transmit(open->second.connection, apdu, timeoutMs, &answer);
    if (result != kResultSuccess) return Serialise(ResultError(id, result));
    Reply reply = Start(id, true);
    reply["answer"] = Hex(answer);
    return Serialise(reply);
  }

  if (command == "pin") {
    PinRequest pin;
    if (!ReadPin(request, &pin, &problem)) return Serialise(Error(id, "bad-request", problem));
    uint32_t result = 0;
    // The entry's own code for a library that does not load, or lacks the pinpad's entry points,
    // is the same condition as no library: the page learns it cannot enter a PIN here.
    if (!pinConfigured_ || !keys_.Pin(pin, &result) || result == pinentry::kPinpadMissing) {
      return Serialise(Error(id, "pin-unavailable"));
    }
    Reply reply = Start(id, true);
    reply["result"] = result;
    return Serialise(reply);
  }

  return Serialise(Error(id, "bad-request", "Unknown command."));
}

int RunWebHost(WebHost& host, ByteSource& input, ByteSink& output) {
  int exitCode = kExitBroken;
  try {
    std::string message;
    for (;;) {
      const ReadResult read = ReadMessage(input, &message);
      if (read == ReadResult::kEnd) {
        exitCode = kExitEndOfInput;
        break;
      }
      if (read == ReadResult::kTruncated) break;
      if (read == ReadResult::kTooLarge) {
        WriteMessage(output, host.TooLargeReply());
        break;
      }
      // A reader gone away gets nothing more; its keys are let go below.
      if (!WriteMessage(output, host.HandleMessage(message))) break;
    }
  } catch (...) {
    exitCode = kExitBroken;
  }
  host.DisconnectAll();
  return exitCode;
}

}  // namespace webhost
}  // namespace tamsu
