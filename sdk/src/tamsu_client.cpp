// TamsuClient: the list and device pipes of the monitor behind five C functions, so that a client
// program never has to learn their traps (a listed key's pipe not there yet, a key busy with
// another client, a failure that is only a dropped connection, the path's prefix left out of the
// pipe's name).
//
// Built without exceptions and without the C++ library's allocations: the only allocation is
// HeapAlloc, and every failure is a code. Each key's buffers are fixed and bounded by the protocol.
#include "tamsu_client.h"

#include <cstring>
#include <new>

#include "common/protocol/pipe_protocol.h"
#include "common/protocol/service_names.h"
#include "common/win/unique_resource.h"
#include "genuine_server.h"

namespace {

using tamsu::UniqueFileHandle;
using tamsu::UniqueHandle;

constexpr DWORD kMaxMessage = tamsu::kPipeBufferSize;  // requests; and every reply the monitor writes
constexpr DWORD kListReplyTimeoutMs = 10000;           // the list also starts new device servers
constexpr DWORD kListBusyWaitMs = 10000;
constexpr DWORD kListGraceMs = 1000;       // a list request of TamsuConnect's may end this long past its time-out
constexpr DWORD kBusyWaitSliceMs = 500;    // a wait for a busy pipe, cut so the deadline is checked
constexpr DWORD kGapPollMs = 20;           // between looks for a listed key's pipe
constexpr DWORD kListRecheckMs = 1000;     // a key that left the list is not waited for any longer
constexpr DWORD kCancelWaitMs = 500;       // twice at most, for a cancelled I/O to end; see TamsuKey::Abort
constexpr size_t kMaxPathLength = 1024;    // longer than any path the monitor's list can hold
constexpr char kPathPrefix[] = "\\\\?\\";  // what the monitor drops from a path to name its pipe
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr size_t kPipeNameCapacity = sizeof tamsu::kPipeNameFormat / sizeof(wchar_t) + kMaxPathLength;

static_assert(sizeof kPathPrefix - 1 == tamsu::kDevicePathPrefixLength, "the monitor's prefix length");
static_assert(TAMSU_MAX_COMMAND <= kMaxMessage, "every command TamsuTransmit takes fits a key's request buffer");

// Milliseconds left of a caller's time-out; INFINITE never runs out. GetTickCount, not its 64-bit
// sibling (Vista): unsigned subtraction stays right across its wrap.
class Deadline {
 public:
  explicit Deadline(DWORD timeoutMs) : start_(GetTickCount()), timeoutMs_(timeoutMs) {}
  DWORD Remaining() const {
    if (timeoutMs_ == INFINITE) return INFINITE;
    const DWORD elapsed = GetTickCount() - start_;
    return elapsed >= timeoutMs_ ? 0 : timeoutMs_ - elapsed;
  }
  DWORD Elapsed() const { return GetTickCount() - start_; }

 private:
  DWORD start_;
  DWORD timeoutMs_;
};

DWORD AtMost(DWORD value, DWORD limit) { return value < limit ? value : limit; }

bool StartsWith(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (Lower(*a) != Lower(*b)) return false;
  }
  return *a == *b;
}

// The list pipe's argument ("List") in narrow characters.
struct ListArgument {
  char text[sizeof tamsu::kListNameArgument / sizeof(wchar_t)];
  ListArgument() {
    for (size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<char>(tamsu::kListNameArgument[i]);
  }
};

// The path without "\\?\" (or "\\.\"), as the monitor names the key's pipe.
const char* WithoutPrefix(const char* path) {
  return StartsWith(path, kPathPrefix) || StartsWith(path, kDevicePrefix) ? path + tamsu::kDevicePathPrefixLength
                                                                          : path;
}

// What names the key's pipe; nullptr when no served key can have it. A separator would let the
// name climb out of the pipe namespace once Windows normalises it; Windows also drops trailing dots
// and spaces, so "List. " would name the list pipe and "..." the empty name.
const char* PipeSuffix(const char* path) {
  const char* suffix = WithoutPrefix(path);
  size_t length = 0;
  for (const char* c = suffix; *c; ++c, ++length) {
    if (length >= kMaxPathLength || *c < 0x20 || *c > 0x7E || *c == '\\' || *c == '/') return nullptr;
  }
  while (length > 0 && (suffix[length - 1] == '.' || suffix[length - 1] == ' ')) --length;
  if (length == 0) return nullptr;
  ListArgument list;
  const size_t listLength = sizeof list.text - 1;
  if (length != listLength) return suffix;
  for (size_t i = 0; i < listLength; ++i) {
    if (Lower(suffix[i]) != Lower(list.text[i])) return suffix;
  }
  return nullptr;
}

// The format with `argument` (ASCII, checked by PipeSuffix) in place of %s.
void MakePipeName(const char* argument, wchar_t (&name)[kPipeNameCapacity]) {
  size_t out = 0;
  for (const wchar_t* f = tamsu::kPipeNameFormat; *f && out + 1 < kPipeNameCapacity; ++f) {
    if (f[0] == L'%' && f[1] == L's') {
      for (const char* a = argument; *a && out + 1 < kPipeNameCapacity; ++a) name[out++] = static_cast<wchar_t>(*a);
      ++f;
    } else {
      name[out++] = *f;
    }
  }
  name[out] = 0;
}

void MakeListPipeName(wchar_t (&name)[kPipeNameCapacity]) { MakePipeName(ListArgument().text, name); }

enum class IoResult { kDone, kTimeout, kMoreData, kBroken };

}  // namespace

