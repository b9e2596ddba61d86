// Prints what the browser host adds to a transmit, for 8 B, 256 B and 4 KiB commands, measured in
// turns (each row once per turn): TamsuTransmit from this program, the host's own work per request
// (the request's receipt to its reply, less the TamsuTransmit inside it) and TamsuWebHost.exe's round
// trip through its standard input and output. Each key is a different one of the server's, so no
// row waits for another. Run by tests/browser/run.py --bench, which adds the page's figures; it
// reads the "row SIZE NAME MEDIAN" lines. Not a test: it judges nothing, it measures.
//
//   web_host_bench HOST_EXE EXTENSION ORIGIN PATH_A PATH_B PATH_C [ROUNDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "common/win/unique_resource.h"
#include "tamsu_client.h"
#include "webhost/client_keys.h"
#include "webhost/host_core.h"

namespace {

using tamsu::UniqueHandle;
using tamsu::bench::Median;
using tamsu::bench::Now;
using tamsu::bench::Percentile;
using namespace tamsu::webhost;

constexpr size_t kSizes[] = {8, 256, 4096};
constexpr int kWarmUp = 10;

std::string Hex(size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    const unsigned value = (i * 7 + 3) & 0xFF;
    text += digits[value >> 4];
    text += digits[value & 15];
  }
  return text;
}

std::vector<uint8_t> Bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
  return bytes;
}

// A key path as a JSON string's contents.
std::string Escaped(const char* text) {
  std::string escaped;
  for (; *text; ++text) {
    if (*text == '\\' || *text == '"') escaped += '\\';
    escaped += *text;
  }
  return escaped;
}

// The number after "handle": in a connect reply; 0 when there is none.
unsigned long HandleIn(const std::string& reply) {
  const size_t at = reply.find("\"handle\":");
  return at == std::string::npos ? 0 : std::strtoul(reply.c_str() + at + 9, nullptr, 10);
}

// Forwards to the real keys and adds up the time spent inside TamsuTransmit.
class TimedKeys : public KeyClient {
 public:
  explicit TimedKeys(KeyClient& inner) : inner_(inner) {}
  int32_t List(std::vector<std::string>* paths) override { return inner_.List(paths); }
  int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) override {
    return inner_.Connect(path, timeoutMs, connection);
  }
  int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                   std::vector<uint8_t>* answer) override {
    const double begun = Now();
    const int32_t result = inner_.Transmit(connection, command, timeoutMs, answer);
    transmitMicroseconds += Now() - begun;
    return result;
  }
  int32_t Disconnect(KeyConnection connection) override { return inner_.Disconnect(connection); }
  bool Pin(const PinRequest& request, uint32_t* result) override { return inner_.Pin(request, result); }

  double transmitMicroseconds = 0;

 private:
  KeyClient& inner_;
};

// TamsuWebHost.exe with pipes on its standard input and output, as a browser starts it.
class HostProgram {
 public:
  bool Start(const std::wstring& program, const std::wstring& extension) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, toChild = nullptr, fromChild = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild, &inherit, 0)) return false;
    UniqueHandle ownedChildIn(childIn);
    toChild_.reset(toChild);
    if (!CreatePipe(&fromChild, &childOut, &inherit, 0)) return false;
    UniqueHandle ownedChildOut(childOut);
    fromChild_.reset(fromChild);
    SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + program + L"\" " + extension;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childOut;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      return false;
    }
    process_.reset(info.hProcess);
    UniqueHandle thread(info.hThread);
    return true;
  }

  // One request out, its reply in; false when the pipe breaks.
  bool Call(const std::string& body, std::string* reply) {
    const uint32_t length = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), 4);
    frame += body;
    DWORD done = 0;
    if (!WriteFile(toChild_.get(), frame.data(), static_cast<DWORD>(frame.size()), &done, nullptr)) return false;
    uint32_t replyLength = 0;
    if (!ReadAll(&replyLength, 4) || replyLength > (1u << 20)) return false;
    reply->assign(replyLength, '\0');
    return ReadAll(&(*reply)[0], replyLength);
  }

  // End of input ends the host, which disconnects its keys.
  ~HostProgram() {
    toChild_.reset();
    if (process_ && WaitForSingleObject(process_.get(), 5000) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 1);
  }

 private:
  bool ReadAll(void* buffer, DWORD size) {
    char* at = static_cast<char*>(buffer);
    while (size > 0) {
      DWORD read = 0;
      if (!ReadFile(fromChild_.get(), at, size, &read, nullptr) || read == 0) return false;
      at += read;
      size -= read;
    }
    return true;
  }

  UniqueHandle toChild_, fromChild_, process_;
};

