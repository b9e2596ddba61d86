// TamsuCli: a console client of the keys, for diagnosis, on the TamsuClient SDK.
//   TamsuCli list   [--json]
//   TamsuCli watch  [--json] [--duration SECONDS]
//   TamsuCli send   [options] APDU [APDU ...]
//   TamsuCli script [options] FILE|-
//   TamsuCli status [--json] [--full]
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "apdu_text.h"
#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "sdk/src/key_paths.h"
#include "status_probe.h"
#include "tamsu_client.h"

namespace {

using tamsu::UniqueFileHandle;
using tamsu::UniqueHandle;
using tamsu::cli::Bytes;
using tamsu::cli::ScriptLine;

enum ExitCode {
  kOk = 0,
  kUsage = 1,
  kBadInput = 2,
  kNoMonitor = 3,
  kNoKey = 4,
  kConnection = 5,
  kKeyInUse = 6,
  kNotExpected = 7,
};

constexpr DWORD kDefaultWaitS = 10;            // how long a key in use by another program is waited for
constexpr DWORD kDefaultAnswerTimeoutS = 120;  // key operations such as key generation are slow
constexpr DWORD kMaxSeconds = 999999;
constexpr DWORD kMaxScriptBytes = 4u << 20;
constexpr size_t kMaxCollected = 65536;      // what --get-response gathers for one APDU
constexpr unsigned kMaxExchangesPerApdu = 256;  // a key answering 61xx forever must not hold us
constexpr DWORD kWatchPollMs = 500;
constexpr size_t kBytesPerLine = 32;

const char kUsageText[] =
    "Usage:\n"
    "  TamsuCli list [--json]\n"
    "      Lists the keys the monitor serves: index, device path and pipe name.\n"
    "  TamsuCli watch [--json] [--duration SECONDS]\n"
    "      Prints keys as they arrive and leave, until Ctrl+C or the duration ends.\n"
    "  TamsuCli send [options] APDU [APDU ...]\n"
    "      Sends each APDU on one connection and prints the command, the answer, the status word\n"
    "      with its meaning and the round-trip time. Hex with or without separators:\n"
    "      00A40400, \"00 A4 04 00\", 00:A4:04:00.\n"
    "  TamsuCli script [options] FILE\n"
    "      As send, with one APDU per line of FILE ('-': standard input); '#' and '//' start\n"
    "      comments. \"APDU -> EXPECTED\" states the answer: two bytes are the status word,\n"
    "      more the whole answer; '?' is any hex digit (\"-> ?? ?? 90 00\", \"-> 63 C?\").\n"
    "Options of send and script:\n"
    "  --key INDEX|PATH    the key (default: index 0)\n"
    "  --timeout SECONDS   how long an answer is waited for (default 120)\n"
    "  --wait SECONDS      how long a key in use by another program is waited for (default 10)\n"
    "  --get-response      on 61xx, GET RESPONSE with the announced length, and on 6Cxx the\n"
    "                      command again with the corrected Le; the collected answer follows '='\n"
    "  --json              one JSON object per line (also for list and watch)\n"
    "  TamsuCli status [--json] [--full]\n"
    "      Reports the installation for a support desk: Windows, the installed files, the service,\n"
    "      its monitor and the key list, the keys' pipes, the settings, the web host's registration\n"
    "      and what contradicts the rest. Read-only, sends nothing to a key, ends within 10 s.\n"
    "      --json: one JSON object (\"schema\": 1). --full: device paths with serial numbers.\n"
    "      Exit codes: 0 all well, 1 warnings, 2 failures (a usage error also exits 1).\n"
    "Exit codes:\n"
    "  0 success   1 usage error (also an unreadable script)\n"
    "  2 malformed or too long APDU or expected answer, or a script without any APDU\n"
    "  3 no monitor running   4 no key present, or key not found\n"
    "  5 connection to the key failed (dropped, or no answer in time)\n"
    "  6 key in use by another program   7 an answer differed from the script's expectation\n";

struct Options {
  bool json = false;
  std::string key = "0";
  DWORD timeoutS = kDefaultAnswerTimeoutS;
  DWORD waitS = kDefaultWaitS;
  bool getResponse = false;
  DWORD durationS = 0;  // watch: 0 runs until Ctrl+C
  std::vector<std::wstring> operands;
};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string Json(const std::wstring& text) {
  return tamsu::cli::JsonString(std::u16string(text.begin(), text.end()));
}
std::string Json(const std::string& ansi) { return Json(Widen(ansi)); }

std::string Quoted(const std::string& text) {
  return "\"" + (text.size() > 40 ? text.substr(0, 37) + "..." : text) + "\"";
}

// A number of decimal digits only, at most 9 of them; -1 otherwise.
long Decimal(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  long value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

bool SameIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] - 'A' + 'a' : a[i];
    const char y = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] - 'A' + 'a' : b[i];
    if (x != y) return false;
  }
  return i == a.size() && !b[i];
}

double NowMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "TamsuCli: %s\n\n%s", message.c_str(), kUsageText);
  return kUsage;
}

// "the key list failed: <SDK's text> (0x8010...)"
std::string SdkError(LONG code) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
  return std::string(TamsuErrorText(code)) + " (" + number + ")";
}

void PrintHex(const char* marker, const Bytes& data) {
  std::printf("%s", marker);
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % kBytesPerLine == 0) std::printf("\n  ");
    std::printf(i % kBytesPerLine == 0 ? "%02X" : " %02X", data[i]);
  }
  std::printf("\n");
}

std::string Sw(const Bytes& answer) {
  return answer.size() < 2 ? std::string() : tamsu::cli::HexText(&answer[answer.size() - 2], 2, "");
}
std::string SwMeaning(const Bytes& answer) {
  return answer.size() < 2 ? std::string("no status word")
                           : tamsu::cli::StatusText(answer[answer.size() - 2], answer[answer.size() - 1]);
}

int ListFailed(LONG result) {
  if (result == TAMSU_E_NO_SERVICE) {
    std::fprintf(stderr, "TamsuCli: no monitor serves the keys: %s\n", TamsuErrorText(result));
  } else {
    std::fprintf(stderr, "TamsuCli: the monitor's key list failed: %s.\n", SdkError(result).c_str());
  }
  return kNoMonitor;
}

std::wstring KeyPipeName(const std::string& devicePath) { return tamsu::DevicePipeName(Widen(devicePath)); }

int ListCommand(const Options& options) {
  std::vector<std::string> paths;
  const LONG result = tamsu::ListKeyPaths(&paths);
  if (result != TAMSU_S_SUCCESS) return ListFailed(result);
  if (paths.empty() && !options.json) std::printf("No key present.\n");
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::wstring pipe = KeyPipeName(paths[i]);
    if (options.json) {
      std::printf("{\"index\":%u,\"path\":%s,\"pipe\":%s}\n", static_cast<unsigned>(i), Json(paths[i]).c_str(),
                  Json(pipe).c_str());
    } else {
      std::printf("%u  %s\n   pipe %s\n", static_cast<unsigned>(i), paths[i].c_str(), Narrow(pipe).c_str());
    }
  }
  return kOk;
}

// Never closed: the console's handler thread may still set it while the program ends.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(g_stop);
  return TRUE;
}

void WatchEvent(const Options& options, const char* event, const std::string& detail) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char time[16];
  std::snprintf(time, sizeof time, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  char date[16];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
  const std::string name(event);
  if (!options.json) {
    std::printf("%s  %-8s %s\n", time, event, detail.c_str());
  } else {
    // Monitoring logs outlive the day: the JSON time carries the date.
    const bool key = name == "present" || name == "arrived" || name == "left";
    std::printf("{\"time\":\"%sT%s\",\"event\":\"%s\",\"%s\":%s}\n", date, time, event, key ? "path" : "detail",
                Json(detail).c_str());
  }
}

bool Holds(const std::vector<std::string>& paths, const std::string& path) {
  for (const std::string& candidate : paths) {
    if (candidate == path) return true;
  }
  return false;
}

