// TamsuKeySim: the monitor's list and device pipe servers, the code that ships, with simulated keys
// behind the unchanged channel, so that client developers can test against the real pipe protocol
// without hardware. Runs until Ctrl+C, the stop event or the duration ends it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "service/pipes/pipe_protocol.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"

namespace {

using tamsu::sim::Bytes;
using tamsu::sim::SimKey;
using tamsu::sim::SimKeyBus;

const char kUsage[] =
    "usage: TamsuKeySim [options]\n"
    "  --keys N              number of simulated keys (default 1, at most 16)\n"
    "  --path PATH           a key's device path (repeatable; replaces the generated ones)\n"
    "  --answer MODE         echo (the command, then 90 00; default), status (90 00 only),\n"
    "                        fixed:N (N bytes ending in 90 00, N up to 4094)\n"
    "  --fail-send K         after K good commands, the next send fails with SCSI status 2\n"
    "  --fail-receive K      after K good commands, the next receive fails with SCSI status 2\n"
    "  --unplug-after K      after K good commands, the key vanishes during the next one\n"
    "  --duration SECONDS    stop by itself after this time\n"
    "  --stop-event NAME     stop when this named event is set\n"
    "Faults apply to every key. Exit codes: 0 stopped normally, 1 usage error, 2 cannot serve.\n";

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(g_stop);
  return TRUE;
}

struct Options {
  int keys = 1;
  std::vector<std::string> paths;
  std::string answer = "echo";
  long failSend = -1;
  long failReceive = -1;
  long unplugAfter = -1;
  DWORD durationMs = INFINITE;
  std::wstring stopEvent;
};

bool ParseNumber(const wchar_t* text, long low, long high, long* value) {
  wchar_t* end = nullptr;
  const long parsed = wcstol(text, &end, 10);
  if (!text[0] || *end || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; *text; ++text) narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
  return narrow;
}

bool Parse(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[++i];
    long number = 0;
    if (option == L"--keys" && ParseNumber(value, 1, 16, &number)) {
      options->keys = static_cast<int>(number);
    } else if (option == L"--path") {
      options->paths.push_back(Narrow(value));
    } else if (option == L"--answer") {
      options->answer = Narrow(value);
    } else if (option == L"--fail-send" && ParseNumber(value, 0, 1000000, &number)) {
      options->failSend = number;
    } else if (option == L"--fail-receive" && ParseNumber(value, 0, 1000000, &number)) {
      options->failReceive = number;
    } else if (option == L"--unplug-after" && ParseNumber(value, 0, 1000000, &number)) {
      options->unplugAfter = number;
    } else if (option == L"--duration" && ParseNumber(value, 1, 86400, &number)) {
      options->durationMs = static_cast<DWORD>(number) * 1000;
    } else if (option == L"--stop-event") {
      options->stopEvent = value;
    } else {
      return false;
    }
  }
  return true;
}

bool MakeResponder(const std::string& mode, tamsu::sim::Responder* responder) {
  if (mode == "echo") {
    *responder = tamsu::sim::Echo();
  } else if (mode == "status") {
    *responder = tamsu::sim::StatusOnly();
  } else if (mode.compare(0, 6, "fixed:") == 0) {
    const long length = std::strtol(mode.c_str() + 6, nullptr, 10);
    if (length < 2 || length > static_cast<long>(tamsu::sim::kMaxAnswerLength)) return false;
    *responder = tamsu::sim::FixedLength(static_cast<size_t>(length));
  } else {
    return false;
  }
  return true;
}

// Counts a key's commands and arms the faults so that command K + 1 meets them.
tamsu::sim::Responder WithFaults(SimKey& key, tamsu::sim::Responder answer, const Options& options) {
  auto count = std::make_shared<long>(0);
  return [&key, answer, options, count](const Bytes& command) {
    // This runs inside command number `done`'s send: a send fault is armed for the next command,
    // a receive fault or an unplug for this one.
    const long done = ++*count;
    if (done == options.failSend) key.FailNextSend(2);
    if (done == options.failReceive + 1) key.FailNextReceive(2);
    if (done == options.unplugAfter + 1) key.UnplugDuringNextCommand();
    return answer(command);
  };
}

std::string GeneratedPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsusim&rev_1.00#" + std::to_string(index + 1) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  tamsu::sim::Responder answer;
  if (!Parse(argc, argv, &options) || !MakeResponder(options.answer, &answer)) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  g_stop = options.stopEvent.empty() ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                     : CreateEventW(nullptr, TRUE, FALSE, options.stopEvent.c_str());
  if (!g_stop) {
    std::fprintf(stderr, "TamsuKeySim: cannot create the stop event (error %lu)\n", GetLastError());
    return 2;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  const std::wstring listPipe = tamsu::PipeName(tamsu::kListNameArgument);
  if (WaitNamedPipeW(listPipe.c_str(), 0) || GetLastError() != ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "TamsuKeySim: a monitor already serves the list pipe; stop the service first\n");
    return 2;
  }

  const int count = options.paths.empty() ? options.keys : static_cast<int>(options.paths.size());
  for (int i = 0; i < count; ++i) {
    const std::string path = options.paths.empty() ? GeneratedPath(i) : options.paths[i];
    SimKey& key = SimKeyBus::Instance().Add(path);
    key.SetResponder(WithFaults(key, answer, options));
    // A send fault "after 0 commands" must be armed before the first send.
    if (options.failSend == 0) key.FailNextSend(2);
    const std::wstring pipe = tamsu::DevicePipeName(std::wstring(path.begin(), path.end()));
    std::printf("key %d: %s\n       pipe %s\n", i, path.c_str(), Narrow(pipe.c_str()).c_str());
  }

  tamsu::ListPipeServer server;
  server.Start(nullptr);
  bool serving = false;
  for (int i = 0; i < 100 && !serving; ++i) {
    serving = WaitNamedPipeW(listPipe.c_str(), 50) != FALSE;
    if (!serving) Sleep(50);
  }
  if (!serving) {
    std::fprintf(stderr, "TamsuKeySim: the list pipe does not come up; is a monitor (the service) already serving?\n");
    server.Stop();
    return 2;
  }
  std::printf("serving %s with %d simulated key(s); Ctrl+C to stop\n", Narrow(listPipe.c_str()).c_str(), count);
  std::fflush(stdout);
  WaitForSingleObject(g_stop, options.durationMs);
  server.Stop();
  std::printf("stopped\n");
  return 0;
}
