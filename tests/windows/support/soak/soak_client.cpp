// A client of one key for the soak and fault tests, run as a process of its own:
//   soak_client REPORT KEY_PATH KEY_TAG CLIENT_ID SEED STOP_EVENT [DISCONNECT_PERMILLE [LIST_EVERY [hostile]]]
// Until the named event is set it sends commands of random size to the key's device pipe and checks
// every answer byte for byte against the one the simulated key must give. It asks for the list
// every LIST_EVERY commands and when the key's pipe is missing, and drops its connection at random
// moments. A hostile client sends the list pipe and the key's pipe malformed messages instead and
// checks that each gets its defined outcome. Its counts go to REPORT as "name=value" lines,
// rewritten every second and at the end.
// Exit codes: 0 ran to the stop event, 2 usage error, 3 no stop event.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "soak_traffic.h"

namespace {

using tamsu::soak::Bytes;

const DWORD kIoTimeoutMs = 20000;  // an answer later than this is counted lost
const DWORD kReportEveryMs = 1000;
const DWORD kRetryPauseMs = 50;
const DWORD kOpenBudgetMs = 10000;
const int kMissingRetries = 5;
const DWORD kMissingPauseMs = 20;
const DWORD kLongestRunMs = 3 * 3600 * 1000;  // bounded even if nobody sets the event

struct Counts {
  unsigned long commands = 0, verified = 0, failed = 0, lost = 0, corrupt = 0, disconnects = 0;
  unsigned long lists = 0, listFailures = 0, opens = 0, openFailures = 0;
  unsigned long verifiedAfterFailure = 0, largestCommand = 0, largestAnswer = 0, slowestListMs = 0;
  unsigned long hostile = 0, hostileAsDesigned = 0, hostileWrong = 0;
  std::string firstMismatch, firstListFailure, firstHostileWrong;
};

enum class Io { Done, Failed, TimedOut, Stopped };

class Client {
 public:
  Client(std::wstring devicePath, uint8_t tag, uint16_t id, uint32_t seed, HANDLE stop)
      : pipeName_(tamsu::DevicePipeName(devicePath)),
        listName_(tamsu::PipeName(tamsu::kListNameArgument)),
        tag_(tag),
        id_(id),
        random_(seed),
        stop_(stop),
        event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  void Run(DWORD disconnectPermille, DWORD listEvery, bool hostile, const std::wstring& report);

 private:
  bool Stopped() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }
  HANDLE Open(const std::wstring& name);
  Io Transfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD* moved);
  Io Exchange(HANDLE pipe, const Bytes& message, Bytes* reply);
  void ListRequest();
  void OneCommand(DWORD disconnectPermille);
  void OneHostileMessage();
  Bytes RandomBytes(size_t size);
  void Failure(unsigned long* counter);
  void WriteReport(const std::wstring& path) const;

  std::wstring pipeName_, listName_;
  uint8_t tag_;
  uint16_t id_;
  tamsu::soak::Random random_;
  HANDLE stop_;
  tamsu::UniqueHandle event_;
  tamsu::UniqueFileHandle device_;
  uint32_t sequence_ = 0;
  bool failedOnce_ = false;
  Counts counts_;
};

HANDLE Client::Open(const std::wstring& name) {
  // A server makes one instance at a time: every client of a busy one waits its turn, racing the
  // others for each new instance, so the budget is time rather than attempts.
  const DWORD start = GetTickCount();
  for (int missing = 0; !Stopped() && GetTickCount() - start < kOpenBudgetMs;) {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
      return pipe;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 1000);
    } else if (error == ERROR_FILE_NOT_FOUND && ++missing <= kMissingRetries) {
      Sleep(kMissingPauseMs);  // between two instances of a server the name is briefly missing
    } else {
      return INVALID_HANDLE_VALUE;
    }
  }
  return INVALID_HANDLE_VALUE;
}

Io Client::Transfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD* moved) {
  OVERLAPPED io = {};
  io.hEvent = event_.get();
  ResetEvent(io.hEvent);
  const BOOL started = write ? WriteFile(pipe, data, size, nullptr, &io) : ReadFile(pipe, data, size, nullptr, &io);
  if (!started && GetLastError() != ERROR_IO_PENDING) return Io::Failed;
  HANDLE waits[2] = {io.hEvent, stop_};
  const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, kIoTimeoutMs);
  if (wait != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &io, moved, TRUE);
    return wait == WAIT_OBJECT_0 + 1 ? Io::Stopped : Io::TimedOut;
  }
  if (GetOverlappedResult(pipe, &io, moved, FALSE)) return Io::Done;
  return Io::Failed;  // including ERROR_MORE_DATA: no answer may exceed the pipe's buffer
}