int WatchCommand(const Options& options) {
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stop) {
    std::fprintf(stderr, "TamsuCli: cannot create an event (error %lu).\n", GetLastError());
    return kConnection;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  if (!options.json) std::fprintf(stderr, "Watching the keys; Ctrl+C to stop.\n");
  const DWORD start = GetTickCount();
  const DWORD durationMs = options.durationS * 1000;
  std::vector<std::string> known;
  LONG state = TAMSU_S_SUCCESS;
  for (bool first = true;; first = false) {
    std::vector<std::string> now;
    const LONG result = tamsu::ListKeyPaths(&now);
    // A monitor that is gone serves no key; a list that failed otherwise says nothing about them.
    if (result != TAMSU_S_SUCCESS && result != TAMSU_E_NO_SERVICE) now = known;
    if (result != state) {
      if (result == TAMSU_E_NO_SERVICE) WatchEvent(options, "monitor", "no monitor running");
      else if (result != TAMSU_S_SUCCESS) WatchEvent(options, "error", "the key list failed: " + SdkError(result));
      else WatchEvent(options, "monitor", "monitor running");
      state = result;
    }
    for (const std::string& path : known) {
      if (!Holds(now, path)) WatchEvent(options, "left", path);
    }
    for (const std::string& path : now) {
      if (!Holds(known, path)) WatchEvent(options, first ? "present" : "arrived", path);
    }
    known = now;
    std::fflush(stdout);
    DWORD waitMs = kWatchPollMs;
    if (durationMs) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= durationMs) break;
      if (durationMs - elapsed < waitMs) waitMs = durationMs - elapsed;
    }
    if (WaitForSingleObject(g_stop, waitMs) == WAIT_OBJECT_0) break;
  }
  return kOk;
}

// The key by index (digits only) or by device path, with or without its "\\?\" prefix.
int FindKey(const std::string& selector, std::string* path, unsigned* index) {
  std::vector<std::string> paths;
  const LONG result = tamsu::ListKeyPaths(&paths);
  if (result != TAMSU_S_SUCCESS) return ListFailed(result);
  if (paths.empty()) {
    std::fprintf(stderr, "TamsuCli: No key present.\n");
    return kNoKey;
  }
  const long wanted = Decimal(selector);
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& candidate = paths[i];
    const bool match = wanted >= 0 ? static_cast<size_t>(wanted) == i
                                   : SameIgnoringCase(selector, candidate.c_str()) ||
                                         (candidate.size() > tamsu::kDevicePathPrefixLength &&
                                          SameIgnoringCase(selector, candidate.c_str() + tamsu::kDevicePathPrefixLength));
    if (match) {
      *path = candidate;
      *index = static_cast<unsigned>(i);
      return kOk;
    }
  }
  std::fprintf(stderr, "TamsuCli: key %s not found (%u key(s) present; see TamsuCli list).\n",
               Quoted(selector).c_str(), static_cast<unsigned>(paths.size()));
  return kNoKey;
}

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (key_) TamsuDisconnect(key_);
  }
  TAMSU_KEY* out() { return &key_; }
  TAMSU_KEY get() const { return key_; }

 private:
  TAMSU_KEY key_ = nullptr;
};

// One command, one answer; an answer longer than our buffer is fetched again, not re-sent.
LONG Transmit(TAMSU_KEY key, const Bytes& command, Bytes* answer, DWORD timeoutMs) {
  answer->assign(tamsu::cli::kMaxApduBytes, 0);
  DWORD length = static_cast<DWORD>(answer->size());
  LONG result = TamsuTransmit(key, command.data(), static_cast<DWORD>(command.size()), answer->data(), &length,
                              timeoutMs);
  if (result == TAMSU_E_INSUFFICIENT_BUFFER && length > answer->size() && length <= kMaxCollected) {
    answer->assign(length, 0);
    result = TamsuTransmit(key, command.data(), static_cast<DWORD>(command.size()), answer->data(), &length,
                           timeoutMs);
  }
  answer->resize(result == TAMSU_S_SUCCESS && length <= answer->size() ? length : 0);
  return result;
}

