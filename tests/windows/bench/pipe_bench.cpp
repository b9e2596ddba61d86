// Prints round-trip figures of the pipes: an APDU through a device pipe against a bare message-mode
// pipe echo of the same size, with rows that split the difference (overlapped waits, the key's
// transaction), TamsuTransmit (the client library as shipped) against a raw exchange through the same
// server, and list requests with 1 and 8 simulated keys. Not a test: it judges nothing, it measures.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "service/device/device_channel.h"
#include "service/device/pass_through_record.h"
#include "service/pipes/pipe_server.h"
#include "process/child_process.h"
#include "simkey/sim_key.h"
#include "tamsu_client.h"

#include <psapi.h>

namespace {

using tamsu::UniqueFileHandle;
using tamsu::testing_support::ChildProcess;
using tamsu::testing_support::DistPath;
using tamsu::testing_support::ChildrenOfSameName;
using Bytes = std::vector<uint8_t>;

constexpr int kWarmUp = 20;
constexpr int kRounds = 400;

using tamsu::bench::Median;
using tamsu::bench::Now;
using tamsu::bench::Percentile;

HANDLE OpenMessagePipe(const wchar_t* name) {
  for (int i = 0; i < 500; ++i) {
    HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
      return pipe;
    }
    WaitNamedPipeW(name, 20);
    Sleep(10);
  }
  return INVALID_HANDLE_VALUE;
}

// One message out and one message back, as every client does; false when either failed.
bool Exchange(HANDLE pipe, const Bytes& message) {
  static uint8_t reply[8192];
  DWORD written = 0, read = 0;
  return WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
         ReadFile(pipe, reply, sizeof reply, &read, nullptr) && read > 0;
}

// Median microseconds of an exchange; negative when one failed.
double RoundTrip(HANDLE pipe, const Bytes& message) {
  std::vector<double> times;
  for (int i = 0; i < kWarmUp + kRounds; ++i) {
    const double start = Now();
    if (!Exchange(pipe, message)) return -1;
    if (i >= kWarmUp) times.push_back(Now() - start);
  }
  return Median(times);
}

// The reference: a bare message-mode echo for one client, with blocking calls.
DWORD WINAPI BareEcho(LPVOID name) {
  UniqueFileHandle pipe(CreateNamedPipeW(static_cast<const wchar_t*>(name), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 10000,
                                         nullptr));
  if (!pipe || (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)) return 1;
  uint8_t message[4096];
  DWORD read = 0, written = 0;
  while (ReadFile(pipe.get(), message, sizeof message, &read, nullptr) && read > 0 &&
         WriteFile(pipe.get(), message, read, &written, nullptr)) {
  }
  return 0;
}

// The server's own loop (PipeServer) in the mode and with the reply of a comparison row:
// overlapped, as the device servers run, or blocking; an echo, or a transaction on a simulated key.
class BenchServer final : public tamsu::PipeServer {
 public:
  BenchServer(const wchar_t* name, bool overlapped, tamsu::DeviceChannel* key) : name_(name), key_(key) {
    pipeName_ = name_.c_str();
    if (overlapped) {
      stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      stopEvent_ = stop_.get();
      SetConnectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
  }
  DWORD ProcessRequest(const uint8_t* request, DWORD length, uint8_t* reply, DWORD* replyLength) override {
    if (key_) {
      uint32_t answer = *replyLength;
      const uint32_t result = key_->Transact(request, length, reply, &answer);
      *replyLength = answer;
      return result;
    }
    if (length > *replyLength) return ERROR_INSUFFICIENT_BUFFER;
    std::copy(request, request + length, reply);
    *replyLength = length;
    return 0;
  }

 private:
  std::wstring name_;
  tamsu::DeviceChannel* key_;
  tamsu::UniqueHandle stop_;
};

// A row of the round-trip table: one exchange, timed; every row's samples are taken in turns.
struct Row {
  Row(const char* l, std::function<bool(const Bytes&)> e) : label(l), exchange(std::move(e)) {}
  const char* label;
  std::function<bool(const Bytes&)> exchange;
  std::vector<double> times;
  std::vector<double> turns;  // each measured turn's time, -1 where it failed: rows compare turn by turn
  int failed = 0;
};

void MeasureInTurns(std::vector<Row>& rows, const Bytes& command) {
  for (Row& row : rows) {
    row.times.clear();
    row.turns.clear();
  }
  for (int i = 0; i < kWarmUp + kRounds; ++i) {
    // The starting row moves each turn, so that no row always follows the same one.
    for (size_t k = 0; k < rows.size(); ++k) {
      Row& row = rows[(i + k) % rows.size()];
      const double start = Now();
      const bool ok = row.exchange(command);
      const double elapsed = Now() - start;
      if (i >= kWarmUp) row.turns.push_back(ok ? elapsed : -1);
      if (!ok) {
        ++row.failed;
      } else if (i >= kWarmUp) {
        row.times.push_back(elapsed);
      }
    }
  }
}

// The median of a's time over b's in the same turn: what drifts between turns (another process, the
// emulator's state) cancels out.
double PairedRatio(const Row& a, const Row& b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.turns.size() && i < b.turns.size(); ++i) {
    if (a.turns[i] > 0 && b.turns[i] > 0) ratios.push_back(a.turns[i] / b.turns[i]);
  }
  return Median(ratios);
}