Io Client::Exchange(HANDLE pipe, const Bytes& message, Bytes* reply) {
  DWORD moved = 0;
  Io result = Transfer(pipe, true, const_cast<uint8_t*>(message.data()), static_cast<DWORD>(message.size()), &moved);
  if (result != Io::Done) return result;
  if (moved != message.size()) return Io::Failed;
  reply->resize(2 * tamsu::kPipeBufferSize);
  result = Transfer(pipe, false, reply->data(), static_cast<DWORD>(reply->size()), &moved);
  reply->resize(result == Io::Done ? moved : 0);
  return result;
}

void Client::ListRequest() {
  const DWORD start = GetTickCount();
  tamsu::UniqueFileHandle list(Open(listName_));
  Bytes reply;
  const Bytes request(tamsu::kListRequest, tamsu::kListRequest + tamsu::kListRequestSize);
  const Io result = list ? Exchange(list.get(), request, &reply) : Stopped() ? Io::Stopped : Io::Failed;
  if (result == Io::Stopped) return;
  ++counts_.lists;
  counts_.slowestListMs = std::max(counts_.slowestListMs, static_cast<unsigned long>(GetTickCount() - start));
  std::string failure;
  if (result != Io::Done) {
    failure = (list ? "exchange, error " : "open, error ") + std::to_string(GetLastError());
  } else {
    // Device paths, each ended by a zero, then one more zero.
    if (reply.empty() || reply.back() != 0) failure = "a list without its final zero";
    for (const std::string& path : tamsu::ListedPaths(reinterpret_cast<const char*>(reply.data()), reply.size())) {
      if (path.compare(0, 4, "\\\\?\\") != 0) failure = "a listed path that is not a device path";
    }
  }
  if (failure.empty()) return;
  if (counts_.firstListFailure.empty()) counts_.firstListFailure = failure;
  ++counts_.listFailures;
}

void Client::Failure(unsigned long* counter) {
  ++*counter;
  failedOnce_ = true;
  device_.reset();
  Sleep(kRetryPauseMs);
}

void Client::OneCommand(DWORD disconnectPermille) {
  if (!device_) {
    device_.reset(Open(pipeName_));
    if (!device_) {
      if (Stopped()) return;
      // No server for the key (yet, or any more): the list request makes or removes it.
      ++counts_.openFailures;
      ListRequest();
      Sleep(kRetryPauseMs);
      return;
    }
    ++counts_.opens;
  }
  // Half the commands short, as most APDUs are; the rest of any size up to the limit.
  const size_t size = random_.Below(2) ? 1 + random_.Below(300) : 1 + random_.Below(tamsu::soak::kMaxCommandSize);
  const Bytes command = tamsu::soak::Command(id_, ++sequence_, size);
  const bool drop = random_.Below(1000) < disconnectPermille;
  if (drop && random_.Below(2)) {  // gone before sending
    ++counts_.disconnects;
    device_.reset();
    return;
  }
  if (drop) {  // gone with the command sent and its answer unread
    DWORD moved = 0;
    Transfer(device_.get(), true, const_cast<uint8_t*>(command.data()), static_cast<DWORD>(command.size()), &moved);
    ++counts_.disconnects;
    device_.reset();
    return;
  }
  ++counts_.commands;  // every counted command ends verified, failed, lost or corrupt
  Bytes answer;
  switch (Exchange(device_.get(), command, &answer)) {
    case Io::Stopped:
      --counts_.commands;
      return;
    case Io::TimedOut:
      return Failure(&counts_.lost);
    case Io::Failed:
      return Failure(&counts_.failed);
    case Io::Done:
      break;
  }
  if (command.size() > counts_.largestCommand) counts_.largestCommand = static_cast<unsigned long>(command.size());
  if (answer.size() > counts_.largestAnswer) counts_.largestAnswer = static_cast<unsigned long>(answer.size());
  if (answer == tamsu::soak::Answer(tag_, command)) {
    ++counts_.verified;
    if (failedOnce_) ++counts_.verifiedAfterFailure;
    return;
  }
  if (counts_.firstMismatch.empty()) {
    char text[160];
    std::snprintf(text, sizeof text, "sequence %lu, command %lu bytes, answer %lu bytes starting %02x",
                  static_cast<unsigned long>(sequence_), static_cast<unsigned long>(command.size()),
                  static_cast<unsigned long>(answer.size()), answer.empty() ? 0u : answer[0]);
    counts_.firstMismatch = text;
  }
  ++counts_.corrupt;
}

Bytes Client::RandomBytes(size_t size) {
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random_.Next() >> 24);
  return bytes;
}