struct Outcome {
  LONG result = TAMSU_S_SUCCESS;
  Bytes answer;  // with --get-response, everything collected and the last status word
  unsigned exchanges = 0;
  double ms = 0;
};

// One APDU of the user's. With --get-response it may take several exchanges, each printed as it
// happens (text), their data collected in order.
Outcome Exchange(TAMSU_KEY key, const Bytes& command, const Options& options, const std::string& name) {
  Outcome outcome;
  Bytes sent = command;
  Bytes collected;
  bool corrected = false;
  for (;;) {
    if (!options.json) PrintHex("> ", sent);
    Bytes answer;
    const double before = NowMs();
    outcome.result = Transmit(key, sent, &answer, options.timeoutS * 1000);
    const double ms = NowMs() - before;
    outcome.ms += ms;
    ++outcome.exchanges;
    if (outcome.result != TAMSU_S_SUCCESS) return outcome;
    if (!options.json) {
      PrintHex("< ", answer);
      if (answer.size() >= 2) std::printf("SW %s  %.3f ms  %s\n", Sw(answer).c_str(), ms, SwMeaning(answer).c_str());
      else std::printf("SW none (answer of %u byte(s))  %.3f ms\n", static_cast<unsigned>(answer.size()), ms);
    }
    const unsigned char sw1 = answer.size() >= 2 ? answer[answer.size() - 2] : 0;
    const unsigned char sw2 = answer.size() >= 2 ? answer.back() : 0;
    const bool more = options.getResponse && (sw1 == 0x61 || (sw1 == 0x6C && !corrected));
    const bool roomLeft = outcome.exchanges < kMaxExchangesPerApdu && collected.size() + answer.size() <= kMaxCollected;
    if (more && !roomLeft) {
      std::fprintf(stderr, "TamsuCli: %s: stopped collecting after %u exchanges and %u bytes.\n", name.c_str(),
                   outcome.exchanges, static_cast<unsigned>(collected.size() + answer.size()));
    }
    Bytes next;
    if (more && roomLeft && sw1 == 0x6C && !tamsu::cli::WithLe(sent, sw2, &next)) {
      std::fprintf(stderr, "TamsuCli: %s: the command's Le cannot be corrected (no APDU case fits).\n", name.c_str());
    }
    if (more && roomLeft && sw1 == 0x61) {
      next = {0x00, 0xC0, 0x00, 0x00, sw2};
      collected.insert(collected.end(), answer.begin(), answer.end() - 2);
    }
    if (next.empty()) {
      collected.insert(collected.end(), answer.begin(), answer.end());
      break;
    }
    // Only one correction in a row: a key that answers 6Cxx to its own Le would loop.
    corrected = sw1 == 0x6C;
    sent = next;
  }
  outcome.answer = collected;
  if (!options.json && outcome.exchanges > 1) PrintHex("= ", outcome.answer);
  return outcome;
}

// The failed exchange's message, and its exit code.
int TransmitFailed(LONG result, const std::string& name, const Options& options, std::string* text) {
  if (result == TAMSU_W_REMOVED_CARD) {
    *text = "the key dropped the connection without an answer";
  } else if (result == TAMSU_E_TIMEOUT) {
    *text = "no answer within " + std::to_string(options.timeoutS) + " s";
  } else {
    *text = SdkError(result);
  }
  std::fprintf(stderr, "TamsuCli: %s: %s.\n", name.c_str(), text->c_str());
  return kConnection;
}

