#include "webhost/host_core.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "common/version/version.h"

namespace tamsu {
namespace webhost {
namespace {

using Json = nlohmann::json;

const char kChrome[] = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
const char kBank[] = "https://bank.example";

class FakeKeys : public KeyClient {
 public:
  int32_t List(std::vector<std::string>* paths) override {
    *paths = listed;
    return listResult;
  }
  int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) override {
    connectPaths.push_back(path);
    lastTimeoutMs = timeoutMs;
    if (connectResult != kResultSuccess) return connectResult;
    *connection = ++lastConnection;
    open.push_back(lastConnection);
    return kResultSuccess;
  }
  int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                   std::vector<uint8_t>* answer) override {
    lastTimeoutMs = timeoutMs;
    transmittedOn = connection;
    *answer = command;  // echo, then 90 00
    answer->push_back(0x90);
    answer->push_back(0x00);
    return transmitResult;
  }
  int32_t Disconnect(KeyConnection connection) override {
    for (size_t i = 0; i < open.size(); ++i) {
      if (open[i] == connection) {
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
        return kResultSuccess;
      }
    }
    ADD_FAILURE() << "disconnected " << connection << ", which is not open";
    return kResultSuccess;
  }
  bool Pin(const PinRequest& request, uint32_t* result) override {
    lastPin = request;
    *result = pinResult;
    return pinLoads;
  }

  std::vector<std::string> listed;
  int32_t listResult = kResultSuccess, connectResult = kResultSuccess, transmitResult = kResultSuccess;
  std::vector<std::string> connectPaths;
  std::vector<KeyConnection> open;
  KeyConnection lastConnection = 100, transmittedOn = 0;
  uint32_t lastTimeoutMs = 0;
  PinRequest lastPin;
  uint32_t pinResult = 0xA0120004u;
  bool pinLoads = true;
};

WebHostConfig BankConfig() {
  WebHostConfig config;
  config.allowedExtensions = {kChrome, "tamsu@bank.example"};
  config.allowedOrigins = {kBank, "https://other.example:8443"};
  config.pinpadLibrary = "C:\\Bank\\pinpad.dll";
  return config;
}

struct Harness {
  explicit Harness(WebHostConfig config = BankConfig(), std::vector<std::string> arguments = {kChrome})
      : host(config, arguments, keys) {}

  // The reply to `fields` (a JSON object's members) sent with id 7 from `origin`.
  Json Send(const std::string& fields, const std::string& origin = kBank) {
    return Raw(R"({"id":7,"origin":")" + origin + R"(",)" + fields + "}");
  }
  Json Raw(const std::string& body) {
    const std::string reply = host.HandleMessage(body);
    EXPECT_LE(reply.size(), kMaxReplyBytes);
    return Json::parse(reply);
  }
  uint64_t Connect(const std::string& origin = kBank) {
    const Json reply = Send(R"("command":"connect","path":"\\\\?\\key1")", origin);
    EXPECT_TRUE(reply["ok"]) << reply;
    return reply.value("handle", uint64_t{0});
  }

  FakeKeys keys;
  WebHost host;
};

std::string Code(const Json& reply) { return reply["ok"] == false ? reply["error"]["code"].get<std::string>() : "ok"; }

// Byte streams that hand out one byte per read, so every read boundary is crossed.
class Bytes : public ByteSource {
 public:
  explicit Bytes(std::string data) : data_(std::move(data)) {}
  size_t Read(uint8_t* buffer, size_t size) override {
    if (position_ == data_.size() || size == 0) return 0;
    *buffer = static_cast<uint8_t>(data_[position_++]);
    return 1;
  }

 private:
  std::string data_;
  size_t position_ = 0;
};

class Collected : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    if (failing) return false;
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::vector<Json> Replies() const {
    std::vector<Json> replies;
    Bytes source(bytes);
    std::string message;
    while (ReadMessage(source, &message) == ReadResult::kMessage) replies.push_back(Json::parse(message));
    return replies;
  }
  std::string bytes;
  bool failing = false;
};

std::string Frame(const std::string& body, uint32_t length) {
  std::string framed{static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 24)};
  return framed + body;
}
std::string Frame(const std::string& body) { return Frame(body, static_cast<uint32_t>(body.size())); }

