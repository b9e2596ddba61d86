// Scripted named-pipe client: runs the steps named on its command line against the service's pipes
// and records one result line per step, so a test in another process can drive a server from outside
// and read what a real client saw.
//   pipe_client OUTPUT_FILE STEP [STEP ...]
// Exit codes: 0 every step ran (some may have failed), 2 usage error, 3 the output file failed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kPipePrefix[] = L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_";
const DWORD kChunk = 70000;          // one read; a longer message continues on ERROR_MORE_DATA
const size_t kMaxMessage = 1 << 20;  // bytes kept per message; any excess is counted, then dropped
const DWORD kMaxSend = 70000;
const DWORD kOpenBudgetMs = 15000;
const DWORD kPipeWaitMs = 10000;
const DWORD kEventBudgetMs = 30000;
const DWORD kEventPollMs = 20;
const DWORD kMaxSleepMs = 600000;

enum class Kind { Open, Send, SendN, Recv, RecvLen, List, DevPipe, Xfer, Wait, Signal, Sleep, Close, Idle };

struct Step {
  Kind kind = Kind::Idle;
  std::wstring text;           // pipe suffix or event name
  std::vector<uint8_t> bytes;  // message for send/xfer
  DWORD number = 0;            // byte count, path index or milliseconds
  DWORD seed = 0;
};

// Callers use 0 as "no error", so a failure must never report it.
DWORD LastError() {
  const DWORD e = GetLastError();
  return e != 0 ? e : ERROR_GEN_FAILURE;
}

std::string Num(size_t n) { return std::to_string(static_cast<unsigned long long>(n)); }

// The output is ASCII, one record a line; anything else in a name or path must not break a line.
std::string Printable(const std::wstring& s) {
  std::string r;
  for (wchar_t c : s) r += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return r;
}

std::string Printable(const std::string& s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      r += static_cast<char>(c);
    } else {
      r += "\\x";
      r += kDigits[c >> 4];
      r += kDigits[c & 15];
    }
  }
  return r;
}

std::string Hex(const std::vector<uint8_t>& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string r;
  r.reserve(data.size() * 2);
  for (uint8_t b : data) {
    r += kDigits[b >> 4];
    r += kDigits[b & 15];
  }
  return r;
}