// One connection to a pipe, with everything its overlapped I/O may write into. The block is freed
// only when no I/O is pending on it.
struct TamsuKey {
  UniqueFileHandle pipe;
  UniqueHandle event;
  OVERLAPPED io;
  bool stuck;       // an I/O that neither cancelling nor closing ended: the block is never freed
  bool kept;        // reply[0..keptLength) answers request[0..requestLength), not yet delivered
  DWORD requestLength;
  DWORD keptLength;
  BYTE request[kMaxMessage];
  BYTE reply[kMaxMessage];

  static TamsuKey* Create() {
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(TamsuKey));
    if (!memory) return nullptr;
    TamsuKey* key = new (memory) TamsuKey();
    key->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!key->event) {
      Destroy(key);
      return nullptr;
    }
    return key;
  }

  static void Destroy(TamsuKey* key) {
    key->pipe.reset();
    if (key->stuck) return;  // leaked on purpose: the system may still write into it
    key->~TamsuKey();
    HeapFree(GetProcessHeap(), 0, key);
  }

  bool connected() const { return pipe.valid(); }

  // Writes request[0..size) as one message, or reads one message into reply.
  IoResult Transfer(bool write, DWORD size, DWORD* done, const Deadline& deadline) {
    *done = 0;
    ZeroMemory(&io, sizeof io);
    io.hEvent = event.get();
    BOOL ok = write ? WriteFile(pipe.get(), request, size, nullptr, &io)
                    : ReadFile(pipe.get(), reply, sizeof reply, nullptr, &io);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(io.hEvent, deadline.Remaining()) != WAIT_OBJECT_0) {
        Abort();
        return IoResult::kTimeout;
      }
      ok = TRUE;
    }
    if (ok) ok = GetOverlappedResult(pipe.get(), &io, done, FALSE);
    if (ok) return IoResult::kDone;
    return GetLastError() == ERROR_MORE_DATA ? IoResult::kMoreData : IoResult::kBroken;
  }

  // Ends a pending I/O within about a second. Cancelling ends a pipe's I/O at once; should it not,
  // closing the handle does, and should even that not, the block stays allocated for good.
  void Abort() {
    CancelIo(pipe.get());
    if (WaitForSingleObject(io.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      pipe.reset();
      stuck = WaitForSingleObject(io.hEvent, kCancelWaitMs) != WAIT_OBJECT_0;
    }
  }

  // One request and its reply; the connection is closed on any failure, so that a late reply is
  // never read as the answer to a later request.
  IoResult Exchange(DWORD size, DWORD* replyLength, DWORD timeoutMs) {
    const Deadline deadline(timeoutMs);
    DWORD written = 0;
    IoResult result = Transfer(true, size, &written, deadline);
    if (result == IoResult::kDone && written != size) result = IoResult::kBroken;
    if (result == IoResult::kDone) result = Transfer(false, 0, replyLength, deadline);
    if (result != IoResult::kDone) pipe.reset();
    return result;
  }
};