// An extended-length command of `size` bytes whose length field makes the first receive enough.
Bytes Command(size_t size) {
  Bytes command(size, 0x5A);
  const size_t lc = size - 7;
  command[0] = 0x80;
  command[1] = 0xCA;
  command[2] = command[3] = command[4] = 0;
  command[5] = static_cast<uint8_t>(lc >> 8);
  command[6] = static_cast<uint8_t>(lc);
  return command;
}

double ListRequest(std::vector<double>* firstTimes) {
  UniqueFileHandle pipe(OpenMessagePipe(tamsu::PipeName(tamsu::kListNameArgument).c_str()));
  if (!pipe) return -1;
  const Bytes request(tamsu::kListRequest, tamsu::kListRequest + tamsu::kListRequestSize);
  uint8_t reply[4096];
  DWORD written = 0, read = 0;
  const double start = Now();
  WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
  ReadFile(pipe.get(), reply, sizeof reply, &read, nullptr);
  const double first = Now() - start;
  if (firstTimes) firstTimes->push_back(first);
  return RoundTrip(pipe.get(), request);
}

bool ListAnswers() {
  UniqueFileHandle pipe(CreateFileW(tamsu::PipeName(tamsu::kListNameArgument).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe) return false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
  uint8_t reply[4096];
  DWORD written = 0, read = 0;
  return WriteFile(pipe.get(), tamsu::kListRequest, tamsu::kListRequestSize, &written, nullptr) &&
         ReadFile(pipe.get(), reply, sizeof reply, &read, nullptr) && read > 0;
}

struct Load {
  std::wstring pipe;
  double seconds;
  long apdus;
};

DWORD WINAPI ClientLoad(LPVOID parameter) {
  Load& load = *static_cast<Load*>(parameter);
  UniqueFileHandle pipe(OpenMessagePipe(load.pipe.c_str()));
  if (!pipe) return 1;
  const uint8_t apdu[8] = {0x80, 0xCA, 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A};
  uint8_t reply[4096];
  const double end = Now() + load.seconds * 1e6;
  while (Now() < end) {
    DWORD written = 0, read = 0;
    if (!WriteFile(pipe.get(), apdu, sizeof apdu, &written, nullptr) ||
        !ReadFile(pipe.get(), reply, sizeof reply, &read, nullptr)) {
      return 1;
    }
    ++load.apdus;
  }
  return 0;
}

std::string SimPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsusim&rev_1.00#" + std::to_string(index + 1) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

// APDUs a second with `keys` clients, one per key, in parallel against TamsuKeySim.
double Throughput(int keys) {
  std::vector<Load> loads(keys);
  std::vector<tamsu::UniqueHandle> threads;
  for (int i = 0; i < keys; ++i) {
    const std::string path = SimPath(i);
    loads[i] = {tamsu::DevicePipeName(std::wstring(path.begin(), path.end())), 3.0, 0};
    threads.emplace_back(CreateThread(nullptr, 0, ClientLoad, &loads[i], 0, nullptr));
  }
  for (const auto& thread : threads) WaitForSingleObject(thread.get(), 60000);
  long total = 0;
  for (const Load& load : loads) total += load.apdus;
  return total / 3.0;
}

DWORD MonitorChildId() {
  const std::vector<DWORD> children = ChildrenOfSameName(L"TamsuSerB.exe");
  return children.empty() ? 0 : children[0];
}

void RunToEnd(const std::vector<std::wstring>& arguments) {
  ChildProcess program;
  if (program.Start(DistPath(L"TamsuSerB.exe"), arguments)) program.Wait(60000);
}

std::string KeyPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#bench" + std::to_string(index) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

// The client library's keys: TamsuTransmit on one, the raw control on the other.
std::string SdkKeyPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#sdk" + std::to_string(index) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

// A simulated interface the list never shows (not the key's vendor), for the rows without the product's server.
std::string DirectPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_bench&prod_direct&rev_0.00#" + std::to_string(index) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

}  // namespace

