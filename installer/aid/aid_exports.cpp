// TamsuSetupAid: the exports the setup and its uninstaller call. Each takes its arguments from the
// installer's stack and pushes its result: "ok", or the reason for the log.
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/protocol/mutex_owner.h"
#include "common/security/low_integrity_security.h"
#include "common/win/unique_resource.h"
#include "installer/aid/command_line_option.h"
#include "installer/aid/setup_checks.h"
#include "installer/aid/tree_removal_win.h"
#include "installer/aid/web_host_registration.h"
#include "plugin/call_frame.h"

namespace {

using namespace tamsu::plugin;

constexpr size_t kArgumentSize = 1024;
// One setup or uninstaller at a time on the machine, whichever session runs it.
constexpr wchar_t kSetupMutexName[] = L"Global\\TamsuSetup_ZUVA";

class Arguments {
 public:
  Arguments(int stringSize, wchar_t* variables, StackItem** stackTop) { BeginCall(stringSize, variables, stackTop); }
  // The next argument; empty when it is missing or too long (acting on part of a path is wrong).
  std::wstring Text() {
    wchar_t buffer[kArgumentSize] = {};
    const int popped = PopArgument(buffer, kArgumentSize);
    complete_ = complete_ && popped == kPopped;
    return popped == kPopped ? buffer : L"";
  }
  // Whether every argument taken so far was there and fitted.
  bool complete() const { return complete_; }
  // A decimal number; `fallback` for anything else.
  unsigned long Number(unsigned long fallback) {
    const std::wstring text = Text();
    wchar_t* end = nullptr;
    const unsigned long value = wcstoul(text.c_str(), &end, 10);
    return !text.empty() && end && *end == 0 && text[0] != L'-' ? value : fallback;
  }

 private:
  bool complete_ = true;
};

void PushOk(const std::wstring& reason) { PushResult(reason.empty() ? L"ok" : reason.c_str()); }

constexpr unsigned long kLongestWaitMs = 120000;
unsigned long Bounded(unsigned long ms) { return ms > kLongestWaitMs ? kLongestWaitMs : ms; }

// A log made anew: a name that already exists is deleted first, so that a link or another user's
// file left under the name (in a temporary folder any user may write) is never written through.
HANDLE CreateLog(const std::wstring& path) {
  DeleteFileW(path.c_str());
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

// OpenLog PATH -> the log's handle as a number, "0" when none can be made. While another run holds
// PATH, this run logs beside it, its process id before the extension.
PLUGIN_EXPORT(OpenLog) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring path = arguments.Text();
  HANDLE file = path.empty() ? INVALID_HANDLE_VALUE : CreateLog(path);
  if (file == INVALID_HANDLE_VALUE && !path.empty()) {
    const size_t slash = path.find_last_of(L"\\/");
    size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) dot = path.size();
    wchar_t pid[24];
    swprintf(pid, 24, L"-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    file = CreateLog(path.substr(0, dot) + pid + path.substr(dot));
  }
  wchar_t number[32];
  swprintf(number, 32, L"%lu",
           file == INVALID_HANDLE_VALUE ? 0ul : static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(file)));
  PushResult(number);  // the handle stays open until the process ends
}

// Log HANDLE TEXT: one line, local time first, in UTF-8.
PLUGIN_EXPORT(Log) {
  Arguments arguments(string_size, variables, stacktop);
  const HANDLE file = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(arguments.Number(0)));
  const std::wstring text = arguments.Text();
  if (!file) return;
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  wchar_t stamp[32];
  swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u  ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  const std::wstring line = stamp + text + L"\r\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// HoldSetupMutex -> "ok" (held until the process ends), "busy" while another setup or uninstaller
// runs, or "stranger" when a program of another user holds the name: any user may create it
// first, and a setup must not be kept out by that.
PLUGIN_EXPORT(HoldSetupMutex) {
  Arguments arguments(string_size, variables, stacktop);
  tamsu::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kSetupMutexName));
  const DWORD error = GetLastError();
  if (mutex && error != ERROR_ALREADY_EXISTS) {
    mutex.release();
    PushResult(L"ok");
    return;
  }
  const bool ours = mutex && tamsu::AcceptableMutexOwner(tamsu::ObjectOwnerSid(mutex.get()),
                                                         {tamsu::OwnUserSid(), tamsu::OwnDefaultOwnerSid()});
  PushResult(ours ? L"busy" : L"stranger");
}