namespace {

// OpenMessagePipe's refusal of a server that is not the service (an application-defined code).
constexpr DWORD kNotTheService = 0x20000001;
constexpr char kAllowAnyServer[] = "TAMSU_ALLOW_ANY_SERVER";

// Whether the calling thread's last "no service" was a refused server, for TamsuErrorText.
thread_local bool t_refusedServer = false;

template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// TAMSU_ALLOW_ANY_SERVER=1 in the process's environment, read once: for development against
// TamsuKeySim, never a default.
bool AnyServerAllowed() {
  static volatile LONG state = 0;  // 0 not read yet, 1 no, 2 yes
  if (state == 0) {
    char value[4] = {};
    const DWORD length = GetEnvironmentVariableA(kAllowAnyServer, value, sizeof value);
    InterlockedExchange(&state, length == 1 && value[0] == '1' ? 2 : 1);
  }
  return state == 2;
}

// The monitor's process id as the service published it; 0 when there is none.
DWORD PublishedMonitorId() {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, tamsu::kServiceKeyPath, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return 0;
  tamsu::UniqueHKey key(raw);
  DWORD id = 0;
  DWORD type = 0;
  DWORD size = sizeof id;
  const LONG read =
      RegQueryValueExW(key.get(), tamsu::kMonitorProcessIdValue, nullptr, &type, reinterpret_cast<BYTE*>(&id), &size);
  return read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof id ? id : 0;
}

// Whether the service runs (installed and not stopped; a state that cannot be read counts as
// running), and its process's session where this client may read it, else 0.
void QueryService(bool* running, DWORD* session) {
  *running = true;
  *session = 0;
  tamsu::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  tamsu::UniqueServiceHandle service(OpenServiceW(manager.get(), tamsu::kServiceName, SERVICE_QUERY_STATUS));
  if (!service) {
    *running = GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    return;
  }
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    return;
  }
  *running = status.dwCurrentState != SERVICE_STOPPED;
  DWORD id = 0;
  if (status.dwProcessId != 0 && ProcessIdToSessionId(status.dwProcessId, &id)) *session = id;
}

// Services run in a session of their own from Vista on (major version 6).
bool SessionsOfTheirOwn() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return !GetVersionExW(&version) || version.dwMajorVersion >= 6;
}

// Whether the pipe's server is the service's monitor (genuine_server.h has the rule).
bool ServedByTheService(HANDLE pipe) {
  using ServerValue = BOOL(WINAPI*)(HANDLE, PULONG);
  const auto serverProcess = Kernel32<ServerValue>("GetNamedPipeServerProcessId");
  const auto serverSession = Kernel32<ServerValue>("GetNamedPipeServerSessionId");
  tamsu::ServerFacts facts = {};
  ULONG value = 0;
  facts.idReadable = serverProcess != nullptr;
  facts.serverId = serverProcess && serverProcess(pipe, &value) ? value : 0;
  facts.publishedId = PublishedMonitorId();
  facts.sessionRequired = SessionsOfTheirOwn();
  facts.sessionKnown = serverSession && serverSession(pipe, &value);
  facts.serverSession = facts.sessionKnown ? value : 0;
  DWORD servicesSession = 0;
  QueryService(&facts.serviceRunning, &servicesSession);
  facts.servicesSession = servicesSession;
  facts.anyServerAllowed = AnyServerAllowed();
  return tamsu::GenuineServer(facts);
}

// Opens `name` for overlapped I/O in message mode: 0, kNotTheService (closed before anything was
// sent), or the error of the open.
DWORD OpenMessagePipe(const wchar_t* name, TamsuKey* key) {
  // Identification only: a server that is not the service must not act as this client.
  key->pipe.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!key->pipe) return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(key->pipe.get(), &mode, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    key->pipe.reset();
    return error ? error : ERROR_GEN_FAILURE;
  }
  if (ServedByTheService(key->pipe.get())) return 0;
  key->pipe.reset();
  return kNotTheService;
}

// The result of a connection refused or failed for want of the service.
LONG NoService(DWORD error) {
  t_refusedServer = error == kNotTheService;
  return TAMSU_E_NO_SERVICE;
}

// Asks the monitor for its list within `deadline`, waiting at most kListBusyWaitMs while other
// clients hold the list pipe and kListReplyTimeoutMs for the answer; *outOfTime tells that a wait
// ran out. On success reply[0..*size) of `key` is a well-formed list: paths, each non-empty and
// zero-terminated, then one more zero.
LONG RequestList(TamsuKey* key, DWORD* size, const Deadline& deadline, bool* outOfTime) {
  *outOfTime = false;
  wchar_t name[kPipeNameCapacity];
  MakeListPipeName(name);
  const Deadline busy(AtMost(deadline.Remaining(), kListBusyWaitMs));
  for (;;) {
    const DWORD error = OpenMessagePipe(name, key);
    if (error == 0) break;
    *outOfTime = error == ERROR_PIPE_BUSY;
    if (error != ERROR_PIPE_BUSY || busy.Remaining() == 0) return NoService(error);
    if (!WaitNamedPipeW(name, AtMost(busy.Remaining(), kBusyWaitSliceMs)) && GetLastError() != ERROR_SEM_TIMEOUT) {
      Sleep(kGapPollMs);
    }
  }
  static_assert(tamsu::kListRequestSize <= sizeof key->request, "the list request fits");
  for (size_t i = 0; i < tamsu::kListRequestSize; ++i) key->request[i] = static_cast<BYTE>(tamsu::kListRequest[i]);
  DWORD length = 0;
  const IoResult exchanged =
      key->Exchange(tamsu::kListRequestSize, &length, AtMost(deadline.Remaining(), kListReplyTimeoutMs));
  *outOfTime = exchanged == IoResult::kTimeout;
  if (exchanged != IoResult::kDone) return TAMSU_F_COMM_ERROR;
  // Anything but a list ("Error" included) is a failure of the list pipe.
  const BYTE* reply = key->reply;
  if (length == 0 || reply[length - 1] != 0) return TAMSU_F_COMM_ERROR;
  DWORD at = 0;
  while (reply[at] != 0) {
    while (at < length && reply[at] != 0) ++at;
    if (at + 1 >= length) return TAMSU_F_COMM_ERROR;  // the last path lacks the list's final zero
    ++at;
  }
  if (at + 1 != length) return TAMSU_F_COMM_ERROR;
  *size = length;
  return TAMSU_S_SUCCESS;
}

