// The Win32 side of `TamsuCli status`: each probe reads one part of the machine into StatusFacts
// and judges nothing (status/status_report.h does). Every open is read-only; no APDU is sent (the
// key list is a request to the monitor, and a key's pipe is opened and closed without a byte).
//
// Bounded time: the probes run on a worker thread of their own, and the command waits for it at
// most kRunDeadlineMs; what was found by then is reported, the rest named as unfinished. The key
// list, which a silent server could hold for its whole 20 s, runs on a thread of its own as well.
#include "tools/cli/status_probe.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "common/protocol/service_names.h"
#include "common/version/version.h"
#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "installer/aid/web_host_registration.h"
#include "sdk/src/key_paths.h"
#include "tamsu_client.h"
#include "tools/cli/status/status_report.h"

#include <tlhelp32.h>

namespace tamsu {
namespace cli {
namespace {

using status::StatusFacts;

constexpr DWORD kRunDeadlineMs = 8000;    // all probes; the process, started and printed, stays within 10 s
constexpr DWORD kListBusyMs = 1500;       // a list pipe busy this long is held by another program
constexpr DWORD kListAnswerMs = 3000;     // the key list's answer (the client library would wait 20 s)
constexpr DWORD kKeyPipeGapMs = 600;      // all keys together: a listed key's pipe between two instances
constexpr DWORD kPollMs = 50;
constexpr DWORD kMaxValueBytes = 64 * 1024;
constexpr DWORD kMaxPendingBytes = 1024 * 1024;
constexpr DWORD kMaxManifestBytes = 64 * 1024;
constexpr DWORD kMaxVersionInfoBytes = 1024 * 1024;
constexpr DWORD kMaxServiceConfigBytes = 8 * 1024;  // the service manager's own limit
constexpr DWORD kPeHeadBytes = 4096;
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamsu_ZUVA";
constexpr wchar_t kUserKey[] = L"Software\\Varnelle\\Tamsu_ZUVA";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kAppPathsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kSmartCardService[] = L"SCardSvr";
// Where each browser finds the host (the setup's names), in the order of status::kBrowsers.
using setup::kBrowserHostKeys;
static_assert(ARRAYSIZE(kBrowserHostKeys) == sizeof status::kBrowsers / sizeof status::kBrowsers[0],
              "one registration per browser the report names");
using setup::kWebHostConfigKey;
constexpr DWORD kTokenIntegrityLevel = 25;  // TOKEN_INFORMATION_CLASS, Vista on

// Helper threads still running when the report is printed; see StatusCommand.
volatile LONG g_threadsLeft = 0;

// A helper thread, counted in g_threadsLeft until it ends (its routine decrements); null and
// uncounted when it cannot start.
UniqueHandle StartCountedThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
  InterlockedIncrement(&g_threadsLeft);
  UniqueHandle thread(CreateThread(nullptr, 0, routine, parameter, 0, nullptr));
  if (!thread) InterlockedDecrement(&g_threadsLeft);
  return thread;
}

double NowMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class Deadline {
 public:
  explicit Deadline(DWORD ms) : start_(GetTickCount()), ms_(ms) {}
  DWORD Remaining() const {
    const DWORD elapsed = GetTickCount() - start_;
    return elapsed >= ms_ ? 0 : ms_ - elapsed;
  }

 private:
  DWORD start_;
  DWORD ms_;
};

std::string Utf8(const wchar_t* text, size_t length) {
  return status::Utf8FromUtf16(reinterpret_cast<const uint16_t*>(text), length);
}
std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty() || utf8.size() > 32767) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

// ---- Registry, read only ----

// The 32-bit view where there are two; on 32-bit Windows there is only one to name.
REGSAM View32() { return RunsUnderWow64() ? KEY_WOW64_32KEY : 0; }

UniqueHKey OpenRead(HKEY root, const wchar_t* path, REGSAM view) {
  HKEY raw = nullptr;
  return UniqueHKey(RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | view, &raw) == ERROR_SUCCESS ? raw : nullptr);
}