// The outcomes the servers define: the list pipe answers anything but the list request with
// "Error" and goes on serving the connection; an empty message or one beyond the buffer ends the
// connection, on either pipe.
void Client::OneHostileMessage() {
  const uint32_t kind = random_.Below(5);
  const bool toList = kind < 3;
  tamsu::UniqueFileHandle pipe(Open(toList ? listName_ : pipeName_));
  if (!pipe) {
    if (!Stopped()) Sleep(kRetryPauseMs);  // the key's server may be gone for a while
    return;
  }
  Bytes message;
  if (kind == 0) message = RandomBytes(1 + random_.Below(tamsu::kPipeBufferSize));
  if (kind == 2 || kind == 4) message = RandomBytes(tamsu::kPipeBufferSize + 1 + random_.Below(61440));
  Bytes reply;
  const Io result = Exchange(pipe.get(), message, &reply);
  if (result == Io::Stopped) return;
  ++counts_.hostile;
  std::string wrong;
  if (kind == 0) {
    const Bytes error(tamsu::kErrorReply, tamsu::kErrorReply + tamsu::kErrorReplySize);
    const Bytes request(tamsu::kListRequest, tamsu::kListRequest + tamsu::kListRequestSize);
    Bytes list;
    if (result != Io::Done || reply != error) {
      wrong = "no Error reply to " + std::to_string(message.size()) + " random bytes";
    } else if (Exchange(pipe.get(), request, &list) != Io::Done || list.empty()) {
      wrong = "the connection was not served on after an Error reply";
    }
  } else if (result != Io::Failed) {
    wrong = (result == Io::TimedOut ? "a hang after " : "a reply to ") + std::to_string(message.size()) +
            "-byte message on the " + (toList ? "list" : "key's") + " pipe";
  }
  if (wrong.empty()) {
    ++counts_.hostileAsDesigned;
  } else {
    ++counts_.hostileWrong;
    if (counts_.firstHostileWrong.empty()) counts_.firstHostileWrong = wrong;
  }
}

void Client::Run(DWORD disconnectPermille, DWORD listEvery, bool hostile, const std::wstring& report) {
  const DWORD start = GetTickCount();
  DWORD reported = start;
  while (!Stopped() && GetTickCount() - start < kLongestRunMs) {
    if (hostile) {
      OneHostileMessage();
    } else {
      OneCommand(disconnectPermille);
    }
    if (listEvery != 0 && sequence_ % listEvery == 0 && device_) ListRequest();
    if (GetTickCount() - reported >= kReportEveryMs) {
      WriteReport(report);
      reported = GetTickCount();
    }
  }
  device_.reset();
  WriteReport(report);
}

void Client::WriteReport(const std::wstring& path) const {
  std::string text;
  auto add = [&text](const char* name, unsigned long value) {
    text += name;
    text += "=" + std::to_string(value) + "\r\n";
  };
  add("commands", counts_.commands);
  add("verified", counts_.verified);
  add("failed", counts_.failed);
  add("lost", counts_.lost);
  add("corrupt", counts_.corrupt);
  add("disconnects", counts_.disconnects);
  add("lists", counts_.lists);
  add("list_failures", counts_.listFailures);
  add("opens", counts_.opens);
  add("open_failures", counts_.openFailures);
  add("verified_after_failure", counts_.verifiedAfterFailure);
  add("largest_command", counts_.largestCommand);
  add("largest_answer", counts_.largestAnswer);
  add("slowest_list_ms", counts_.slowestListMs);
  text += "first_mismatch=" + counts_.firstMismatch + "\r\n";
  add("hostile", counts_.hostile);
  add("hostile_as_designed", counts_.hostileAsDesigned);
  add("hostile_wrong", counts_.hostileWrong);
  text += "first_list_failure=" + counts_.firstListFailure + "\r\n";
  text += "first_hostile_wrong=" + counts_.firstHostileWrong + "\r\n";
  // Written beside and moved over, so a reader never sees half a report.
  const std::wstring partial = path + L".new";
  tamsu::UniqueFileHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  file.reset();
  MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool ParseNumber(const wchar_t* text, DWORD* value) {
  wchar_t* end = nullptr;
  const unsigned long v = wcstoul(text, &end, 10);
  if (!*text || *end) return false;
  *value = v;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD tag = 0, id = 0, seed = 0, disconnectPermille = 0, listEvery = 0;
  const bool hostile = argc == 10 && std::wstring(argv[9]) == L"hostile";
  if (argc < 7 || argc > 10 || (argc == 10 && !hostile) || !ParseNumber(argv[3], &tag) || tag > 255 ||
      !ParseNumber(argv[4], &id) || id > 0xFFFF || !ParseNumber(argv[5], &seed) ||
      (argc > 7 && !ParseNumber(argv[7], &disconnectPermille)) || (argc > 8 && !ParseNumber(argv[8], &listEvery))) {
    return 2;
  }
  tamsu::UniqueHandle stop(OpenEventW(SYNCHRONIZE, FALSE, argv[6]));
  if (!stop) return 3;
  Client client(argv[2], static_cast<uint8_t>(tag), static_cast<uint16_t>(id), seed, stop.get());
  client.Run(disconnectPermille, listEvery, hostile, argv[1]);
  return 0;
}