// Whether the monitor lists the key of `suffix`, asked within TamsuConnect's `deadline` or a short
// grace, so that a connection without time to wait still learns of a key whose pipe the list has
// yet to start (the list pipe is busy for a moment after each of its clients). Asking also makes
// the monitor start that key's pipe server when it has none yet.
LONG IsListed(const char* suffix, const Deadline& deadline, bool* listed) {
  *listed = false;
  TamsuKey* list = TamsuKey::Create();
  if (!list) return TAMSU_E_NO_MEMORY;
  DWORD size = 0;
  bool outOfTime = false;
  const DWORD remaining = deadline.Remaining();
  LONG result = RequestList(list, &size, Deadline(remaining > kListGraceMs ? remaining : kListGraceMs), &outOfTime);
  if (outOfTime) result = TAMSU_E_TIMEOUT;
  if (result == TAMSU_S_SUCCESS) {
    const char* entries = reinterpret_cast<const char*>(list->reply);
    for (DWORD at = 0; entries[at] != 0 && !*listed;) {
      *listed = SameIgnoringCase(WithoutPrefix(entries + at), suffix);
      while (entries[at] != 0) ++at;
      ++at;
    }
  }
  TamsuKey::Destroy(list);
  return result;
}

bool NotAPipeName(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_PATHNAME || error == ERROR_FILENAME_EXCED_RANGE;
}

// Opens the key's pipe within the deadline, through the moments a listed key has no pipe instance
// and the times another client holds it.
LONG OpenKey(const char* suffix, DWORD timeoutMs, TamsuKey* key) {
  wchar_t name[kPipeNameCapacity];
  MakePipeName(suffix, name);
  const Deadline deadline(timeoutMs);
  bool busy = false;
  bool listed = false;
  DWORD listedAt = 0;
  for (;;) {
    const DWORD error = OpenMessagePipe(name, key);
    if (error == 0) return TAMSU_S_SUCCESS;
    if (error == kNotTheService) return NoService(error);
    if (error == ERROR_PIPE_BUSY) {
      busy = true;
      if (deadline.Remaining() == 0) return TAMSU_E_SHARING_VIOLATION;
      if (!WaitNamedPipeW(name, AtMost(deadline.Remaining(), kBusyWaitSliceMs)) &&
          GetLastError() != ERROR_SEM_TIMEOUT) {
        Sleep(kGapPollMs);  // gone between two instances: the next open tells
      }
      continue;
    }
    if (!NotAPipeName(error)) return TAMSU_F_COMM_ERROR;
    // No instance: either no such key, or its server is between two instances or not started yet
    // (the list starts it). The list decides, and is asked again now and then while we wait.
    if (!listed || deadline.Elapsed() - listedAt >= kListRecheckMs) {
      const bool firstLook = !listed;
      const LONG result = IsListed(suffix, deadline, &listed);
      if (result != TAMSU_S_SUCCESS) return result;
      if (!listed) return TAMSU_E_UNKNOWN_READER;
      listedAt = deadline.Elapsed();
      if (firstLook) continue;  // the list may just have started the pipe: look once more in any case
    }
    if (deadline.Remaining() == 0) return busy ? TAMSU_E_SHARING_VIOLATION : TAMSU_E_UNKNOWN_READER;
    Sleep(AtMost(deadline.Remaining(), kGapPollMs));
  }
}

}  // namespace