struct Value {
  bool present = false;
  bool tooLarge = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// One value, of at most `maxBytes`; a value that grows between the two reads is read again.
Value ReadValue(HKEY key, const wchar_t* name, DWORD maxBytes = kMaxValueBytes) {
  Value value;
  for (int attempt = 0; key && attempt < 3; ++attempt) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    if (size > maxBytes) {
      value.present = value.tooLarge = true;
      return value;
    }
    value.data.assign(size + sizeof(wchar_t), 0);  // room for a terminator the data may lack
    DWORD read = size;
    const LONG result = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &read);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) return value;
    value.data.resize(read);
    value.present = true;
    return value;
  }
  return value;
}

// A string value (REG_SZ or REG_EXPAND_SZ, not expanded) up to its first zero; "" otherwise.
std::string ReadString(HKEY key, const wchar_t* name) {
  const Value value = ReadValue(key, name);
  if (!value.present || value.tooLarge || (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) return std::string();
  const std::vector<std::string> strings = status::MultiStrings(value.data.data(), value.data.size());
  return strings.empty() ? std::string() : strings.front();
}

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
  const Value value = ReadValue(key, name);
  if (!value.present || value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) return std::nullopt;
  DWORD number = 0;
  CopyMemory(&number, value.data.data(), sizeof number);
  return number;
}

std::optional<size_t> ListLength(HKEY key, const wchar_t* name) {
  const Value value = ReadValue(key, name);
  if (!value.present || value.tooLarge || value.type != REG_MULTI_SZ) return std::nullopt;
  return status::MultiStrings(value.data.data(), value.data.size()).size();
}

// ---- Files ----

std::wstring Expanded(const std::wstring& text) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD length = ExpandEnvironmentStringsW(text.c_str(), buffer, ARRAYSIZE(buffer));
  return length > 0 && length <= ARRAYSIZE(buffer) ? std::wstring(buffer) : text;
}

// True or false where the system says so; none when it cannot tell (access denied, for one).
std::optional<bool> FileExists(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const DWORD attributes = GetFileAttributesW(Expanded(Wide(path)).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
      error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_DRIVE) {
    return false;
  }
  return std::nullopt;
}

// Opens a file for reading; an empty handle for anything but a file on a disk. Paths come from the
// registry, and a pipe or device named there (\\.\pipe\..., \\.\COM1) could hold a read for ever.
UniqueFileHandle OpenDiskFile(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (file && GetFileType(file.get()) != FILE_TYPE_DISK) file.reset();
  return file;
}

std::string FileVersion(const std::wstring& path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0 || size > kMaxVersionInfoBytes) return std::string();
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return std::string();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof *fixed || fixed->dwSignature != 0xFEEF04BD) {
    return std::string();
  }
  return status::FileVersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

bool ReadAt(HANDLE file, DWORD offset, BYTE* buffer, DWORD size, DWORD* read) {
  LONG high = 0;
  if (SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    return false;
  }
  return ReadFile(file, buffer, size, read, nullptr) != FALSE;
}

// An Authenticode entry in the PE's security directory: signed. Whether the signature verifies is
// not asked (that needs the trust provider, and a support desk needs to know what is there first).
std::optional<bool> Signed(HANDLE file) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
  const uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
  BYTE head[kPeHeadBytes];
  DWORD read = 0;
  if (!ReadAt(file, 0, head, sizeof head, &read)) return std::nullopt;
  const auto directory = status::SecurityDirectoryOf(head, read, size);
  if (!directory) return false;
  BYTE entry[8];
  if (!ReadAt(file, directory->offset, entry, sizeof entry, &read)) return std::nullopt;
  return status::IsAuthenticodeEntry(entry, read, *directory);
}

// ---- Processes and pipes ----

struct ProcessInfo {
  bool found = false;
  std::string image;
};

// From the system's process list, which names every process without opening any.
std::optional<ProcessInfo> FindProcess(DWORD id) {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  ProcessInfo info;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID != id) continue;
    info.found = true;
    entry.szExeFile[ARRAYSIZE(entry.szExeFile) - 1] = L'\0';
    info.image = Utf8(std::wstring(entry.szExeFile));
    break;
  }
  return info;
}

