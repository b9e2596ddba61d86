// TamsuKeySim: the monitor's list and device pipe servers, the code that ships, with simulated keys
// behind the unchanged channel, so that client developers can test against the real pipe protocol
// without hardware. Runs until Ctrl+C, the stop event or the duration ends it.
#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "answer_table.h"
#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "service/device/key_path_list.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"

namespace {

using tamsu::keysim::AnswerTable;
using tamsu::sim::Bytes;
using tamsu::sim::SimKey;
using tamsu::sim::SimKeyBus;

// The usage text is split where the largest --keys goes.
const char kUsageHead[] =
    "usage: TamsuKeySim [options]\n"
    "  --keys N              number of simulated keys (default 1, at most ";
const char kUsageTail[] =
    ": the key list holds no more\n"
    "                        of their generated paths)\n"
    "  --path PATH           a key's device path (repeatable; replaces the generated ones). It must\n"
    "                        pass the key discovery's filters: contain &ven_varnelle and &rev_1.\n"
    "  --answer MODE         echo (the command, then 90 00; default), status (90 00 only),\n"
    "                        fixed:N (N bytes ending in 90 00, N from 2 to 4094)\n"
    "  --answers FILE        answer table; a command that matches no rule gets the --answer answer\n"
    "  --log FILE            write each command and answer to FILE (\"-\": standard output)\n"
    "  --duration SECONDS    stop by itself after this time\n"
    "  --stop-event NAME     stop when this named event is set\n"
    "  --help                print this text\n"
    "Faults (each happens once; K counts the commands the key has taken, a failed send not included):\n"
    "  --key N               the fault options that follow apply to key N (from 0) only\n"
    "  --fail-send K         after K commands, the next send fails with SCSI status 2\n"
    "  --fail-receive K      after K commands, the next receive fails with SCSI status 2\n"
    "  --short-answer K      after K commands, the next answer is a byte short of its frame\n"
    "  --unplug-after K      after K commands, the key vanishes during the next one\n"
    "  --replug-after-ms T   with --unplug-after: the key is back T ms after it vanished\n"
    "  --stall-after K       with --stall-ms: after K commands, the next answer comes T ms late\n"
    "  --stall-ms T          (1 to 3600000)\n"
    "Fault options before any --key apply to every key; after --key N they replace those for key N.\n"
    "A vanish on the same command as a receive fault, a short answer or a stall replaces them.\n"
    "Answer table: one rule a line, PATTERN => ANSWER; # starts a comment line. The pattern is hex\n"
    "bytes or ?? (any byte), optionally ending in ... (any further bytes); the answer is 1 to 4094\n"
    "hex bytes. The first rule that matches answers. Example: 00 A4 04 00 ?? ... => 90 00\n"
    "Exit codes: 0 stopped normally (or --help), 1 usage error, 2 cannot serve.\n";

constexpr long kMaxCount = 1000000;
constexpr long kMaxMs = 3600000;
constexpr size_t kMaxPipeName = 256;
constexpr uint8_t kFaultStatus = 2;

// Never closed: server threads that outlive wmain may still wait on it.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(g_stop);
  return TRUE;
}

// -1: not given.
struct Faults {
  long failSend = -1;
  long failReceive = -1;
  long shortAnswer = -1;
  long unplugAfter = -1;
  long replugMs = -1;
  long stallAfter = -1;
  long stallMs = -1;

  void Override(const Faults& other) {
    for (auto field : {&Faults::failSend, &Faults::failReceive, &Faults::shortAnswer, &Faults::unplugAfter,
                       &Faults::replugMs, &Faults::stallAfter, &Faults::stallMs}) {
      if (other.*field >= 0) this->*field = other.*field;
    }
  }
};

struct Options {
  int keys = 1;
  std::vector<std::wstring> paths;
  std::wstring answer = L"echo";
  std::wstring answers;
  std::wstring log;
  Faults everyKey;
  std::map<long, Faults> perKey;
  DWORD durationMs = INFINITE;
  std::wstring stopEvent;
};

std::string GeneratedPath(int index) {
  return "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsusim&rev_1.00#" + std::to_string(index + 1) +
         "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

// How many of `paths`, from the first, the monitor's list reply holds: the discovery's own buffer
// and writer decide, so that a key is refused exactly when the monitor would leave it out.
size_t PathsTheListHolds(const std::vector<std::string>& paths) {
  char list[tamsu::kDevicePathListCapacity];
  tamsu::DevicePathListWriter writer(list, sizeof list);
  size_t held = 0;
  while (held < paths.size() && writer.Append(paths[held].c_str(), paths[held].size())) ++held;
  return held;
}

int MaxGeneratedKeys() {
  std::vector<std::string> paths;
  while (PathsTheListHolds(paths) == paths.size()) paths.push_back(GeneratedPath(static_cast<int>(paths.size())));
  return static_cast<int>(paths.size()) - 1;
}

std::string Usage() { return kUsageHead + std::to_string(MaxGeneratedKeys()) + kUsageTail; }

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return narrow;
}