// RemoveService NAME TIMEOUT_MS -> "ok" once the service is stopped, its monitor ended, and gone.
PLUGIN_EXPORT(RemoveService) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring name = arguments.Text();
  const DWORD timeoutMs = Bounded(arguments.Number(0));
  PushOk(name.empty() ? L"no service named" : tamsu::setup::RemoveServiceAndWait(name.c_str(), timeoutMs));
}

// VerifyService NAME PROGRAM TIMEOUT_MS -> "ok" when the service runs PROGRAM and serves.
PLUGIN_EXPORT(VerifyService) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring name = arguments.Text();
  const std::wstring program = arguments.Text();
  const DWORD timeoutMs = Bounded(arguments.Number(0));
  PushOk(name.empty() || program.empty() ? L"no service or program named"
                                         : tamsu::setup::VerifyServiceRuns(name.c_str(), program.c_str(), timeoutMs));
}

// ProtectFolder PATH -> "ok" once the folder exists with the install folder's owner and rights.
PLUGIN_EXPORT(ProtectFolder) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring path = arguments.Text();
  PushOk(path.empty() ? L"no folder named" : tamsu::setup::ProtectInstallFolder(path.c_str()));
}

// FileHash PATH -> the file's SHA-256 in lower-case hex, empty when it cannot be read.
PLUGIN_EXPORT(FileHash) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring path = arguments.Text();
  PushResult(path.empty() ? L"" : tamsu::setup::FileSha256(path.c_str()).c_str());
}

// RemoveTree PATH -> "ok" (all gone), "reboot" (the rest goes at the next restart) or "left";
// below it, what was done, for the log. Links inside are removed themselves, never followed.
PLUGIN_EXPORT(RemoveTree) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring path = arguments.Text();
  if (path.empty()) {
    PushResult(L"no folder named");
    PushResult(L"left");
    return;
  }
  const tamsu::setup::TreeRemoval removal = tamsu::setup::RemoveTreeNoFollow(path.c_str());
  wchar_t summary[160];
  swprintf(summary, 160, L"%u removed, %u links removed without following them, %u at the restart, %u left",
           removal.removed, removal.linksRemoved, removal.scheduled, removal.left);
  PushResult(summary);
  PushResult(removal.left > 0 ? L"left" : removal.scheduled > 0 ? L"reboot" : L"ok");
}

// MoveSelfAway PROGRAM FOLDER -> "ok" when the running uninstaller left its folder (it goes at the
// next restart from where it went), else the reason.
PLUGIN_EXPORT(MoveSelfAway) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring program = arguments.Text();
  const std::wstring folder = arguments.Text();
  PushOk(program.empty() || folder.empty() ? L"no program or folder named"
                                           : tamsu::setup::MoveRunningProgramAway(program.c_str(), folder.c_str()));
}

// RegisterWebHost FOLDER -> "ok" once the configuration, the manifests and the browsers' keys are
// written, from the setup's /WEBEXTENSIONS=, /WEBORIGINS= and /PINPAD= (read from the process's
// command line: NSIS's own option reader ends a value at its first "/", and URLs hold several).
// An option not given keeps the machine's value.
PLUGIN_EXPORT(RegisterWebHost) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring folder = arguments.Text();
  const std::wstring commandLine = GetCommandLineW();
  tamsu::setup::WebHostOption options[3];
  const wchar_t* const names[3] = {L"/WEBEXTENSIONS=", L"/WEBORIGINS=", L"/PINPAD="};
  for (int i = 0; i < 3; ++i) options[i].given = tamsu::setup::FindOption(commandLine, names[i], &options[i].value);
  PushOk(!arguments.complete() || folder.empty()
             ? L"no folder named"
             : tamsu::setup::RegisterWebHost(folder, options[0], options[1], options[2]));
}

// UnregisterWebHost FOLDER -> "ok", or what stays.
PLUGIN_EXPORT(UnregisterWebHost) {
  Arguments arguments(string_size, variables, stacktop);
  const std::wstring folder = arguments.Text();
  PushOk(folder.empty() ? L"no folder named" : tamsu::setup::UnregisterWebHost(folder));
}