int SendAll(const Options& options, const std::vector<ScriptLine>& lines, bool script) {
  std::string path;
  unsigned index = 0;
  int code = FindKey(options.key, &path, &index);
  if (code != kOk) return code;
  Connection key;
  const LONG connected = TamsuConnect(path.c_str(), options.waitS * 1000, key.out());
  if (connected == TAMSU_E_SHARING_VIOLATION) {
    std::fprintf(stderr, "TamsuCli: key in use: another program held key %u for %lu s (see --wait).\n", index,
                 options.waitS);
    return kKeyInUse;
  }
  if (connected == TAMSU_E_UNKNOWN_READER) {
    std::fprintf(stderr, "TamsuCli: key %u is no longer served: %s.\n", index, SdkError(connected).c_str());
    return kNoKey;
  }
  if (connected != TAMSU_S_SUCCESS) {
    std::fprintf(stderr, "TamsuCli: cannot connect to key %u: %s.\n", index, SdkError(connected).c_str());
    return kConnection;
  }
  if (!options.json) std::printf("Key %u  %s\n", index, path.c_str());
  const std::string keyJson = "{\"key\":" + std::to_string(index) + ",\"path\":" + Json(path);
  for (size_t i = 0; i < lines.size(); ++i) {
    const ScriptLine& line = lines[i];
    const std::string name = script ? "line " + std::to_string(line.line) : "APDU " + std::to_string(i + 1);
    const Outcome outcome = Exchange(key.get(), line.apdu, options, name);
    std::string json = keyJson;
    if (script) json += ",\"line\":" + std::to_string(line.line);
    json += ",\"command\":\"" + tamsu::cli::HexText(line.apdu.data(), line.apdu.size(), "") + "\"";
    if (outcome.result != TAMSU_S_SUCCESS) {
      std::string text;
      code = TransmitFailed(outcome.result, name, options, &text);
      if (options.json) std::printf("%s,\"error\":%s}\n", json.c_str(), Json(text).c_str());
      return code;
    }
    const bool met = !line.expects || line.expected.Matches(outcome.answer);
    if (options.json) {
      char ms[32];
      std::snprintf(ms, sizeof ms, "%.3f", outcome.ms);
      json += ",\"answer\":\"" + tamsu::cli::HexText(outcome.answer.data(), outcome.answer.size(), "") + "\"";
      json += ",\"sw\":\"" + Sw(outcome.answer) + "\",\"status\":" + Json(SwMeaning(outcome.answer));
      json += ",\"ms\":" + std::string(ms) + ",\"exchanges\":" + std::to_string(outcome.exchanges);
      if (line.expects) {
        json += ",\"expected\":\"" + line.expected.Text() + "\",\"match\":" + (met ? "true" : "false");
      }
      std::printf("%s}\n", json.c_str());
    } else if (line.expects) {
      std::printf("expected %s: %s\n", line.expected.Text().c_str(), met ? "met" : "NOT met");
    }
    if (!met) {
      std::fprintf(stderr, "TamsuCli: %s: the answer %s is not the expected %s.\n", name.c_str(),
                   tamsu::cli::HexText(outcome.answer.data(), outcome.answer.size()).c_str(),
                   line.expected.Text().c_str());
      return kNotExpected;
    }
  }
  return kOk;
}

// The whole of a file or of standard input ("-"), at most kMaxScriptBytes.
int ReadScriptText(const std::wstring& file, std::string* text, std::string* shown) {
  const bool standardInput = file == L"-";
  *shown = standardInput ? "standard input" : Narrow(file);
  UniqueFileHandle opened;
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (!standardInput) {
    opened.reset(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    handle = opened.get();
  }
  if (!handle || handle == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "TamsuCli: cannot open %s (error %lu).\n", shown->c_str(), GetLastError());
    return kUsage;
  }
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &read, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer of a pipe is done
      std::fprintf(stderr, "TamsuCli: cannot read %s (error %lu).\n", shown->c_str(), GetLastError());
      return kUsage;
    }
    if (read == 0) break;
    if (text->size() + read > kMaxScriptBytes) {
      std::fprintf(stderr, "TamsuCli: %s is too large for a script.\n", shown->c_str());
      return kUsage;
    }
    text->append(buffer, read);
  }
  return kOk;
}