// Digits only: a sign, a blank, a base prefix or anything after the digits makes it no number.
bool ParseNumber(const std::wstring& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;  // nine digits cannot overflow a long
  long parsed = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    parsed = parsed * 10 + (c - L'0');
  }
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool MakeResponder(const std::wstring& mode, tamsu::sim::Responder* responder) {
  long length = 0;
  if (mode == L"echo") {
    *responder = tamsu::sim::Echo();
  } else if (mode == L"status") {
    *responder = tamsu::sim::StatusOnly();
  } else if (mode.compare(0, 6, L"fixed:") == 0 &&
             ParseNumber(mode.substr(6), 2, static_cast<long>(tamsu::sim::kMaxAnswerLength), &length)) {
    *responder = tamsu::sim::FixedLength(static_cast<size_t>(length));
  } else {
    return false;
  }
  return true;
}

// Returns what is wrong with the command line, or nothing.
std::string Parse(int argc, wchar_t** argv, Options* options) {
  Faults* scope = &options->everyKey;
  struct Numeric {
    const wchar_t* name;
    long low, high;
    long Faults::*field;
  };
  static const Numeric kFaultOptions[] = {{L"--fail-send", 0, kMaxCount, &Faults::failSend},
                                          {L"--fail-receive", 0, kMaxCount, &Faults::failReceive},
                                          {L"--short-answer", 0, kMaxCount, &Faults::shortAnswer},
                                          {L"--unplug-after", 0, kMaxCount, &Faults::unplugAfter},
                                          {L"--replug-after-ms", 0, kMaxMs, &Faults::replugMs},
                                          {L"--stall-after", 0, kMaxCount, &Faults::stallAfter},
                                          {L"--stall-ms", 1, kMaxMs, &Faults::stallMs}};
  static const wchar_t* const kOtherOptions[] = {L"--key",     L"--keys", L"--path",     L"--answer",
                                                 L"--answers", L"--log",  L"--duration", L"--stop-event"};
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    const Numeric* fault = nullptr;
    bool known = false;
    for (const Numeric& candidate : kFaultOptions) {
      if (option == candidate.name) fault = &candidate;
    }
    for (const wchar_t* name : kOtherOptions) known = known || option == name;
    if (!fault && !known) return "unknown option '" + Narrow(option) + "'";
    if (i + 1 >= argc) return Narrow(option) + " needs a value";
    const std::wstring value = argv[++i];
    const std::string bad = Narrow(option) + ": '" + Narrow(value) + "' ";
    long number = 0;
    if (fault) {
      if (!ParseNumber(value, fault->low, fault->high, &number)) {
        return bad + "is not a number from " + std::to_string(fault->low) + " to " + std::to_string(fault->high);
      }
      scope->*(fault->field) = number;
    } else if (option == L"--key") {
      if (!ParseNumber(value, 0, 999, &number)) return bad + "is not a key index";
      scope = &options->perKey[number];
    } else if (option == L"--keys") {
      const long most = MaxGeneratedKeys();
      if (!ParseNumber(value, 1, most, &number)) {
        return bad + "is not a number from 1 to " + std::to_string(most) + " (the " +
               std::to_string(tamsu::kDevicePathListCapacity) + "-byte key list holds no more generated paths)";
      }
      options->keys = static_cast<int>(number);
    } else if (option == L"--path") {
      options->paths.push_back(value);
    } else if (option == L"--answer") {
      tamsu::sim::Responder unused;
      if (!MakeResponder(value, &unused)) return bad + "is not echo, status or fixed:N with N from 2 to 4094";
      options->answer = value;
    } else if (option == L"--answers") {
      options->answers = value;
    } else if (option == L"--log") {
      options->log = value;
    } else if (option == L"--duration") {
      if (!ParseNumber(value, 1, 86400, &number)) return bad + "is not a number of seconds from 1 to 86400";
      options->durationMs = static_cast<DWORD>(number) * 1000;
    } else {
      if (value.empty()) return "--stop-event: an empty name";
      options->stopEvent = value;
    }
  }
  return std::string();
}