TEST(WebHostFraming, WholeMessagesAcrossAnyReads) {
  Bytes source(Frame("{}") + Frame("") + Frame(std::string(kMaxRequestBytes, 'x')));
  std::string message;
  EXPECT_EQ(ReadResult::kMessage, ReadMessage(source, &message));
  EXPECT_EQ("{}", message);
  EXPECT_EQ(ReadResult::kMessage, ReadMessage(source, &message));
  EXPECT_EQ("", message);
  EXPECT_EQ(ReadResult::kMessage, ReadMessage(source, &message));
  EXPECT_EQ(kMaxRequestBytes, message.size());
  EXPECT_EQ(ReadResult::kEnd, ReadMessage(source, &message));
}

TEST(WebHostFraming, CutOrOversizedInput) {
  std::string message;
  Bytes cutLength(std::string("\x05\x00", 2));
  EXPECT_EQ(ReadResult::kTruncated, ReadMessage(cutLength, &message));
  Bytes cutBody(Frame("abc", 5));
  EXPECT_EQ(ReadResult::kTruncated, ReadMessage(cutBody, &message));
  Bytes tooLarge(Frame("x", kMaxRequestBytes + 1));
  EXPECT_EQ(ReadResult::kTooLarge, ReadMessage(tooLarge, &message));
  Bytes huge(Frame("", 0xFFFFFFFFu));
  EXPECT_EQ(ReadResult::kTooLarge, ReadMessage(huge, &message));
}

TEST(WebHostFraming, WriterFramesLittleEndianAndRefusesWhatBrowsersDrop) {
  Collected sink;
  EXPECT_TRUE(WriteMessage(sink, std::string(0x0102, 'a')));
  EXPECT_EQ(std::string("\x02\x01\x00\x00", 4), sink.bytes.substr(0, 4));
  EXPECT_EQ(4u + 0x0102, sink.bytes.size());
  sink.bytes.clear();
  EXPECT_FALSE(WriteMessage(sink, std::string(kMaxReplyBytes + 1, 'a')));
  EXPECT_TRUE(sink.bytes.empty());
  sink.failing = true;
  EXPECT_FALSE(WriteMessage(sink, "{}"));
}

TEST(WebHostOrigin, OneSpellingPerOrigin) {
  const std::pair<const char*, const char*> same[] = {
      {"https://bank.example", "https://bank.example"},  {"HTTPS://Bank.EXAMPLE", "https://bank.example"},
      {"https://bank.example/", "https://bank.example"}, {"https://bank.example:443", "https://bank.example"},
      {"http://localhost:80", "http://localhost"},       {"https://bank.example:00443", "https://bank.example"},
      {"https://bank.example:8443", "https://bank.example:8443"}, {"http://[::1]:3000", "http://[::1]:3000"},
  };
  for (const auto& pair : same) {
    std::string canonical;
    EXPECT_TRUE(CanonicalOrigin(pair.first, &canonical)) << pair.first;
    EXPECT_EQ(pair.second, canonical) << pair.first;
  }
  const char* notOrigins[] = {"bank.example", "ftp://bank.example", "https://", "https://user@bank.example",
                              "https://bank.example/path", "https://bank.example?q", "https://bank.example#f",
                              "https://bank.example//", "https://bank.example:", "https://bank.example:0",
                              "https://bank.example:65536", "https://bank.example:123456", "https://b%61nk.example",
                              "https://bank example", "https://[]", "https://[::1", "null", ""};
  for (const char* text : notOrigins) {
    std::string canonical;
    EXPECT_FALSE(CanonicalOrigin(text, &canonical)) << text;
  }
}