// The pipe's server process where the system tells (Vista on); 0 otherwise.
DWORD PipeServerId(HANDLE pipe) {
  using ServerProcessId = BOOL(WINAPI*)(HANDLE, PULONG);
  const auto get = reinterpret_cast<ServerProcessId>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeServerProcessId")));
  ULONG id = 0;
  return get && get(pipe, &id) ? id : 0;
}

enum class PipeLook { kOpened, kBusy, kAbsent, kError };

// Opens a pipe for reading only, at identification level (no server can act as us), learns its
// server and closes it again: nothing is written, so its server receives no request.
PipeLook LookAtPipe(const std::wstring& name, DWORD* serverId, DWORD* error) {
  *serverId = 0;
  *error = 0;
  UniqueFileHandle pipe(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (pipe) {
    *serverId = PipeServerId(pipe.get());
    return PipeLook::kOpened;
  }
  *error = GetLastError();
  if (*error == ERROR_PIPE_BUSY) return PipeLook::kBusy;
  if (*error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND) return PipeLook::kAbsent;
  return PipeLook::kError;
}

// The key list through the client library (its genuine-server check included), on a thread of its
// own: a server that takes the request and never answers must not hold the report. The block is
// shared with that thread and freed by whichever of the two lets go of it last.
struct ListCall {
  volatile LONG references = 2;
  LONG result = TAMSU_F_COMM_ERROR;
  std::string text;
  std::vector<std::string> paths;
  double ms = -1;

  void Release() {
    if (InterlockedDecrement(&references) == 0) delete this;
  }
};

DWORD WINAPI ListThread(void* parameter) {
  ListCall* call = static_cast<ListCall*>(parameter);
  const double start = NowMs();
  call->result = ListKeyPaths(&call->paths);
  call->ms = NowMs() - start;
  call->text = TamsuErrorText(call->result);  // on this thread: it tells a refused server apart
  call->Release();
  InterlockedDecrement(&g_threadsLeft);
  return 0;
}

// ---- The probes ----

void ProbeSystem(status::SystemFacts* system) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
    system->versionKnown = true;
    system->major = version.dwMajorVersion;
    system->minor = version.dwMinorVersion;
    system->build = version.dwBuildNumber;
    system->workstation = version.wProductType == VER_NT_WORKSTATION;
    version.szCSDVersion[ARRAYSIZE(version.szCSDVersion) - 1] = L'\0';
    system->servicePack = Utf8(std::wstring(version.szCSDVersion));
  }
  system->wow64 = RunsUnderWow64();
  wchar_t allow[4] = {};
  system->anyServerAllowed =
      GetEnvironmentVariableW(L"TAMSU_ALLOW_ANY_SERVER", allow, ARRAYSIZE(allow)) == 1 && allow[0] == L'1';
  if (system->versionKnown && system->major < 6) return;  // no integrity levels before Vista
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
  UniqueHandle token(raw);
  DWORD label[32] = {};  // a TOKEN_MANDATORY_LABEL and its SID, DWORD-aligned
  DWORD needed = 0;
  if (!GetTokenInformation(token.get(), static_cast<TOKEN_INFORMATION_CLASS>(kTokenIntegrityLevel), label,
                           sizeof label, &needed)) {
    return;
  }
  const PSID sid = reinterpret_cast<const SID_AND_ATTRIBUTES*>(label)->Sid;
  if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0) return;
  system->integrityRid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
}