// A path the discovery would never list, or whose pipe could not be named, would be a key that
// never shows: the user's mistake, told at once. `listed` holds the paths accepted before it.
std::string PathProblem(const std::wstring& wide, const std::vector<std::string>& listed) {
  for (wchar_t c : wide) {
    if (c < 0x20 || c >= 0x7f) return "--path '" + Narrow(wide) + "': only printable ASCII characters";
  }
  const std::string path = Narrow(wide);
  const std::string shown = "--path '" + path + "': ";
  if (!tamsu::IsKeyDevicePath(path.c_str())) {
    return shown + "the key discovery lists only paths with " + tamsu::kVendorFilter + " and " +
           tamsu::kRevisionFilter + " in them";
  }
  for (const std::string& other : listed) {
    if (lstrcmpiA(other.c_str(), path.c_str()) == 0) return shown + "given twice";
  }
  if (tamsu::DevicePipeName(wide).size() > kMaxPipeName) return shown + "its pipe name would exceed 256 characters";
  return std::string();
}

// Key `index`'s faults: those for every key, replaced by its own where given.
Faults FaultsOf(const Options& options, long index) {
  Faults faults = options.everyKey;
  auto own = options.perKey.find(index);
  if (own != options.perKey.end()) faults.Override(own->second);
  return faults;
}

std::string CheckKeys(const Options& options, std::vector<std::string>* paths) {
  for (const std::wstring& wide : options.paths) {
    const std::string problem = PathProblem(wide, *paths);
    if (!problem.empty()) return problem;
    paths->push_back(Narrow(wide));
    if (PathsTheListHolds(*paths) < paths->size()) {
      return "--path '" + paths->back() + "': the key list (" + std::to_string(tamsu::kDevicePathListCapacity) +
             " bytes with the other paths) cannot hold it";
    }
  }
  if (paths->empty()) {
    for (int i = 0; i < options.keys; ++i) paths->push_back(GeneratedPath(i));
  }
  const long count = static_cast<long>(paths->size());
  for (const auto& entry : options.perKey) {
    if (entry.first >= count) {
      return "--key " + std::to_string(entry.first) + ": there are only " + std::to_string(count) + " key(s)";
    }
  }
  for (long i = 0; i < count; ++i) {
    const Faults faults = FaultsOf(options, i);
    const std::string key = "key " + std::to_string(i) + ": ";
    if ((faults.stallAfter >= 0) != (faults.stallMs >= 0)) return key + "--stall-after and --stall-ms go together";
    if (faults.replugMs >= 0 && faults.unplugAfter < 0) return key + "--replug-after-ms without --unplug-after";
  }
  return std::string();
}

std::string LoadTable(const std::wstring& name, AnswerTable* table) {
  const std::string shown = "--answers " + Narrow(name) + ": ";
  tamsu::UniqueFileHandle file(
      CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !GetFileSizeEx(file.get(), &size)) return shown + "cannot read it (error " + std::to_string(GetLastError()) + ")";
  if (size.QuadPart > static_cast<LONGLONG>(tamsu::keysim::kMaxTableFileSize)) return shown + "larger than 1 MiB";
  std::string text(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!text.empty() && (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) ||
                        read != text.size())) {
    return shown + "cannot read it (error " + std::to_string(GetLastError()) + ")";
  }
  size_t line = 0;
  std::string problem;
  if (!table->Parse(text, &line, &problem)) return shown + "line " + std::to_string(line) + ": " + problem;
  if (table->size() == 0) return shown + "no rule in it";
  return std::string();
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Each command and its outcome, one line each, written whole so that a reader following the file
// never sees half a line.
class CommandLog {
 public:
  CommandLog() { InitializeCriticalSection(&lock_); }
  ~CommandLog() { DeleteCriticalSection(&lock_); }
  CommandLog(const CommandLog&) = delete;
  CommandLog& operator=(const CommandLog&) = delete;