// A number of seconds for an option, within its bounds.
bool Seconds(const std::wstring& value, long low, DWORD* out) {
  const long seconds = Decimal(Narrow(value));
  if (seconds < low || seconds > static_cast<long>(kMaxSeconds)) return false;
  *out = static_cast<DWORD>(seconds);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return UsageError("no command given");
  const std::wstring command = argv[1];
  if (command == L"help" || command == L"--help" || command == L"-h" || command == L"/?") {
    std::printf("%s", kUsageText);
    return kOk;
  }
  if (command == L"status") {
    tamsu::cli::StatusOptions status;
    for (int i = 2; i < argc; ++i) {
      const std::wstring argument = argv[i];
      if (argument == L"--json") status.json = true;
      else if (argument == L"--full") status.full = true;
      else return UsageError("status takes --json and --full only, not " + Quoted(Narrow(argument)));
    }
    return tamsu::cli::StatusCommand(status);
  }
  const bool exchanges = command == L"send" || command == L"script";
  if (!exchanges && command != L"list" && command != L"watch") return UsageError("unknown command");
  const std::string commandName = Narrow(command);

  Options options;
  for (int i = 2; i < argc; ++i) {
    const std::wstring argument = argv[i];
    const bool withValue = argument == L"--key" || argument == L"-k" || argument == L"--timeout" ||
                           argument == L"--wait" || argument == L"--duration";
    if (withValue && i + 1 >= argc) return UsageError(Narrow(argument) + " lacks its value");
    const std::wstring value = withValue ? argv[++i] : std::wstring();
    const bool forExchanges = withValue ? argument != L"--duration" : argument == L"--get-response";
    if (argument == L"--json") {
      options.json = true;
    } else if (argument == L"--duration" && command != L"watch") {
      return UsageError("--duration is not an option of " + commandName);
    } else if ((withValue || argument == L"--get-response") && forExchanges != exchanges) {
      return UsageError(Narrow(argument) + " is not an option of " + commandName);
    } else if (argument == L"--key" || argument == L"-k") {
      options.key = Narrow(value);
    } else if (argument == L"--timeout") {
      if (!Seconds(value, 1, &options.timeoutS)) return UsageError("--timeout takes a number of seconds from 1 to 999999");
    } else if (argument == L"--wait") {
      if (!Seconds(value, 0, &options.waitS)) return UsageError("--wait takes a number of seconds from 0 to 999999");
    } else if (argument == L"--duration") {
      if (!Seconds(value, 1, &options.durationS)) return UsageError("--duration takes a number of seconds from 1 to 999999");
    } else if (argument == L"--get-response") {
      options.getResponse = true;
    } else if (argument.size() > 1 && argument[0] == L'-') {
      return UsageError("unknown option " + Quoted(Narrow(argument)));
    } else {
      options.operands.push_back(argument);
    }
  }

  if (!exchanges) {
    if (!options.operands.empty()) return UsageError(commandName + " takes no arguments");
    return command == L"list" ? ListCommand(options) : WatchCommand(options);
  }

  std::vector<ScriptLine> lines;
  if (command == L"script") {
    if (options.operands.size() != 1) return UsageError("script takes one file, or - for standard input");
    std::string text, shown, problem;
    const int code = ReadScriptText(options.operands[0], &text, &shown);
    if (code != kOk) return code;
    if (!tamsu::cli::ParseScript(text, &lines, &problem)) {
      std::fprintf(stderr, "TamsuCli: %s %s.\n", shown.c_str(), problem.c_str());
      return kBadInput;
    }
    if (lines.empty()) {
      std::fprintf(stderr, "TamsuCli: %s holds no APDU.\n", shown.c_str());
      return kBadInput;
    }
  } else {
    if (options.operands.empty()) return UsageError("send needs at least one APDU");
    for (size_t i = 0; i < options.operands.size(); ++i) {
      ScriptLine line;
      std::string problem;
      const std::string text = Narrow(options.operands[i]);
      if (!tamsu::cli::ParseHex(text, &line.apdu, &problem)) {
        std::fprintf(stderr, "TamsuCli: APDU argument %u %s is malformed: %s.\n", static_cast<unsigned>(i + 1),
                     Quoted(text).c_str(), problem.c_str());
        return kBadInput;
      }
      lines.push_back(line);
    }
  }
  return SendAll(options, lines, command == L"script");
}