// A service by name, with the least access that reads it; `full` adds its program and recovery.
void ProbeService(const wchar_t* name, bool full, status::ServiceFacts* facts) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    facts->presence = status::Presence::kUnreadable;
    facts->error = GetLastError();
    return;
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service && GetLastError() == ERROR_ACCESS_DENIED) {
    service.reset(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  }
  if (!service) {
    facts->error = GetLastError();
    facts->presence =
        facts->error == ERROR_SERVICE_DOES_NOT_EXIST ? status::Presence::kAbsent : status::Presence::kUnreadable;
    return;
  }
  facts->presence = status::Presence::kPresent;
  SERVICE_STATUS_PROCESS state = {};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&state), sizeof state,
                           &needed)) {
    facts->state = state.dwCurrentState;
    facts->processId = state.dwProcessId;
  }
  std::vector<BYTE> buffer(kMaxServiceConfigBytes);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
    facts->configKnown = true;
    facts->startType = config->dwStartType;
    if (full && config->lpBinaryPathName) {
      const std::wstring command(config->lpBinaryPathName);
      facts->binaryPath = Utf8(command);
      facts->programPresent = FileExists(status::ProgramOfCommandLine(facts->binaryPath));
    }
  }
  if (!full) return;
  std::vector<BYTE> failure(kMaxServiceConfigBytes);
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, failure.data(),
                            static_cast<DWORD>(failure.size()), &needed)) {
    return;  // Wine, for one, accepts them but cannot report them (error 124)
  }
  const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
  facts->recoveryReported = true;
  facts->resetSeconds = actions->dwResetPeriod;
  // The actions lie in the buffer after the header: no more of them than fit between there and its end.
  const BYTE* first = reinterpret_cast<const BYTE*>(actions->lpsaActions);
  const BYTE* end = failure.data() + failure.size();
  const size_t room = first >= failure.data() && first < end ? static_cast<size_t>(end - first) / sizeof(SC_ACTION) : 0;
  for (DWORD i = 0; actions->lpsaActions && i < actions->cActions && i < room; ++i) {
    facts->recovery.push_back({static_cast<uint32_t>(actions->lpsaActions[i].Type), actions->lpsaActions[i].Delay});
  }
}

void ProbeInstall(StatusFacts* facts) {
  status::InstallFacts& install = facts->install;
  if (UniqueHKey entry = OpenRead(HKEY_LOCAL_MACHINE, kUninstallKey, View32())) {
    install.entry = true;
    install.version = ReadString(entry.get(), L"DisplayVersion");
    install.folder = ReadString(entry.get(), L"InstallLocation");
  }
  if (install.folder.empty()) {
    install.folder = status::FolderOf(status::ProgramOfCommandLine(facts->service.binaryPath));
  }
  while (install.folder.size() > 3 && (install.folder.back() == '\\' || install.folder.back() == '/')) {
    install.folder.pop_back();
  }
  install.checked = true;
  if (install.folder.empty()) return;
  for (const char* name : status::kInstalledFiles) {
    status::FileFacts file;
    file.name = name;
    const std::wstring path = Wide(install.folder + "\\" + name);
    // A file the system will not say anything about is not called missing.
    file.present = FileExists(install.folder + "\\" + name).value_or(true);
    if (!file.present) {
      install.files.push_back(file);
      continue;
    }
    if (const UniqueFileHandle opened = OpenDiskFile(path)) {
      file.version = FileVersion(path);
      file.signature = Signed(opened.get());
    }
    install.files.push_back(file);
  }
}

void ProbeMonitor(StatusFacts* facts) {
  status::MonitorFacts& monitor = facts->monitor;
  if (UniqueHKey key = OpenRead(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0)) {
    monitor.publishedId = ReadDword(key.get(), kMonitorProcessIdValue).value_or(0);
  }
  if (monitor.publishedId) {
    if (const auto process = FindProcess(monitor.publishedId)) {
      monitor.processRunning = process->found;
      monitor.processImage = process->image;
    }
  }
  monitor.checked = true;

  const std::wstring listName = PipeName(kListNameArgument);
  const Deadline busy(kListBusyMs);
  for (;;) {
    DWORD serverId = 0, error = 0;
    const PipeLook look = LookAtPipe(listName, &serverId, &error);
    monitor.pipeServerId = serverId;
    monitor.pipeError = error;
    const DWORD left = busy.Remaining();  // never 0 below: WaitNamedPipe takes 0 as the server's default
    if (look == PipeLook::kBusy && left > 0) {
      // Another client's exchange ends within milliseconds; one that holds the pipe does not.
      WaitNamedPipeW(listName.c_str(), left < 250 ? left : 250);
      Sleep(10);
      continue;
    }
    monitor.pipe = look == PipeLook::kOpened ? status::ListPipe::kServed
                   : look == PipeLook::kBusy ? status::ListPipe::kBusy
                   : look == PipeLook::kAbsent ? status::ListPipe::kAbsent
                                               : status::ListPipe::kError;
    break;
  }
  if (monitor.pipe != status::ListPipe::kServed) return;

  monitor.requestTimeoutMs = kListAnswerMs;
  ListCall* call = new ListCall;
  UniqueHandle thread = StartCountedThread(ListThread, call);
  if (!thread) {
    call->Release();
    call->Release();
    monitor.request = status::ListRequest::kFailed;
    monitor.requestError = "no thread for the request (error " + std::to_string(GetLastError()) + ")";
    return;
  }
  if (WaitForSingleObject(thread.get(), kListAnswerMs) != WAIT_OBJECT_0) {
    monitor.request = status::ListRequest::kNoAnswer;
    call->Release();  // the thread frees the block when its call returns
    return;
  }
  monitor.roundTripMs = call->ms;
  monitor.requestError = call->text;
  if (call->result == TAMSU_S_SUCCESS) {
    monitor.request = status::ListRequest::kAnswered;
    facts->keysChecked = true;
    for (const std::string& path : call->paths) facts->keys.push_back({path});
  } else if (call->result == TAMSU_E_NO_SERVICE) {
    // The library's own words for a server it would not send to.
    monitor.request = call->text.find("not the Tamsu service") != std::string::npos ? status::ListRequest::kRefused
                                                                                    : status::ListRequest::kNoService;
  } else {
    monitor.request = status::ListRequest::kFailed;
  }
  call->Release();
}