int main() {
  using tamsu::sim::SimKeyBus;
  // The servers are this program's own: the client library must be told to accept them.
  SetEnvironmentVariableW(L"TAMSU_ALLOW_ANY_SERVER", L"1");
  // Answers as long as the command (at most 4094 bytes), so that each row moves the same bytes.
  const auto answerAsLong = [](const Bytes& command) {
    return tamsu::sim::FixedLength(std::min<size_t>(command.size(), tamsu::sim::kMaxAnswerLength))(command);
  };
  SimKeyBus::Instance().Add(KeyPath(0)).SetResponder(answerAsLong);
  tamsu::ListPipeServer server;
  server.Start(nullptr);

  std::vector<double> created;
  const double list1 = ListRequest(&created);
  const std::string key0 = KeyPath(0);  // one string: begin and end of two temporaries are no range
  const std::wstring device = tamsu::DevicePipeName(std::wstring(key0.begin(), key0.end()));
  UniqueFileHandle devicePipe(OpenMessagePipe(device.c_str()));
  // Two more keys of the same list server: TamsuTransmit on the first, and on the second a raw
  // exchange exactly as the device pipe row's, which shows what another key's server alone changes.
  std::vector<tamsu::sim::SimKey*> sdkKeys;
  for (int i = 0; i < 2; ++i) {
    sdkKeys.push_back(&SimKeyBus::Instance().Add(SdkKeyPath(i)));
    sdkKeys.back()->SetResponder(answerAsLong);
  }
  ListAnswers();  // starts their servers
  TAMSU_KEY sdkKey = nullptr;
  const LONG connected = TamsuConnect(SdkKeyPath(0).c_str(), 10000, &sdkKey);
  if (connected != TAMSU_S_SUCCESS) std::printf("TamsuConnect failed: %s\n", TamsuErrorText(connected));
  const std::string controlPath = SdkKeyPath(1);
  UniqueFileHandle controlPipe(
      OpenMessagePipe(tamsu::DevicePipeName(std::wstring(controlPath.begin(), controlPath.end())).c_str()));

  tamsu::DeviceChannel keys[3];
  std::vector<tamsu::sim::SimKey*> directKeys;
  for (int i = 0; i < 3; ++i) {
    directKeys.push_back(&SimKeyBus::Instance().Add(DirectPath(i)));
    directKeys.back()->SetResponder(answerAsLong);
    const std::string path = DirectPath(i);
    keys[i].Open(std::wstring(path.begin(), path.end()).c_str());
  }
  const wchar_t kBarePipe[] = L"\\\\.\\pipe\\TamsuBenchBare";
  const wchar_t kBareAgainPipe[] = L"\\\\.\\pipe\\TamsuBenchBareAgain";
  std::vector<tamsu::UniqueHandle> bareThreads;
  for (const wchar_t* name : {kBarePipe, kBareAgainPipe}) {
    bareThreads.emplace_back(CreateThread(nullptr, 0, BareEcho, const_cast<wchar_t*>(name), 0, nullptr));
  }
  std::vector<std::unique_ptr<BenchServer>> servers;
  servers.emplace_back(new BenchServer(L"\\\\.\\pipe\\TamsuBenchOverlapped", true, nullptr));
  servers.emplace_back(new BenchServer(L"\\\\.\\pipe\\TamsuBenchBlockingKey", false, &keys[0]));
  for (const auto& server : servers) server->StartThread();
  std::vector<UniqueFileHandle> pipes;
  for (const wchar_t* name : {kBarePipe, kBareAgainPipe, L"\\\\.\\pipe\\TamsuBenchOverlapped",
                              L"\\\\.\\pipe\\TamsuBenchBlockingKey"}) {
    pipes.emplace_back(OpenMessagePipe(name));
  }
  const auto through = [](HANDLE pipe) { return [pipe](const Bytes& m) { return Exchange(pipe, m); }; };
  static uint8_t answer[tamsu::kAnswerBufferSize];
  std::vector<Row> rows = {
      {"device pipe (DevicePipeServer)", through(devicePipe.get())},
      {"bare pipe, blocking echo", through(pipes[0].get())},
      {"the same bare pipe code, second pipe", through(pipes[1].get())},
      {"bare pipe, PipeServer's overlapped I/O", through(pipes[2].get())},
      {"blocking pipe + transaction", through(pipes[3].get())},
      {"transaction alone, no pipe",
       [&keys](const Bytes& m) {
         uint32_t length = sizeof answer;
         return keys[1].Transact(m.data(), static_cast<uint32_t>(m.size()), answer, &length) == 0;
       }},
      {"the key's send and receive alone",
       [&keys](const Bytes& m) {
         namespace pt = tamsu::pass_through;
         const uint32_t first = std::min<uint32_t>(
             tamsu::ExpectedAnswerSize(m.data(), static_cast<uint32_t>(m.size())) + 4, sizeof answer);
         uint32_t delivered = 0;
         return keys[2].PassThroughOut(pt::kSendCdb, pt::kCdbLength, static_cast<uint32_t>(m.size()), m.data()) == 0 &&
                keys[2].PassThroughIn(pt::kReceiveCdb, pt::kCdbLength, first, answer, &delivered) == 0 &&
                delivered >= 2;
       }},
      {"TamsuTransmit (client library)",
       [sdkKey](const Bytes& m) {
         DWORD length = sizeof answer;
         return TamsuTransmit(sdkKey, m.data(), static_cast<DWORD>(m.size()), answer, &length, 10000) ==
                    TAMSU_S_SUCCESS &&
                length > 0;
       }},
      {"device pipe, another key's server", through(controlPipe.get())},
  };
  enum { kDevice, kBare, kBareAgain, kOverlapped, kBlockingKey, kTransaction, kKey, kSdk, kDeviceAgain };
  std::vector<std::string> sdkSummary;

  // On two CPUs, where each thread wakes decides much of a round trip; on one, every row is alike.
  DWORD_PTR processMask = 0, systemMask = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
  const DWORD_PTR oneCpu = processMask & (~processMask + 1);
  std::vector<DWORD_PTR> masks = {oneCpu};
  if (processMask != oneCpu) masks.push_back(processMask);
  for (const DWORD_PTR mask : masks) {
    const char* cpus = mask == oneCpu ? "one CPU" : "all CPUs";
    if (!SetProcessAffinityMask(GetCurrentProcess(), mask)) cpus = "any CPU (affinity refused)";
    std::printf("Round trip (microseconds), threads on %s: %d turns, each row once per turn; "
                "median [10th-90th percentile], median / bare pipe's\n",
                cpus, kRounds);
    for (size_t size : {size_t{8}, size_t{256}, size_t{4096}}) {
      MeasureInTurns(rows, Command(size));
      std::vector<double> m;
      for (const Row& row : rows) m.push_back(Median(row.times));
      std::printf("%zu B\n", size);
      for (size_t i = 0; i < rows.size(); ++i) {
        std::printf("  %-40s %8.1f [%7.1f-%7.1f] %5.2f", rows[i].label, m[i], Percentile(rows[i].times, 0.1),
                    Percentile(rows[i].times, 0.9), m[kBare] > 0 ? m[i] / m[kBare] : 0.0);
        if (rows[i].failed) std::printf("  %d failed", rows[i].failed);
        std::printf("\n");
      }
      std::printf("  device - bare %.1f: overlapped waits %.1f, transaction in a blocking pipe %.1f, transaction "
                  "alone %.1f (the key's own %.1f); same code, other pipe %.1f\n",
                  m[kDevice] - m[kBare], m[kOverlapped] - m[kBare], m[kBlockingKey] - m[kBare], m[kTransaction],
                  m[kKey], m[kBareAgain] - m[kBare]);
      char line[200];
      std::snprintf(line, sizeof line, "  %-8s %4zu B %+8.1f %% %+8.1f %% %+8.1f %% %+8.1f %%",
                    mask == oneCpu ? "one CPU" : "all CPUs", size, 100 * (m[kSdk] / m[kDevice] - 1),
                    100 * (PairedRatio(rows[kSdk], rows[kDevice]) - 1), 100 * (m[kSdk] / m[kDeviceAgain] - 1),
                    100 * (PairedRatio(rows[kDeviceAgain], rows[kDevice]) - 1));
      sdkSummary.push_back(line);
    }
  }

  std::printf("Client library: TamsuTransmit against the raw exchange (device pipe row), as the ratio of the medians "
              "and as the median of the per-turn ratios; against the raw exchange on another key's server, and that "
              "control against the device pipe row (per turn), for the noise\n"
              "                   medians  per turn  vs other  control\n");
  for (const std::string& line : sdkSummary) std::printf("%s\n", line.c_str());

  // The list figures below see only the key interfaces, as before these rows existed.
  TamsuDisconnect(sdkKey);
  controlPipe.reset();
  for (tamsu::sim::SimKey* key : sdkKeys) key->Unplug();
  for (tamsu::sim::SimKey* key : directKeys) key->Unplug();
  for (int i = 1; i < 8; ++i) SimKeyBus::Instance().Add(KeyPath(i));
  const double list8 = ListRequest(&created);
  std::printf("List request, median of %d (microseconds): 1 key %.1f, 8 keys %.1f\n", kRounds, list1, list8);
  std::printf("First list request, which creates the device servers: 1 new key %.1f, 7 new keys %.1f\n", created[0],
              created[1]);

  devicePipe.reset();
  pipes.clear();
  for (const auto& thread : bareThreads) WaitForSingleObject(thread.get(), 5000);
  // A server whose thread outlived its stop is left to the process's end, never deleted under it.
  for (auto& bench : servers) {
    if (!bench->Stop(100, 5000)) bench.release();
  }
  server.Stop();

  // Throughput and the monitor's memory: TamsuKeySim, the same server code in a process of its own.
  tamsu::UniqueHandle simStop(CreateEventW(nullptr, TRUE, FALSE, L"TamsuBenchStop"));
  ChildProcess sim;
  sim.Start(DistPath(L"tools\\TamsuKeySim.exe"),
            {L"--keys", L"4", L"--answer", L"status", L"--stop-event", L"TamsuBenchStop"});
  for (int i = 0; i < 100 && !ListAnswers(); ++i) Sleep(100);
  ListAnswers();  // creates the four device servers
  const double one = Throughput(1), two = Throughput(2), four = Throughput(4);
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  tamsu::UniqueHandle simQuery(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, sim.id()));
  GetProcessMemoryInfo(simQuery.get(), &memory, sizeof memory);
  SetEvent(simStop.get());
  sim.Wait(10000);

  // The service's watchdog: the monitor child killed, then the list pipe served again.
  RunToEnd({L"-i", L"-s"});
  double restartMs = -1;
  for (int i = 0; i < 100 && !(MonitorChildId() && ListAnswers()); ++i) Sleep(100);
  if (DWORD child = MonitorChildId()) {
    tamsu::UniqueHandle victim(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child));
    const double killed = Now();
    TerminateProcess(victim.get(), 1);
    WaitForSingleObject(victim.get(), 5000);
    for (int i = 0; i < 1000; ++i) {
      if (MonitorChildId() && ListAnswers()) {
        restartMs = (Now() - killed) / 1000;
        break;
      }
      Sleep(10);
    }
  }
  RunToEnd({L"-k", L"-u"});

  std::printf("\n%-58s %12s\n", "Figure", "Value");
  std::printf("%-58s %12.1f\n", "Monitor child killed to list pipe served again (ms)", restartMs);
  std::printf("%-58s %12.0f\n", "Throughput, 1 key (APDUs/s)", one);
  std::printf("%-58s %12.0f  x%.2f\n", "Throughput, 2 keys in parallel (APDUs/s, scaling)", two, two / one);
  std::printf("%-58s %12.0f  x%.2f\n", "Throughput, 4 keys in parallel (APDUs/s, scaling)", four, four / one);
  std::printf("%-58s %12.1f\n", "Peak working set of the monitor code, 4 keys (MiB)",
              memory.PeakWorkingSetSize / 1048576.0);
  return 0;
}