TEST(WebHostOrigin, ListedHttpsOriginsAndDevelopmentOnlyWhenAllowed) {
  WebHostConfig config = BankConfig();
  config.allowedOrigins.push_back("http://insecure.example");  // http is never served from the list
  config.allowedOrigins.push_back("https://*.example");
  Harness strict(config);
  const char* refused[] = {"http://bank.example", "https://bank.example:444", "https://sub.bank.example",
                           "https://x.example", "http://insecure.example", "http://localhost", "https://localhost",
                           "http://127.0.0.1:8080", "https://bank.example/path"};
  for (const char* origin : refused) EXPECT_EQ("origin-not-allowed", Code(strict.Send(R"("command":"version")", origin))) << origin;
  EXPECT_EQ("ok", Code(strict.Send(R"("command":"version")", "https://BANK.example:443/")));
  EXPECT_EQ("ok", Code(strict.Send(R"("command":"version")", "https://other.example:8443")));

  config.allowDevelopmentOrigins = true;
  Harness development(config);
  for (const char* origin : {"http://localhost", "http://localhost:5173", "http://127.0.0.1:8080"}) {
    EXPECT_EQ("ok", Code(development.Send(R"("command":"version")", origin))) << origin;
  }
  for (const char* origin : {"https://localhost", "http://127.0.0.2", "http://localhost.example", "http://[::1]"}) {
    EXPECT_EQ("origin-not-allowed", Code(development.Send(R"("command":"version")", origin))) << origin;
  }

  WebHostConfig empty = BankConfig();
  empty.allowedOrigins.clear();
  Harness nobody(empty);
  EXPECT_EQ("origin-not-allowed", Code(nobody.Send(R"("command":"version")")));
}

TEST(WebHostCaller, BrowsersArgumentsAgainstTheList) {
  const AccessRules rules({"chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP", "tamsu@bank.example"}, {}, false);
  EXPECT_TRUE(rules.CallerAllowed({kChrome}));
  EXPECT_TRUE(rules.CallerAllowed({kChrome, "--parent-window=1234"}));
  EXPECT_TRUE(rules.CallerAllowed({"--parent-window=0", kChrome}));
  EXPECT_TRUE(rules.CallerAllowed({"C:\\Program Files\\Tamsu\\firefox.json", "tamsu@bank.example"}));
  EXPECT_FALSE(rules.CallerAllowed({"chrome-extension://pppppppppppppppppppppppppppppppp/"}));
  EXPECT_FALSE(rules.CallerAllowed({"chrome-extension://abcdefghijklmnopabcdefghijklmnop/x"}));
  EXPECT_FALSE(rules.CallerAllowed({kChrome + std::string("/")}));
  EXPECT_FALSE(rules.CallerAllowed({"C:\\firefox.json", "TAMSU@bank.example"}));
  EXPECT_FALSE(rules.CallerAllowed({"tamsu@bank.example"})) << "Firefox's ID is its second argument";
  EXPECT_FALSE(rules.CallerAllowed({"chrome-extension://other/", "tamsu@bank.example"}));
  EXPECT_FALSE(rules.CallerAllowed({"C:\\firefox.json", kChrome})) << "an ID is never read as a Chrome origin";
  EXPECT_FALSE(rules.CallerAllowed({}));
  EXPECT_FALSE(rules.CallerAllowed({"--parent-window=1"}));
}

TEST(WebHostCaller, UnlistedCallerTouchesNothing) {
  WebHostConfig config = BankConfig();
  Harness stranger(config, {"chrome-extension://pppppppppppppppppppppppppppppppp/"});
  const Json connect = stranger.Send(R"("command":"connect","path":"k")");
  EXPECT_EQ("extension-not-allowed", Code(connect));
  EXPECT_EQ(7u, connect["id"]);
  EXPECT_EQ("extension-not-allowed", Code(stranger.Raw("not json")));
  EXPECT_TRUE(stranger.Raw("")["id"].is_null());
  EXPECT_EQ("extension-not-allowed", Code(stranger.Send(R"("command":"pin")")));
  EXPECT_EQ("extension-not-allowed", Code(Json::parse(stranger.host.TooLargeReply())));
  EXPECT_TRUE(stranger.keys.connectPaths.empty());
}