void ProbeMutex(status::MutexFacts* mutex) {
  UniqueHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, kServiceMutexName));
  const DWORD error = opened ? 0 : GetLastError();
  if (opened || error == ERROR_ACCESS_DENIED) {
    mutex->state = status::MutexState::kPresent;  // only the service's accounts may take it
  } else if (error == ERROR_FILE_NOT_FOUND) {
    mutex->state = status::MutexState::kAbsent;
  } else if (error == ERROR_INVALID_HANDLE) {
    mutex->state = status::MutexState::kOtherObject;
  } else {
    mutex->state = status::MutexState::kError;
    mutex->error = error;
  }
}

// Each listed key's pipe opened and closed again: busy counts as present (a client uses the key).
void ProbeKeys(StatusFacts* facts) {
  const Deadline gaps(kKeyPipeGapMs);
  for (status::KeyFacts& key : facts->keys) {
    if (!status::SafeKeyPath(key.path)) {
      key.pipe = status::KeyPipe::kBadPath;
      continue;
    }
    const std::wstring name = DevicePipeName(Wide(key.path));
    for (;;) {
      DWORD serverId = 0, error = 0;
      const PipeLook look = LookAtPipe(name, &serverId, &error);
      key.serverId = serverId;
      key.error = error;
      if (look == PipeLook::kAbsent && gaps.Remaining() > 0) {  // a server between two instances
        Sleep(kPollMs);
        continue;
      }
      const DWORD monitor = facts->monitor.publishedId;
      key.pipe = look == PipeLook::kOpened
                     ? (serverId && monitor && serverId != monitor ? status::KeyPipe::kForeign : status::KeyPipe::kOpen)
                 : look == PipeLook::kBusy   ? status::KeyPipe::kBusy
                 : look == PipeLook::kAbsent ? status::KeyPipe::kAbsent
                                             : status::KeyPipe::kError;
      break;
    }
  }
}

void ProbeSettings(StatusFacts* facts) {
  status::DesktopFacts& desktop = facts->desktop;
  if (UniqueHKey key = OpenRead(HKEY_CURRENT_USER, kUserKey, 0)) {
    const Value value = ReadValue(key.get(), L"EnableDesktop");
    desktop.valuePresent = value.present;
    desktop.isDword = value.present && value.type == REG_DWORD && value.data.size() == sizeof(DWORD);
    if (desktop.isDword) CopyMemory(&desktop.value, value.data.data(), sizeof(DWORD));
  }
  desktop.checked = true;
  ProbeService(kSmartCardService, false, &facts->smartCard);
}

