// TamsuCli: a console client of the key's named pipes, for diagnosis.
//   TamsuCli list
//   TamsuCli send   [--key INDEX|PATH] [--timeout SECONDS] APDU [APDU ...]
//   TamsuCli script [--key INDEX|PATH] [--timeout SECONDS] FILE
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "service/pipes/pipe_protocol.h"

namespace {

using tamsu::UniqueFileHandle;
using tamsu::UniqueHandle;
using Bytes = std::vector<unsigned char>;

enum ExitCode { kOk = 0, kUsage = 1, kBadHex = 2, kNoMonitor = 3, kNoKey = 4, kConnection = 5 };

constexpr DWORD kBusyWaitMs = 10000;         // how long a busy pipe is waited for
constexpr DWORD kNewPipeWaitMs = 2000;       // a listed key's pipe may take a moment to appear
constexpr DWORD kListReplyTimeoutMs = 10000;
constexpr DWORD kDefaultAnswerTimeoutS = 120;  // key operations such as key generation are slow
constexpr DWORD kMaxScriptBytes = 4u << 20;
constexpr size_t kBytesPerLine = 32;

const char kUsageText[] =
    "Usage:\n"
    "  TamsuCli list\n"
    "      Lists the keys the monitor serves: index, device path and pipe name.\n"
    "  TamsuCli send [--key INDEX|PATH] [--timeout SECONDS] APDU [APDU ...]\n"
    "      Sends each APDU (hex, spaces allowed: \"00 A4 04 00\") on one connection and prints\n"
    "      the command, the answer, the status word and the round-trip time.\n"
    "  TamsuCli script [--key INDEX|PATH] [--timeout SECONDS] FILE\n"
    "      As send, with one APDU per line of FILE; '#' and '//' start comments.\n"
    "  The key defaults to index 0; the answer time-out to 120 seconds.\n"
    "Exit codes:\n"
    "  0 success   1 usage error   2 malformed or too long APDU\n"
    "  3 no monitor running (list pipe absent)   4 no key present, or key not found\n"
    "  5 connection to the key failed (pipe not opened, dropped, or no answer in time)\n";

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

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

int UsageError(const char* message) {
  std::fprintf(stderr, "TamsuCli: %s\n\n%s", message, kUsageText);
  return kUsage;
}

// Hex digits with any spaces or tabs between them; false with the reason in *problem.
bool ParseHex(const std::string& text, Bytes* out, std::string* problem) {
  out->clear();
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') continue;
    int value;
    if (c >= '0' && c <= '9') value = c - '0';
    else if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    else {
      *problem = std::string("'") + (c >= 0x20 && c < 0x7F ? c : '?') + "' at column " + std::to_string(i + 1) +
                 " is not a hex digit";
      return false;
    }
    if (high < 0) {
      high = value;
      continue;
    }
    // Counting stops past the limit, so an oversized input never grows the buffer further.
    if (out->size() == tamsu::kPipeBufferSize) {
      *problem = "longer than " + std::to_string(tamsu::kPipeBufferSize) + " bytes";
      return false;
    }
    out->push_back(static_cast<unsigned char>(high * 16 + value));
    high = -1;
  }
  if (high >= 0) *problem = "odd number of hex digits";
  else if (out->empty()) *problem = "no bytes";
  return high < 0 && !out->empty();
}

void PrintHex(const char* marker, const unsigned char* data, size_t length) {
  std::printf("%s", marker);
  for (size_t i = 0; i < length; ++i) {
    if (i > 0 && i % kBytesPerLine == 0) std::printf("\n  ");
    std::printf(i % kBytesPerLine == 0 ? "%02X" : " %02X", data[i]);
  }
  std::printf("\n");
}