bool ParseDecimal(const std::wstring& s, DWORD max, DWORD* value) {
  if (s.empty() || s.size() > 9) return false;  // nine digits cannot overflow a DWORD
  DWORD v = 0;
  for (wchar_t c : s) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + static_cast<DWORD>(c - L'0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ParseHex(const std::wstring& s, std::vector<uint8_t>* out) {
  if (s.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

// The whole script is checked before anything runs, so a typo never leaves a half-driven server.
bool ParseStep(const std::wstring& arg, Step* step) {
  const size_t colon = arg.find(L':');
  const bool hasValue = colon != std::wstring::npos;
  const std::wstring name = arg.substr(0, colon);
  const std::wstring value = hasValue ? arg.substr(colon + 1) : std::wstring();
  struct Bare {
    const wchar_t* name;
    Kind kind;
  };
  static const Bare kBare[] = {{L"openlist", Kind::Open}, {L"recv", Kind::Recv},   {L"recvlen", Kind::RecvLen},
                               {L"list", Kind::List},     {L"close", Kind::Close}, {L"flushread", Kind::Idle}};
  for (const Bare& b : kBare) {
    if (name != b.name) continue;
    step->kind = b.kind;
    if (b.kind == Kind::Open) step->text = L"List";
    return !hasValue;
  }
  if (!hasValue) return false;
  step->text = value;
  if (name == L"open") {
    step->kind = Kind::Open;
    return true;
  }
  if (name == L"send" || name == L"xfer") {
    step->kind = name == L"send" ? Kind::Send : Kind::Xfer;
    return ParseHex(value, &step->bytes);
  }
  if (name == L"sendn") {
    const size_t second = value.find(L':');
    step->kind = Kind::SendN;
    return second != std::wstring::npos && ParseDecimal(value.substr(0, second), kMaxSend, &step->number) &&
           ParseDecimal(value.substr(second + 1), 255, &step->seed);
  }
  if (name == L"devpipe") {
    step->kind = Kind::DevPipe;
    return ParseDecimal(value, 999999, &step->number);
  }
  if (name == L"wait" || name == L"signal") {
    step->kind = name == L"wait" ? Kind::Wait : Kind::Signal;
    return !value.empty();
  }
  if (name == L"sleep") {
    step->kind = Kind::Sleep;
    return ParseDecimal(value, kMaxSleepMs, &step->number);
  }
  return false;
}

// Each call is one WriteFile on an unbuffered handle, so a reader sees a record as soon as it exists.
void WriteText(HANDLE out, const std::string& text) {
  DWORD written = 0;
  if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size()) {
    std::fprintf(stderr, "pipe_client: cannot write the output file (error %lu)\n", LastError());
    ExitProcess(3);
  }
}

class Client {
 public:
  explicit Client(HANDLE out) : out_(out) {}
  ~Client() { ClosePipe(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Run(const Step& step) {
    switch (step.kind) {
      case Kind::Open: ReportOpen(OpenPipe(step.text)); break;
      case Kind::Send: Send(step.bytes); break;
      case Kind::SendN: {
        std::vector<uint8_t> bytes(step.number);
        for (DWORD i = 0; i < step.number; ++i) bytes[i] = static_cast<uint8_t>((step.seed + i * 7) & 0xFF);
        Send(bytes);
        break;
      }
      case Kind::Recv: Recv(true); break;
      case Kind::RecvLen: Recv(false); break;
      case Kind::List: List(); break;
      case Kind::DevPipe: DevPipe(step.number); break;
      case Kind::Xfer:
        // A reply is only waited for when the request went out; otherwise the read could block forever.
        if (Send(step.bytes)) {
          Recv(true);
        } else {
          Line("recv fail nosend");
        }
        break;
      case Kind::Wait: Wait(step.text); break;
      case Kind::Signal: Signal(step.text); break;
      case Kind::Sleep: Sleep(step.number); Line("sleep ok"); break;
      case Kind::Close: ClosePipe(); Line("close ok"); break;
      case Kind::Idle: Line("idle ok"); break;
    }
  }

 private:
  void Line(const std::string& text) { WriteText(out_, text + "\n"); }

  void ClosePipe() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }

  // Returns 0 or the error; a busy server gets the time to free an instance.
  DWORD OpenPipe(const std::wstring& suffix) {
    ClosePipe();
    const std::wstring name = kPipePrefix + suffix;
    const DWORD start = GetTickCount();
    for (;;) {
      HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
          const DWORD e = LastError();
          CloseHandle(h);
          return e;
        }
        pipe_ = h;
        return 0;
      }
      const DWORD e = LastError();
      const DWORD spent = GetTickCount() - start;
      if (e != ERROR_PIPE_BUSY || spent >= kOpenBudgetMs) return e;
      const DWORD left = kOpenBudgetMs - spent;
      // A wait that fails at once must not turn the retry into a spin.
      if (!WaitNamedPipeW(name.c_str(), left < kPipeWaitMs ? left : kPipeWaitMs)) Sleep(20);
    }
  }

  void ReportOpen(DWORD error) { Line(error == 0 ? "open ok" : "open fail " + Num(error)); }

  DWORD WriteMessage(const std::vector<uint8_t>& bytes, DWORD* written) {
    *written = 0;
    if (pipe_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    static const uint8_t kNothing = 0;  // a zero-byte message still needs a valid buffer
    const void* data = bytes.empty() ? &kNothing : bytes.data();
    return WriteFile(pipe_, data, static_cast<DWORD>(bytes.size()), written, nullptr) ? 0 : LastError();
  }

  bool Send(const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    const DWORD e = WriteMessage(bytes, &written);
    Line(e == 0 ? "send ok " + Num(written) : "send fail " + Num(e));
    return e == 0;
  }

  // Reads one whole message. *total counts every byte of it, including any past kMaxMessage.
  DWORD ReadMessage(std::vector<uint8_t>* data, size_t* total) {
    data->clear();
    *total = 0;
    if (pipe_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    std::vector<uint8_t> chunk(kChunk);
    for (;;) {
      DWORD got = 0;
      const BOOL ok = ReadFile(pipe_, chunk.data(), kChunk, &got, nullptr);
      const DWORD e = ok ? 0 : LastError();
      if (!ok && (e != ERROR_MORE_DATA || got == 0)) return e;
      *total += got;
      const size_t room = kMaxMessage - data->size();
      data->insert(data->end(), chunk.begin(), chunk.begin() + (got < room ? got : room));
      if (ok) return 0;
    }
  }

  void Recv(bool withHex) {
    std::vector<uint8_t> data;
    size_t total = 0;
    const DWORD e = ReadMessage(&data, &total);
    if (e != 0) {
      Line("recv fail " + Num(e));
    } else if (withHex && total > data.size()) {
      Line("recv fail toolong " + Num(total));
    } else {
      Line("recv ok " + Num(total) + (withHex ? " " + Hex(data) : std::string()));
    }
  }

  void List() {
    if (pipe_ == INVALID_HANDLE_VALUE) {
      const DWORD e = OpenPipe(L"List");
      if (e != 0) return Line("list fail open " + Num(e));
    }
    static const char kRequest[] = "DeviceListA";  // the terminating zero belongs to the request
    const std::vector<uint8_t> request(kRequest, kRequest + sizeof kRequest);
    DWORD written = 0;
    DWORD e = WriteMessage(request, &written);
    if (e == 0 && written != request.size()) e = ERROR_WRITE_FAULT;
    std::vector<uint8_t> reply;
    size_t total = 0;
    if (e == 0) e = ReadMessage(&reply, &total);
    if (e != 0) return Line("list fail " + Num(e));
    if (total > reply.size()) return Line("list fail toolong " + Num(total));

    // Zero-terminated strings closed by an empty one, which must be the reply's last byte.
    std::vector<std::string> paths;
    bool closed = false;
    for (size_t pos = 0; pos < reply.size();) {
      size_t end = pos;
      while (end < reply.size() && reply[end] != 0) ++end;
      if (end == reply.size()) break;
      if (end == pos) {
        closed = end + 1 == reply.size();
        break;
      }
      paths.emplace_back(reply.begin() + pos, reply.begin() + end);
      pos = end + 1;
    }
    if (!closed) return Line("list bad");
    std::string block = "list ok " + Num(paths.size()) + "\n";
    for (const std::string& p : paths) block += "path " + Printable(p) + "\n";
    WriteText(out_, block);  // one write, so a reader never sees the count without its paths
    paths_.swap(paths);
  }

  void DevPipe(DWORD index) {
    ClosePipe();
    if (index >= paths_.size()) return Line("open fail nopath");
    const std::string& path = paths_[index];
    const int size = static_cast<int>(path.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
    if (n <= 0) return Line("open fail " + Num(LastError()));
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path.data(), size, &wide[0], n) != n) {
      return Line("open fail " + Num(LastError()));
    }
    // The pipe is named after the device path without its "\\?\" prefix.
    ReportOpen(OpenPipe(wide.size() > 4 ? wide.substr(4) : std::wstring()));
  }

  void Wait(const std::wstring& name) {
    const DWORD start = GetTickCount();
    HANDLE event = nullptr;
    // The test may create the event after starting us; only its absence is worth retrying.
    while ((event = OpenEventW(SYNCHRONIZE, FALSE, name.c_str())) == nullptr) {
      const DWORD e = LastError();
      if (e != ERROR_FILE_NOT_FOUND) return Line("wait fail " + Num(e));
      if (GetTickCount() - start >= kEventBudgetMs) return Line("wait fail timeout");
      Sleep(kEventPollMs);
    }
    const DWORD spent = GetTickCount() - start;
    const DWORD r = WaitForSingleObject(event, spent < kEventBudgetMs ? kEventBudgetMs - spent : 0);
    const DWORD e = r == WAIT_FAILED ? LastError() : 0;
    CloseHandle(event);
    if (r == WAIT_OBJECT_0) return Line("wait ok");
    Line(r == WAIT_TIMEOUT ? std::string("wait fail timeout") : "wait fail " + Num(e != 0 ? e : r));
  }

  void Signal(const std::wstring& name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) return Line("signal fail " + Num(LastError()));
    const DWORD e = SetEvent(event) ? 0 : LastError();
    CloseHandle(event);
    Line(e == 0 ? "signal ok" : "signal fail " + Num(e));
  }

  HANDLE out_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::vector<std::string> paths_;  // from the last list that succeeded
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: pipe_client OUTPUT_FILE STEP [STEP ...]\n", stderr);
    return 2;
  }
  // A fresh file each run: a test polling it must never match a line left by an earlier run.
  HANDLE out = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "pipe_client: cannot create %s (error %lu)\n", Printable(argv[1]).c_str(), LastError());
    return 3;
  }
  std::vector<Step> steps(argc > 2 ? static_cast<size_t>(argc - 2) : 0);
  for (int i = 2; i < argc; ++i) {
    if (!ParseStep(argv[i], &steps[static_cast<size_t>(i - 2)])) {
      WriteText(out, "usage " + Printable(argv[i]) + "\n");
      CloseHandle(out);
      return 2;
    }
  }
  if (steps.empty()) {
    WriteText(out, "usage\n");
    CloseHandle(out);
    return 2;
  }
  {
    Client client(out);
    for (const Step& step : steps) client.Run(step);
  }
  CloseHandle(out);
  return 0;
}