void ProbeWebHost(status::WebHostFacts* web) {
  if (UniqueHKey config = OpenRead(HKEY_LOCAL_MACHINE, kWebHostConfigKey, View32())) {
    web->configPresent = true;
    web->extensions = ListLength(config.get(), L"AllowedExtensions");
    web->origins = ListLength(config.get(), L"AllowedOrigins");
  }
  const bool twoViews = RunsUnderWow64();
  for (size_t i = 0; i < ARRAYSIZE(kBrowserHostKeys); ++i) {
    const std::wstring hostKey = std::wstring(kBrowserHostKeys[i]) + setup::kWebHostName;
    status::BrowserFacts browser;
    browser.name = status::kBrowsers[i];
    for (const REGSAM view : {View32(), static_cast<REGSAM>(KEY_WOW64_64KEY)}) {
      if (view == KEY_WOW64_64KEY && !twoViews) continue;
      const UniqueHKey key = OpenRead(HKEY_LOCAL_MACHINE, hostKey.c_str(), view);
      const std::string manifest = key ? ReadString(key.get(), nullptr) : std::string();
      if (manifest.empty()) continue;
      (view == KEY_WOW64_64KEY ? browser.registered64 : browser.registered32) = true;
      if (browser.manifest.empty()) browser.manifest = manifest;
    }
    if (!browser.manifest.empty()) {
      browser.manifestPresent = FileExists(browser.manifest);
      const UniqueFileHandle file = OpenDiskFile(Wide(browser.manifest));
      std::string text;
      char buffer[4096];
      DWORD read = 0;
      while (file && text.size() <= kMaxManifestBytes && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) &&
             read > 0) {
        text.append(buffer, read);
      }
      if (file && text.size() <= kMaxManifestBytes) {
        browser.program = status::ManifestProgram(text);
        browser.programPresent = FileExists(browser.program);
      }
    }
    web->browsers.push_back(browser);
  }
  web->checked = true;
}

// Where the shell finds a program named without a folder: App Paths, then the system folders and
// PATH (the Run key's programs are started by the shell).
std::optional<bool> ProgramFound(const std::string& program) {
  if (program.find_first_of("\\/:") != std::string::npos) return FileExists(program);
  const std::wstring name = Wide(program);
  if (name.empty()) return false;
  for (const REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), View32()}) {
    if (view == KEY_WOW64_64KEY && !RunsUnderWow64()) continue;
    const UniqueHKey key = OpenRead(HKEY_LOCAL_MACHINE, (std::wstring(kAppPathsKey) + name).c_str(), view);
    const std::string registered = key ? ReadString(key.get(), nullptr) : std::string();
    if (!registered.empty()) return FileExists(status::ProgramOfCommandLine(registered));
  }
  wchar_t folder[MAX_PATH] = {};
  std::wstring search;
  UINT length = GetSystemDirectoryW(folder, MAX_PATH);  // too small a buffer: the size it needs
  if (length > 0 && length < MAX_PATH) search += std::wstring(folder, length) + L";";
  length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length > 0 && length < MAX_PATH) search += std::wstring(folder, length) + L";";
  std::vector<wchar_t> path(32768);
  const DWORD pathLength = GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
  if (pathLength > 0 && pathLength < path.size()) search += path.data();
  wchar_t found[MAX_PATH + 1] = {};
  return SearchPathW(search.c_str(), name.c_str(), L".exe", MAX_PATH, found, nullptr) > 0;
}

void ProbeRunEntry(status::RunEntryFacts* run) {
  const bool twoViews = RunsUnderWow64();
  const std::wstring valueName = Wide(status::kRunValue);
  for (const REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), View32()}) {
    if (view == KEY_WOW64_64KEY && !twoViews) continue;
    const UniqueHKey key = OpenRead(HKEY_LOCAL_MACHINE, kRunKey, view);
    if (!key) continue;
    const Value value = ReadValue(key.get(), valueName.c_str());
    if (!value.present) continue;
    (view == KEY_WOW64_64KEY ? run->present64 : run->present32) = true;
    if (run->command.empty()) run->command = ReadString(key.get(), valueName.c_str());
  }
  if (run->present32 || run->present64) {
    run->programFound = ProgramFound(status::ProgramOfCommandLine(Utf8(Expanded(Wide(run->command)))));
  }
  run->checked = true;
}