TEST(WebHostRequests, IdOriginAndCommandSchema) {
  Harness h;
  const std::pair<const char*, const char*> unreadableIds[] = {
      {R"({"origin":"https://bank.example","command":"version"})", "missing"},
      {R"({"id":"7","origin":"https://bank.example","command":"version"})", "string"},
      {R"({"id":7.0,"origin":"https://bank.example","command":"version"})", "float"},
      {R"({"id":-1,"origin":"https://bank.example","command":"version"})", "negative"},
      {R"({"id":9007199254740992,"origin":"https://bank.example","command":"version"})", "2^53"},
      {"[1,2]", "array"}, {"{", "not JSON"}, {"", "empty"}, {"\"\xff\"", "not UTF-8"}};
  for (const auto& body : unreadableIds) {
    const Json reply = h.Raw(body.first);
    EXPECT_EQ("bad-request", Code(reply)) << body.second;
    EXPECT_TRUE(reply["id"].is_null()) << body.second;
  }
  const std::string deep = std::string(kMaxRequestBytes / 2, '[') + std::string(kMaxRequestBytes / 2, ']');
  EXPECT_EQ("bad-request", Code(h.Raw(deep))) << "nesting as deep as a message allows";
  const Json largest = h.Raw(R"({"id":9007199254740991,"origin":"https://bank.example","command":"version"})");
  EXPECT_EQ(9007199254740991u, largest["id"]);
  EXPECT_EQ("bad-request", Code(h.Raw(R"({"id":1,"command":"version"})")));
  EXPECT_EQ("bad-request", Code(h.Raw(R"({"id":1,"origin":5,"command":"version"})")));
  EXPECT_EQ("bad-request", Code(h.Raw(R"({"id":1,"origin":"https://bank.example"})")));
  EXPECT_EQ("bad-request", Code(h.Send(R"("command":"erase")")));
  EXPECT_EQ(7u, h.Send(R"("command":"erase")")["id"]);
}

TEST(WebHostCommands, VersionAndList) {
  Harness h;
  const Json version = h.Send(R"("command":"version","extra":true)");
  EXPECT_EQ(TAMSU_VERSION_STRING, version["version"]);
  EXPECT_EQ(1, version["protocol"]);
  h.keys.listed = {"\\\\?\\key1", "\\\\?\\key2"};
  EXPECT_EQ(h.keys.listed, h.Send(R"("command":"list")")["keys"].get<std::vector<std::string>>());
  h.keys.listResult = kResultNoReaders;
  EXPECT_EQ(Json::array(), h.Send(R"("command":"list")")["keys"]);
  h.keys.listResult = kResultNoService;
  const Json down = h.Send(R"("command":"list")");
  EXPECT_EQ("no-service", Code(down));
  EXPECT_EQ(0x8010001Du, down["error"]["scard"]);
  h.keys.listResult = kResultSuccess;
  h.keys.listed.assign(20000, std::string(60, 'p'));  // would make a reply above 1 MiB
  EXPECT_EQ("internal", Code(h.Send(R"("command":"list")")));
}

TEST(WebHostCommands, ResultsMapToCodes) {
  const std::pair<int32_t, const char*> table[] = {
      {kResultNoService, "no-service"},  {kResultNoReaders, "no-readers"},      {kResultUnknownReader, "unknown-reader"},
      {kResultSharingViolation, "key-in-use"}, {kResultRemovedCard, "removed-card"}, {kResultTimeout, "timeout"},
      {static_cast<int32_t>(0x80100013u), "internal"}, {-1, "internal"}};
  for (const auto& entry : table) EXPECT_STREQ(entry.second, ErrorCodeForResult(entry.first));
  Harness h;
  h.keys.connectResult = kResultSharingViolation;
  const Json busy = h.Send(R"("command":"connect","path":"k")");
  EXPECT_EQ("key-in-use", Code(busy));
  EXPECT_EQ(0x8010000Bu, busy["error"]["scard"]);
  EXPECT_EQ(0u, h.host.OpenHandles());
}

TEST(WebHostCommands, ConnectAndTransmitFields) {
  Harness h;
  EXPECT_EQ("ok", Code(h.Send(R"("command":"connect","path":"k")")));
  EXPECT_EQ(5000u, h.keys.lastTimeoutMs);
  EXPECT_EQ("ok", Code(h.Send(R"("command":"connect","path":"k","timeoutMs":60000)")));
  EXPECT_EQ(60000u, h.keys.lastTimeoutMs);
  for (const char* bad : {R"("path":"k","timeoutMs":0)", R"("path":"k","timeoutMs":60001)",
                          R"("path":"k","timeoutMs":"5")", R"("path":"k","timeoutMs":1.5)", R"("path":"")",
                          R"("path":7)", R"("path":"a\u0000b")", "\"x\":1"}) {
    EXPECT_EQ("bad-request", Code(h.Send(std::string(R"("command":"connect",)") + bad))) << bad;
  }
  EXPECT_EQ(2u, h.keys.connectPaths.size()) << "no malformed connect reaches a key";

  const uint64_t handle = h.Connect();
  const std::string on = R"("command":"transmit","handle":)" + std::to_string(handle) + ",";
  const Json answer = h.Raw(R"({"id":1,"origin":"https://bank.example",)" + on + R"("apdu":"00a4Ff"})");
  EXPECT_EQ("00A4FF9000", answer["answer"]);
  EXPECT_EQ(30000u, h.keys.lastTimeoutMs);
  EXPECT_EQ(h.keys.lastConnection, h.keys.transmittedOn);
  EXPECT_EQ("ok", Code(h.Send(on + R"("apdu":")" + std::string(8192, 'F') + R"(","timeoutMs":1)")));
  EXPECT_EQ(1u, h.keys.lastTimeoutMs);
  for (const std::string& apdu : {std::string(), std::string("0"), std::string("0G"), std::string(" 00"),
                                  std::string(8194, 'F')}) {
    EXPECT_EQ("bad-request", Code(h.Send(on + R"("apdu":")" + apdu + "\""))) << apdu.size();
  }
  EXPECT_EQ("bad-request", Code(h.Send(on + R"("apdu":"00","timeoutMs":60001)")));
  EXPECT_EQ("bad-request", Code(h.Send(on + R"("apdu":[0])")));
  h.keys.transmitResult = kResultRemovedCard;
  EXPECT_EQ("removed-card", Code(h.Send(on + R"("apdu":"00")")));
}

TEST(WebHostCommands, PinFieldsAndAvailability) {
  Harness h;
  const std::string pin = R"("command":"pin","indicator":4294967295,"layout":65535,"keySelector":3,"words":[1,2,3,4])";
  const Json reply = h.Send(pin);
  EXPECT_EQ(0xA0120004u, reply["result"]);
  EXPECT_EQ(0xFFFFFFFFu, h.keys.lastPin.indicator);
  EXPECT_EQ(0xFFFFu, h.keys.lastPin.layout);
  EXPECT_EQ(3u, h.keys.lastPin.keySelector);
  EXPECT_EQ(4u, h.keys.lastPin.words[3]);
  for (const char* bad : {R"("indicator":0,"layout":65536,"keySelector":0,"words":[0,0,0,0])",
                          R"("indicator":4294967296,"layout":0,"keySelector":0,"words":[0,0,0,0])",
                          R"("layout":0,"keySelector":0,"words":[0,0,0,0])",
                          R"("indicator":0,"layout":0,"keySelector":0,"words":[0,0,0])",
                          R"("indicator":0,"layout":0,"keySelector":0,"words":[0,0,0,-1])",
                          R"("indicator":0,"layout":0,"keySelector":true,"words":[0,0,0,0])"}) {
    EXPECT_EQ("bad-request", Code(h.Send(std::string(R"("command":"pin",)") + bad))) << bad;
  }
  h.keys.pinResult = 0xE011FFFFu;  // the entry's code for a pinpad library that does not load
  EXPECT_EQ("pin-unavailable", Code(h.Send(pin)));
  h.keys.pinLoads = false;
  EXPECT_EQ("pin-unavailable", Code(h.Send(pin)));
  WebHostConfig noLibrary = BankConfig();
  noLibrary.pinpadLibrary.clear();
  Harness unconfigured(noLibrary);
  EXPECT_EQ("pin-unavailable", Code(unconfigured.Send(pin)));
  EXPECT_EQ(0u, unconfigured.keys.lastPin.indicator) << "no entry runs without a configured library";
}

TEST(WebHostHandles, LimitOwnershipAndStaleHandles) {
  Harness h;
  std::vector<uint64_t> handles;
  for (size_t i = 0; i < kMaxOpenHandles; ++i) handles.push_back(h.Connect(i % 2 ? kBank : "https://other.example:8443"));
  EXPECT_EQ("too-many-handles", Code(h.Send(R"("command":"connect","path":"any")")));
  EXPECT_EQ(kMaxOpenHandles, h.keys.connectPaths.size()) << "the 17th touched a key";

  const std::string other = "https://other.example:8443";
  const std::string mine = std::to_string(handles[1]);  // opened by the bank's page
  EXPECT_EQ("unknown-handle", Code(h.Send(R"("command":"transmit","apdu":"00","handle":)" + mine, other)));
  EXPECT_EQ("unknown-handle", Code(h.Send(R"("command":"disconnect","handle":)" + mine, other)));
  for (const char* never : {"999", "-1", "18446744073709551615"}) {
    EXPECT_EQ("unknown-handle", Code(h.Send(std::string(R"("command":"disconnect","handle":)") + never))) << never;
  }
  EXPECT_EQ("bad-request", Code(h.Send(R"("command":"disconnect","handle":")" + mine + "\"")));
  EXPECT_EQ("bad-request", Code(h.Send(R"("command":"disconnect","handle":1.0)")));

  EXPECT_EQ("ok", Code(h.Send(R"("command":"disconnect","handle":)" + mine)));
  EXPECT_EQ(kMaxOpenHandles - 1, h.keys.open.size());
  EXPECT_EQ("unknown-handle", Code(h.Send(R"("command":"transmit","apdu":"00","handle":)" + mine)));
  const uint64_t next = h.Connect();
  EXPECT_GT(next, handles.back()) << "a handle is never given twice";
}

TEST(WebHostRun, EndOfInputDisconnectsEveryKey) {
  Harness h;
  const std::string connect = R"({"id":1,"origin":"https://bank.example","command":"connect","path":"k"})";
  Bytes input(Frame(connect) + Frame(connect) + Frame("") + Frame(R"({"id":2,"origin":"https://bank.example","command":"version"})"));
  Collected output;
  EXPECT_EQ(kExitEndOfInput, RunWebHost(h.host, input, output));
  const std::vector<Json> replies = output.Replies();
  ASSERT_EQ(4u, replies.size());
  EXPECT_EQ("bad-request", Code(replies[2])) << "an empty message is answered and the host goes on";
  EXPECT_EQ("ok", Code(replies[3]));
  EXPECT_TRUE(h.keys.open.empty());
  EXPECT_EQ(0u, h.host.OpenHandles());
}

TEST(WebHostRun, BrokenStreamsEndWithOne) {
  const std::string connect = Frame(R"({"id":1,"origin":"https://bank.example","command":"connect","path":"k"})");
  const struct {
    std::string tail;
    const char* lastCode;  // of the last reply: the connect's, or the oversized message's
    size_t replies;
  } cases[] = {{Frame("{}", 3), "ok", 1},
               {std::string("\x01", 1), "ok", 1},
               {Frame("", kMaxRequestBytes + 1) + Frame("{}"), "message-too-large", 2}};
  for (const auto& c : cases) {
    Harness h;
    Bytes input(connect + c.tail);
    Collected output;
    EXPECT_EQ(kExitBroken, RunWebHost(h.host, input, output));
    EXPECT_TRUE(h.keys.open.empty());
    const std::vector<Json> replies = output.Replies();
    ASSERT_EQ(c.replies, replies.size()) << "nothing after the broken frame is served";
    EXPECT_EQ(c.lastCode, Code(replies.back()));
    EXPECT_TRUE(c.replies == 1 || replies.back()["id"].is_null());
  }
  Harness gone;
  Bytes input(connect + connect);
  Collected output;
  output.failing = true;
  EXPECT_EQ(kExitBroken, RunWebHost(gone.host, input, output));
  EXPECT_EQ(1u, gone.keys.connectPaths.size()) << "nothing more is served once replies cannot be written";
  EXPECT_TRUE(gone.keys.open.empty());
}

}  // namespace
}  // namespace webhost
}  // namespace tamsu
