// Prints round-trip figures of the pipes: an APDU through a device pipe against a bare message-mode
// pipe echo of the same size, and list requests with 1 and 8 simulated keys. Not a test: it judges
// nothing, it measures.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "service/pipes/pipe_protocol.h"
#include "service/pipes/pipe_server.h"
#include "process/child_process.h"
#include "simkey/sim_key.h"

#include <psapi.h>

namespace {

using tamsu::UniqueFileHandle;
using tamsu::testing_support::ChildProcess;
using tamsu::testing_support::DistPath;
using tamsu::testing_support::ChildrenOfSameName;
using Bytes = std::vector<uint8_t>;

constexpr int kWarmUp = 20;
constexpr int kRounds = 300;
const wchar_t kBarePipe[] = L"\\\\.\\pipe\\TamsuBenchBareEcho";

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

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

// Median microseconds of one message out and one message back; negative when an exchange failed.
double RoundTrip(HANDLE pipe, const Bytes& message) {
  std::vector<double> times;
  std::vector<uint8_t> reply(8192);
  for (int i = 0; i < kWarmUp + kRounds; ++i) {
    const double start = Now();
    DWORD written = 0, read = 0;
    if (!WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) ||
        !ReadFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &read, nullptr) || read == 0) {
      return -1;
    }
    if (i >= kWarmUp) times.push_back(Now() - start);
  }
  return Median(times);
}

DWORD WINAPI BareEchoServer(LPVOID) {
  UniqueFileHandle pipe(CreateNamedPipeW(kBarePipe, PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 10000,
                                         nullptr));
  if (!pipe) return 1;
  if (ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
    std::vector<uint8_t> buffer(4096);
    DWORD read = 0, written = 0;
    while (ReadFile(pipe.get(), buffer.data(), 4096, &read, nullptr) && read > 0 &&
           WriteFile(pipe.get(), buffer.data(), read, &written, nullptr)) {
    }
  }
  return 0;
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

}  // namespace

int main() {
  using tamsu::sim::SimKeyBus;
  SimKeyBus::Instance().Add(KeyPath(0)).SetResponder([](const Bytes& command) {
    return tamsu::sim::FixedLength(std::min<size_t>(command.size(), tamsu::sim::kMaxAnswerLength))(command);
  });
  tamsu::ListPipeServer server;
  server.Start(nullptr);

  std::vector<double> created;
  const double list1 = ListRequest(&created);
  const std::wstring device = tamsu::DevicePipeName(std::wstring(KeyPath(0).begin(), KeyPath(0).end()));
  UniqueFileHandle devicePipe(OpenMessagePipe(device.c_str()));
  tamsu::UniqueHandle bareThread(CreateThread(nullptr, 0, BareEchoServer, nullptr, 0, nullptr));
  UniqueFileHandle barePipe(OpenMessagePipe(kBarePipe));

  std::printf("Round trip, median of %d (microseconds)\n", kRounds);
  std::printf("%10s %14s %14s %8s\n", "command", "device pipe", "bare pipe", "ratio");
  for (size_t size : {size_t{8}, size_t{256}, size_t{4096}}) {
    const Bytes command = Command(size);
    const double apdu = RoundTrip(devicePipe.get(), command);
    const double bare = RoundTrip(barePipe.get(), command);
    std::printf("%9zuB %14.1f %14.1f %8.2f\n", size, apdu, bare, bare > 0 ? apdu / bare : 0.0);
  }

  for (int i = 1; i < 8; ++i) SimKeyBus::Instance().Add(KeyPath(i));
  const double list8 = ListRequest(&created);
  std::printf("List request, median of %d (microseconds): 1 key %.1f, 8 keys %.1f\n", kRounds, list1, list8);
  std::printf("First list request, which creates the device servers: 1 new key %.1f, 7 new keys %.1f\n", created[0],
              created[1]);

  devicePipe.reset();
  barePipe.reset();
  WaitForSingleObject(bareThread.get(), 5000);
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