void ProbePending(StatusFacts* facts) {
  const UniqueHKey key = OpenRead(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0);
  std::vector<std::string> operations;
  for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
    const Value value = key ? ReadValue(key.get(), name, kMaxPendingBytes) : Value();
    if (value.tooLarge) return;  // unchecked rather than half read
    if (!value.present || value.type != REG_MULTI_SZ) continue;
    const std::vector<std::string> strings = status::AllStrings(value.data.data(), value.data.size());
    operations.insert(operations.end(), strings.begin(), strings.end());
  }
  facts->pending.files = status::PendingFilesOfOurs(operations, facts->install.folder);
  facts->pending.checked = true;
}

// ---- The run ----

const char* const kSteps[] = {"the system",   "the service",   "the installation",   "the monitor and its list",
                              "the mutex",    "the keys' pipes", "the user's settings", "the web host",
                              "the Run entry", "the pending renames"};

// What the worker found so far, and the step it is at; the command reads it when its time is up.
struct Run {
  CRITICAL_SECTION lock;
  StatusFacts published;
  size_t step = 0;
  volatile LONG references = 2;

  Run() { InitializeCriticalSection(&lock); }
  ~Run() { DeleteCriticalSection(&lock); }
  void Release() {
    if (InterlockedDecrement(&references) == 0) delete this;
  }
};

DWORD WINAPI ProbeThread(void* parameter) {
  Run* run = static_cast<Run*>(parameter);
  StatusFacts facts;
  auto done = [run, &facts](size_t step) {
    CriticalSectionLock hold(run->lock);
    run->published = facts;
    run->step = step + 1;
  };
  ProbeSystem(&facts.system);
  done(0);
  ProbeService(kServiceName, true, &facts.service);
  done(1);
  ProbeInstall(&facts);
  done(2);
  ProbeMonitor(&facts);
  done(3);
  ProbeMutex(&facts.mutex);
  done(4);
  ProbeKeys(&facts);
  done(5);
  ProbeSettings(&facts);
  done(6);
  ProbeWebHost(&facts.webHost);
  done(7);
  ProbeRunEntry(&facts.runEntry);
  done(8);
  ProbePending(&facts);
  done(9);
  run->Release();
  InterlockedDecrement(&g_threadsLeft);
  return 0;
}

// The report as text: wide characters to a console, UTF-8 to a file or pipe.
void Print(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    for (size_t at = 0; at < wide.size(); at += written) {
      const DWORD chunk = static_cast<DWORD>(wide.size() - at < 8192 ? wide.size() - at : 8192);
      if (!WriteConsoleW(out, wide.data() + at, chunk, &written, nullptr) || written == 0) break;
    }
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int StatusCommand(const StatusOptions& options) {
  const DWORD start = GetTickCount();
  Run* run = new Run;
  UniqueHandle worker = StartCountedThread(ProbeThread, run);
  if (!worker) run->Release();
  const bool finished = worker && WaitForSingleObject(worker.get(), kRunDeadlineMs) == WAIT_OBJECT_0;
  StatusFacts facts;
  {
    CriticalSectionLock hold(run->lock);
    facts = run->published;
    for (size_t step = run->step; step < ARRAYSIZE(kSteps); ++step) facts.unfinished.push_back(kSteps[step]);
  }
  run->Release();  // a worker still running frees it when it ends
  facts.toolVersion = TAMSU_VERSION_STRING;
  facts.deadlineMs = kRunDeadlineMs;
  facts.elapsedMs = GetTickCount() - start;
  const std::vector<status::Finding> findings = status::Evaluate(facts);
  const status::RenderOptions render{options.full};
  Print(options.json ? status::RenderJson(facts, findings, render) : status::RenderText(facts, findings, render));
  const int code = status::ExitCodeOf(findings);
  // A probe stuck in the system (a hung service manager, a file on a dead network share) would hold
  // the process's end in the runtime's clean-up: the report is out, so the process ends here.
  if (!finished || InterlockedCompareExchange(&g_threadsLeft, 0, 0) != 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  }
  return code;
}

}  // namespace cli
}  // namespace tamsu