  bool Open(const std::wstring& name) {
    if (name == L"-") return toStdout_ = true;
    file_.reset(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    return file_.valid();
  }
  bool enabled() const { return toStdout_ || file_.valid(); }

  // A line of the program's own on standard output, never inside a logged one: clients may be
  // served, and logged, before it.
  void Announce(const std::string& text) {
    tamsu::CriticalSectionLock hold(lock_);
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
  }

  void Write(int key, char direction, const std::string& text) {
    if (!enabled()) return;
    // Standard output is in text mode: its \n already becomes CR LF.
    const std::string line =
        "key " + std::to_string(key) + " " + direction + " " + text + (toStdout_ ? "\n" : "\r\n");
    tamsu::CriticalSectionLock hold(lock_);
    bool written = true;
    if (toStdout_) {
      written = std::fputs(line.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    } else {
      DWORD count = 0;
      written = WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &count, nullptr) &&
                count == line.size();
    }
    // Serving goes on; the user learns once that the log is incomplete.
    if (!written && !failed_) {
      failed_ = true;
      std::fprintf(stderr, "TamsuKeySim: the log cannot be written (error %lu); it is incomplete\n", GetLastError());
    }
  }

 private:
  CRITICAL_SECTION lock_;
  bool toStdout_ = false;
  tamsu::UniqueFileHandle file_;
  bool failed_ = false;
};

// Answers through the table and the fallback, and arms the key's faults so that command K + 1 meets
// them. The responder runs inside each command's send: a send fault is armed for the next command,
// the others for this one.
void Serve(SimKey& key, int index, const Faults& faults, const tamsu::sim::Responder& fallback,
           std::shared_ptr<const AnswerTable> table, CommandLog* log) {
  if (faults.failSend == 0) key.FailNextSend(kFaultStatus);
  if (faults.replugMs >= 0) key.PlugBackAfter(static_cast<DWORD>(faults.replugMs));
  auto count = std::make_shared<long>(0);
  key.SetResponder([&key, index, faults, fallback, table, log, count](const Bytes& command) {
    const long done = ++*count;
    const std::vector<uint8_t>* listed = table ? table->Find(command.data(), command.size()) : nullptr;
    const Bytes answer = listed ? *listed : fallback(command);
    if (done == faults.failSend) key.FailNextSend(kFaultStatus);
    std::string outcome;
    if (done == faults.unplugAfter + 1) {
      key.UnplugDuringNextCommand();
      outcome = "none: the key vanishes";
      if (faults.replugMs >= 0) outcome += " (back after " + std::to_string(faults.replugMs) + " ms)";
    } else {
      outcome = Hex(answer.data(), answer.size());
      if (answer.size() > tamsu::sim::kMaxAnswerLength) {
        // An echo of a command over 4092 bytes: its frame cannot fit the channel's buffer, so the
        // command fails as it would with a key that answered so much.
        outcome = "none: a " + std::to_string(answer.size()) + "-byte answer does not fit the channel";
      }
      if (done == faults.shortAnswer + 1) {
        key.ShortenNextAnswer();
        outcome = "none: the answer is a byte short of its frame";
      }
      if (done == faults.failReceive + 1) {
        key.FailNextReceive(kFaultStatus);
        outcome = "none: receive fails, SCSI status 2";
      }
      if (done == faults.stallAfter + 1) {
        // The stop event ends a stall early, so that stopping never waits for it.
        key.StallNextReceive(g_stop, static_cast<DWORD>(faults.stallMs));
        outcome += " (after " + std::to_string(faults.stallMs) + " ms)";
      }
    }
    if (log->enabled()) {
      log->Write(index, '>', Hex(command.data(), command.size()));
      log->Write(index, '<', outcome);
    }
    return answer;
  });
  if (log->enabled()) {
    key.SetFailedSendObserver([index, log](const Bytes& command) {
      log->Write(index, '>', Hex(command.data(), command.size()));
      log->Write(index, '<', "none: send fails, SCSI status 2");
    });
  }
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "TamsuKeySim: %s\n\n%s", problem.c_str(), Usage().c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    }
  }
  Options options;
  std::string problem = Parse(argc, argv, &options);
  std::vector<std::string> paths;
  if (problem.empty()) problem = CheckKeys(options, &paths);
  auto table = std::make_shared<AnswerTable>();
  if (problem.empty() && !options.answers.empty()) problem = LoadTable(options.answers, table.get());
  CommandLog log;
  if (problem.empty() && !options.log.empty() && !log.Open(options.log)) {
    problem = "--log " + Narrow(options.log) + ": cannot create it (error " + std::to_string(GetLastError()) + ")";
  }
  tamsu::sim::Responder fallback;
  if (!problem.empty() || !MakeResponder(options.answer, &fallback)) return UsageError(problem);

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

  const std::shared_ptr<const AnswerTable> rules = options.answers.empty() ? nullptr : table;
  for (size_t i = 0; i < paths.size(); ++i) {
    const int index = static_cast<int>(i);
    SimKey& key = SimKeyBus::Instance().Add(paths[i]);
    Serve(key, index, FaultsOf(options, index), fallback, rules, &log);
    const std::wstring pipe = tamsu::DevicePipeName(std::wstring(paths[i].begin(), paths[i].end()));
    std::printf("key %d: %s\n       pipe %s\n", index, paths[i].c_str(), Narrow(pipe).c_str());
  }
  if (rules) std::printf("answers: %u rule(s) from %s\n", static_cast<unsigned>(rules->size()), Narrow(options.answers).c_str());

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
  log.Announce("serving " + Narrow(listPipe) + " with " + std::to_string(paths.size()) +
               " simulated key(s); Ctrl+C to stop");
  WaitForSingleObject(g_stop, options.durationMs);
  SetEvent(g_stop);  // also ends a stall, after the duration
  server.Stop();
  std::printf("stopped\n");
  return 0;
}