extern "C" {

LONG WINAPI TamsuListKeys(char* paths, DWORD* length) {
  if (!length) return TAMSU_E_INVALID_PARAMETER;
  TamsuKey* list = TamsuKey::Create();
  if (!list) return TAMSU_E_NO_MEMORY;
  DWORD size = 0;
  bool outOfTime = false;
  LONG result = RequestList(list, &size, Deadline(kListBusyWaitMs + kListReplyTimeoutMs), &outOfTime);
  if (result == TAMSU_S_SUCCESS) {
    if (size == 1) {
      result = TAMSU_E_NO_READERS_AVAILABLE;
    } else if (paths && *length < size) {
      *length = size;
      result = TAMSU_E_INSUFFICIENT_BUFFER;
    } else {
      if (paths) CopyMemory(paths, list->reply, size);
      *length = size;
    }
  }
  TamsuKey::Destroy(list);
  return result;
}

LONG WINAPI TamsuConnect(const char* path, DWORD timeoutMs, TAMSU_KEY* key) {
  if (key) *key = nullptr;
  if (!path || !key) return TAMSU_E_INVALID_PARAMETER;
  const char* suffix = PipeSuffix(path);
  if (!suffix) return TAMSU_E_UNKNOWN_READER;
  TamsuKey* opened = TamsuKey::Create();
  if (!opened) return TAMSU_E_NO_MEMORY;
  const LONG result = OpenKey(suffix, timeoutMs, opened);
  if (result != TAMSU_S_SUCCESS) {
    TamsuKey::Destroy(opened);
    return result;
  }
  *key = opened;
  return TAMSU_S_SUCCESS;
}

LONG WINAPI TamsuTransmit(TAMSU_KEY key, const BYTE* command, DWORD commandLength, BYTE* answer,
                          DWORD* answerLength, DWORD timeoutMs) {
  if (!key || !command || !answerLength || commandLength == 0 || commandLength > TAMSU_MAX_COMMAND) {
    return TAMSU_E_INVALID_PARAMETER;
  }
  const DWORD capacity = answer ? *answerLength : 0;
  // A kept answer belongs to its own command only; another command is sent.
  if (key->kept && (commandLength != key->requestLength || memcmp(command, key->request, commandLength) != 0)) {
    key->kept = false;
  }
  if (!key->kept) {
    if (!key->connected()) return TAMSU_W_REMOVED_CARD;
    CopyMemory(key->request, command, commandLength);
    key->requestLength = commandLength;
    DWORD length = 0;
    switch (key->Exchange(commandLength, &length, timeoutMs)) {
      case IoResult::kDone:
        break;
      case IoResult::kTimeout:
        return TAMSU_E_TIMEOUT;
      case IoResult::kMoreData:
        return TAMSU_F_COMM_ERROR;  // longer than any answer the monitor writes
      case IoResult::kBroken:
        return TAMSU_W_REMOVED_CARD;
    }
    key->kept = true;
    key->keptLength = length;
  }
  *answerLength = key->keptLength;
  if (capacity < key->keptLength) return TAMSU_E_INSUFFICIENT_BUFFER;
  if (key->keptLength) CopyMemory(answer, key->reply, key->keptLength);
  key->kept = false;
  return TAMSU_S_SUCCESS;
}

LONG WINAPI TamsuDisconnect(TAMSU_KEY key) {
  if (!key) return TAMSU_E_INVALID_PARAMETER;
  TamsuKey::Destroy(key);
  return TAMSU_S_SUCCESS;
}

const char* WINAPI TamsuErrorText(LONG code) {
  switch (code) {
    case TAMSU_S_SUCCESS: return "Success.";
    case TAMSU_E_INVALID_PARAMETER: return "An argument is missing or out of range.";
    case TAMSU_E_NO_MEMORY: return "Not enough memory.";
    case TAMSU_E_INSUFFICIENT_BUFFER: return "The buffer is too small; the length needed has been returned.";
    case TAMSU_E_UNKNOWN_READER: return "No such key is served.";
    case TAMSU_E_TIMEOUT:
      return "The key or the service did not answer in time; the connection is closed.";
    case TAMSU_E_SHARING_VIOLATION: return "The key is in use by another program.";
    case TAMSU_F_COMM_ERROR: return "The service's pipe failed, or answered outside its protocol.";
    case TAMSU_E_NO_SERVICE:
      return t_refusedServer ? "The pipe's server is not the Tamsu service; nothing was sent to it."
                             : "The Tamsu service is not running.";
    case TAMSU_E_NO_READERS_AVAILABLE: return "No key is present.";
    case TAMSU_W_REMOVED_CARD: return "The command failed on the key, or the key was removed; the connection is closed.";
    default: return "Unknown result code.";
  }
}

}  // extern "C"