struct Row {
  explicit Row(const char* n) : name(n) {}
  const char* name;
  std::vector<double> times;
  int failed = 0;
};

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: web_host_bench HOST_EXE EXTENSION ORIGIN PATH_A PATH_B PATH_C [ROUNDS]\n");
    return 2;
  }
  const std::string extension = argv[2], origin = argv[3];
  const int rounds = argc > 7 ? std::atoi(argv[7]) : 200;

  TAMSU_KEY direct = nullptr;
  LONG connected = TamsuConnect(argv[4], 5000, &direct);
  if (connected != TAMSU_S_SUCCESS) {
    std::fprintf(stderr, "TamsuConnect %s: %s\n", argv[4], TamsuErrorText(connected));
    return 1;
  }

  WebHostConfig config;
  config.allowedExtensions = {extension};
  config.allowedOrigins = {origin};
  ClientKeys clientKeys(L"");
  TimedKeys timed(clientKeys);
  WebHost core(config, {extension}, timed);
  const std::string prefix = "{\"origin\":\"" + origin + "\",";
  const unsigned long coreHandle =
      HandleIn(core.HandleMessage(prefix + "\"id\":1,\"command\":\"connect\",\"path\":\"" + Escaped(argv[5]) + "\"}"));

  HostProgram program;
  std::string reply;
  const bool started = program.Start(Wide(argv[1]), Wide(argv[2]));
  const unsigned long programHandle =
      started && program.Call(prefix + "\"id\":1,\"command\":\"connect\",\"path\":\"" + Escaped(argv[6]) + "\"}", &reply)
          ? HandleIn(reply)
          : 0;
  if (!coreHandle || !programHandle) {
    std::fprintf(stderr, "the host could not connect: core %lu, program %lu (%s)\n", coreHandle, programHandle,
                 reply.c_str());
    return 1;
  }

  std::printf("Browser host against TamsuTransmit, round trip in microseconds: median [10th-90th percentile], "
              "%d turns\n",
              rounds);
  for (size_t size : kSizes) {
    const std::vector<uint8_t> command = Bytes(size);
    const std::string coreRequest = prefix + "\"id\":2,\"command\":\"transmit\",\"handle\":" +
                                    std::to_string(coreHandle) + ",\"apdu\":\"" + Hex(size) + "\"}";
    const std::string programRequest = prefix + "\"id\":2,\"command\":\"transmit\",\"handle\":" +
                                       std::to_string(programHandle) + ",\"apdu\":\"" + Hex(size) + "\"}";
    Row rows[] = {Row("native"), Row("own"), Row("program")};
    for (int turn = -kWarmUp; turn < rounds; ++turn) {
      uint8_t answer[TAMSU_MAX_COMMAND];
      DWORD answerLength = sizeof answer;
      double begun = Now();
      const LONG sent = TamsuTransmit(direct, command.data(), static_cast<DWORD>(size), answer, &answerLength, 10000);
      const double nativeTime = Now() - begun;

      timed.transmitMicroseconds = 0;
      begun = Now();
      const std::string coreReply = core.HandleMessage(coreRequest);
      const double ownTime = Now() - begun - timed.transmitMicroseconds;

      begun = Now();
      const bool answered = program.Call(programRequest, &reply);
      const double programTime = Now() - begun;
      if (turn < 0) continue;
      if (sent == TAMSU_S_SUCCESS) rows[0].times.push_back(nativeTime); else ++rows[0].failed;
      if (coreReply.find("\"answer\"") != std::string::npos) rows[1].times.push_back(ownTime); else ++rows[1].failed;
      if (answered && reply.find("\"answer\"") != std::string::npos) rows[2].times.push_back(programTime);
      else ++rows[2].failed;
    }
    static const char* const labels[] = {"TamsuTransmit from a program", "host's own work per request",
                                         "TamsuWebHost.exe through its standard I/O"};
    std::printf("%zu B\n", size);
    for (size_t i = 0; i < 3; ++i) {
      std::printf("  %-44s %8.1f [%7.1f-%7.1f]", labels[i], Median(rows[i].times), Percentile(rows[i].times, 0.1),
                  Percentile(rows[i].times, 0.9));
      if (rows[i].failed) std::printf("  %d failed", rows[i].failed);
      std::printf("\n");
    }
    for (const Row& row : rows) std::printf("row %zu %s %.1f %d\n", size, row.name, Median(row.times), row.failed);
  }
  TamsuDisconnect(direct);
  return 0;
}