// One open pipe in message mode, with overlapped I/O so that no read waits forever.
class Pipe {
 public:
  // 0, or the error that kept the pipe from opening within the waits.
  DWORD Open(const std::wstring& name, DWORD notFoundWaitMs) {
    const double start = NowMs();
    for (;;) {
      pipe_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe_) break;
      const DWORD error = GetLastError();
      const DWORD waited = static_cast<DWORD>(NowMs() - start);
      if (error == ERROR_PIPE_BUSY && waited < kBusyWaitMs) {
        WaitNamedPipeW(name.c_str(), kBusyWaitMs - waited);
      } else if (error == ERROR_FILE_NOT_FOUND && waited < notFoundWaitMs) {
        Sleep(50);
      } else {
        return error;
      }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) return GetLastError();
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event_ ? 0 : GetLastError();
  }

  // Writes one message and reads the one reply; 0, WAIT_TIMEOUT or the I/O error.
  DWORD Exchange(const Bytes& request, Bytes* reply, DWORD timeoutMs) {
    DWORD done = 0;
    Bytes message(request);
    DWORD error = Transfer(true, message.data(), static_cast<DWORD>(message.size()), &done, timeoutMs);
    if (error == 0 && done != message.size()) error = ERROR_WRITE_FAULT;
    if (error) return error;
    reply->assign(tamsu::kPipeBufferSize, 0);
    error = Transfer(false, reply->data(), static_cast<DWORD>(reply->size()), &done, timeoutMs);
    reply->resize(error ? 0 : done);
    return error;
  }

 private:
  DWORD Transfer(bool write, void* buffer, DWORD size, DWORD* done, DWORD timeoutMs) {
    OVERLAPPED io = {};
    io.hEvent = event_.get();
    const BOOL started = write ? WriteFile(pipe_.get(), buffer, size, nullptr, &io)
                               : ReadFile(pipe_.get(), buffer, size, nullptr, &io);
    if (!started && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    if (!started && WaitForSingleObject(io.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      // The buffer and the record must outlive the cancelled operation.
      CancelIo(pipe_.get());
      GetOverlappedResult(pipe_.get(), &io, done, TRUE);
      return WAIT_TIMEOUT;
    }
    return GetOverlappedResult(pipe_.get(), &io, done, FALSE) ? 0 : GetLastError();
  }

  UniqueFileHandle pipe_;
  UniqueHandle event_;
};

std::wstring Widen(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

std::wstring KeyPipeName(const std::string& devicePath) { return tamsu::DevicePipeName(Widen(devicePath)); }

// The monitor's key list, or an exit code with the message already written.
int ListKeys(std::vector<std::string>* paths) {
  Pipe pipe;
  const DWORD openError = pipe.Open(tamsu::PipeName(tamsu::kListNameArgument), 0);
  if (openError == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "TamsuCli: no monitor is running (its list pipe does not exist).\n");
    return kNoMonitor;
  }
  if (openError) {
    std::fprintf(stderr, "TamsuCli: the monitor's list pipe could not be opened (error %lu).\n", openError);
    return kNoMonitor;
  }
  const Bytes request(tamsu::kListRequest, tamsu::kListRequest + tamsu::kListRequestSize);
  Bytes reply;
  const DWORD error = pipe.Exchange(request, &reply, kListReplyTimeoutMs);
  if (error) {
    std::fprintf(stderr, "TamsuCli: the monitor did not answer the list request (error %lu).\n", error);
    return kNoMonitor;
  }
  if (reply.size() == tamsu::kErrorReplySize &&
      std::string(reply.begin(), reply.end()) == std::string(tamsu::kErrorReply, tamsu::kErrorReplySize)) {
    std::fprintf(stderr, "TamsuCli: the monitor refused the list request.\n");
    return kNoMonitor;
  }
  *paths = tamsu::ListedPaths(reinterpret_cast<const char*>(reply.data()), reply.size());
  return kOk;
}

int ListCommand() {
  std::vector<std::string> paths;
  const int code = ListKeys(&paths);
  if (code != kOk) return code;
  if (paths.empty()) std::printf("No key present.\n");
  for (size_t i = 0; i < paths.size(); ++i) {
    std::printf("%u  %s\n   pipe %s\n", static_cast<unsigned>(i), paths[i].c_str(),
                Narrow(KeyPipeName(paths[i])).c_str());
  }
  return kOk;
}

// The key by index (digits only) or by device path, with or without its "\\?\" prefix.
int FindKey(const std::string& selector, std::string* path, unsigned* index) {
  std::vector<std::string> paths;
  const int code = ListKeys(&paths);
  if (code != kOk) return code;
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

int SendAll(const std::string& selector, const std::vector<Bytes>& apdus, DWORD timeoutMs) {
  std::string path;
  unsigned index = 0;
  int code = FindKey(selector, &path, &index);
  if (code != kOk) return code;
  std::printf("Key %u  %s\n", index, path.c_str());
  Pipe pipe;
  const DWORD openError = pipe.Open(KeyPipeName(path), kNewPipeWaitMs);
  if (openError) {
    std::fprintf(stderr, "TamsuCli: the key's pipe could not be opened (error %lu).\n", openError);
    return kConnection;
  }
  for (size_t i = 0; i < apdus.size(); ++i) {
    PrintHex("> ", apdus[i].data(), apdus[i].size());
    Bytes answer;
    const double before = NowMs();
    const DWORD error = pipe.Exchange(apdus[i], &answer, timeoutMs);
    const double ms = NowMs() - before;
    if (error) {
      if (error == WAIT_TIMEOUT) {
        std::fprintf(stderr, "TamsuCli: APDU %u: no answer within %lu s.\n", static_cast<unsigned>(i + 1),
                     timeoutMs / 1000);
      } else if (error == ERROR_MORE_DATA) {
        std::fprintf(stderr, "TamsuCli: APDU %u: the answer is longer than %lu bytes.\n",
                     static_cast<unsigned>(i + 1), static_cast<unsigned long>(tamsu::kPipeBufferSize));
      } else {
        std::fprintf(stderr, "TamsuCli: APDU %u: the key dropped the connection without an answer (error %lu).\n",
                     static_cast<unsigned>(i + 1), error);
      }
      return kConnection;
    }
    PrintHex("< ", answer.data(), answer.size());
    if (answer.size() >= 2) {
      std::printf("SW %02X%02X  %.3f ms\n", answer[answer.size() - 2], answer[answer.size() - 1], ms);
    } else {
      std::printf("SW none (answer of %u byte(s))  %.3f ms\n", static_cast<unsigned>(answer.size()), ms);
    }
  }
  return kOk;
}

// The APDUs of a script: one per line, comments and blank lines skipped.
int ReadScript(const std::wstring& file, std::vector<Bytes>* apdus) {
  const std::string shown = Narrow(file);
  UniqueFileHandle handle(
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) {
    std::fprintf(stderr, "TamsuCli: cannot open %s (error %lu).\n", shown.c_str(), GetLastError());
    return kUsage;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(handle.get(), buffer, sizeof buffer, &read, nullptr)) {
      std::fprintf(stderr, "TamsuCli: cannot read %s (error %lu).\n", shown.c_str(), GetLastError());
      return kUsage;
    }
    if (read == 0) break;
    if (text.size() + read > kMaxScriptBytes) {
      std::fprintf(stderr, "TamsuCli: %s is too large for a script.\n", shown.c_str());
      return kUsage;
    }
    text.append(buffer, read);
  }
  // Editors may begin a file with the UTF-8 byte order mark.
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (unsigned line = 1; start < text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string content = text.substr(start, end - start);
    start = end + 1;
    content = content.substr(0, content.find('#'));
    content = content.substr(0, content.find("//"));
    content.erase(content.find_last_not_of(" \t\r") + 1);
    if (content.find_first_not_of(" \t") == std::string::npos) continue;
    Bytes apdu;
    std::string problem;
    if (!ParseHex(content, &apdu, &problem)) {
      std::fprintf(stderr, "TamsuCli: %s line %u: malformed APDU: %s.\n", shown.c_str(), line, problem.c_str());
      return kBadHex;
    }
    apdus->push_back(apdu);
  }
  return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return UsageError("no command given");
  const std::wstring command = argv[1];
  if (command == L"help" || command == L"--help" || command == L"-h" || command == L"/?") {
    std::printf("%s", kUsageText);
    return kOk;
  }
  if (command == L"list") return argc == 2 ? ListCommand() : UsageError("list takes no arguments");
  if (command != L"send" && command != L"script") return UsageError("unknown command");

  std::string key = "0";
  DWORD timeoutS = kDefaultAnswerTimeoutS;
  std::vector<std::wstring> operands;
  for (int i = 2; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--key" || argument == L"-k" || argument == L"--timeout") {
      if (i + 1 >= argc) return UsageError("an option lacks its value");
      const std::string value = Narrow(argv[++i]);
      if (argument != L"--timeout") {
        key = value;
        continue;
      }
      const long seconds = Decimal(value);
      if (seconds < 1 || seconds > 999999) return UsageError("--timeout takes a number of seconds from 1 to 999999");
      timeoutS = static_cast<DWORD>(seconds);
    } else if (argument.size() > 1 && argument[0] == L'-') {
      return UsageError("unknown option");
    } else {
      operands.push_back(argument);
    }
  }

  std::vector<Bytes> apdus;
  if (command == L"script") {
    if (operands.size() != 1) return UsageError("script takes one file");
    const int code = ReadScript(operands[0], &apdus);
    if (code != kOk) return code;
    if (apdus.empty()) {
      std::fprintf(stderr, "TamsuCli: %s holds no APDU.\n", Narrow(operands[0]).c_str());
      return kOk;
    }
  } else {
    if (operands.empty()) return UsageError("send needs at least one APDU");
    for (size_t i = 0; i < operands.size(); ++i) {
      Bytes apdu;
      std::string problem;
      const std::string text = Narrow(operands[i]);
      if (!ParseHex(text, &apdu, &problem)) {
        std::fprintf(stderr, "TamsuCli: APDU argument %u %s is malformed: %s.\n", static_cast<unsigned>(i + 1),
                     Quoted(text).c_str(), problem.c_str());
        return kBadHex;
      }
      apdus.push_back(apdu);
    }
  }
  return SendAll(key, apdus, timeoutS * 1000);
}
