#include "child_process.h"

#include <tlhelp32.h>

#include "common/protocol/pipe_protocol.h"

namespace tamsu {
namespace testing_support {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length < MAX_PATH ? length : 0);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring TemporaryFileName(const wchar_t* prefix) {
  wchar_t folder[MAX_PATH] = {};
  wchar_t name[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, prefix, 0, name);
  return name;
}

std::wstring DistPath(const wchar_t* relative) {
  const std::string unix = TAMSU_DIST_DIR "/";
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path + relative;
}

std::string ReadText(const std::wstring& path) {
  std::string text;
  UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  char buffer[4096];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  return text;
}

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::map<std::string, std::string> ReadResultLines(const std::wstring& path) {
  std::map<std::string, std::string> results;
  for (const std::string& line : TextLines(ReadText(path))) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) results[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return results;
}

std::vector<ProcessEntry> ProcessesNamed(const wchar_t* name) {
  std::vector<ProcessEntry> found;
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, name) == 0) found.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
  }
  return found;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments, bool show) {
  std::wstring commandLine = L"\"" + program + L"\"";
  for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (show) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  id_ = info.dwProcessId;
  threadId_ = info.dwThreadId;
  return true;
}

std::vector<DWORD> ChildrenOfSameName(const wchar_t* name) {
  std::vector<DWORD> children;
  const std::vector<ProcessEntry> all = ProcessesNamed(name);
  for (const ProcessEntry& child : all) {
    for (const ProcessEntry& parent : all) {
      if (child.parent == parent.id) children.push_back(child.id);
    }
  }
  return children;
}

void KillProcessesNamed(const wchar_t* name) {
  for (const ProcessEntry& process : ProcessesNamed(name)) {
    UniqueHandle handle(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.id));
    if (handle) {
      TerminateProcess(handle.get(), 1);
      WaitForSingleObject(handle.get(), 5000);
    }
  }
}

DWORD ServiceState(const wchar_t* serviceName) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

std::wstring SimService() { return ProgramFolder() + L"sim_service\\TamsuSerB.exe"; }

bool WriteSimKeys(const std::vector<std::string>& lines) {
  UniqueFileHandle file(CreateFileW((ProgramFolder() + L"sim_service\\simkeys.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr));
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition, DWORD pollMs) {
  for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(pollMs)) {
    if (condition()) return true;
  }
  return condition();
}

HWND WaitForMonitorWindow(DWORD processId, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil(timeoutMs, [&] {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"TamsuMonClass_ZUVA", L"TamsuMon001_ZUVA"); window;
         window = FindWindowExW(nullptr, window, L"TamsuMonClass_ZUVA", L"TamsuMon001_ZUVA")) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (owner == processId) found = window;
    }
    return found != nullptr;
  });
  return found;
}

MonitorHost::MonitorHost(const std::vector<std::wstring>& arguments) {
  static LONG serial = 0;
  const std::wstring stopName = L"TamsuTestMonitorStop_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                std::to_wstring(InterlockedIncrement(&serial));
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
  std::vector<std::wstring> all{stopName};
  all.insert(all.end(), arguments.begin(), arguments.end());
  if (stop_) process_.Start(ProgramFolder() + L"monitor_host.exe", all);
}

MonitorHost::~MonitorHost() {
  RequestStop();
  process_.Wait(10000);
}

void MonitorHost::RequestStop() {
  if (stop_) SetEvent(stop_.get());
}

bool MonitorHost::Stop(DWORD timeoutMs) {
  RequestStop();
  DWORD code = 1;
  return process_.Wait(timeoutMs, &code) && code == 0;
}

DWORD RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments, DWORD timeoutMs) {
  ChildProcess child;
  if (!child.Start(program, arguments)) return 0xBAD0;
  DWORD code = 0xBAD1;
  return child.Wait(timeoutMs, &code) ? code : 0xBAD2;
}

namespace {

// An output file the child inherits, shared so the test can read it while the child writes.
UniqueFileHandle OutputFile(const std::wstring& name) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return UniqueFileHandle(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
}

}  // namespace

ProgramRun RunProgramWithOutput(const std::wstring& program, const std::vector<std::wstring>& arguments,
                                DWORD timeoutMs, const std::string* input) {
  ProgramRun run;
  const std::wstring outName = TemporaryFileName(L"pro");
  const std::wstring errName = TemporaryFileName(L"pre");
  const std::wstring inName = TemporaryFileName(L"pri");
  if (input) {
    UniqueFileHandle file(CreateFileW(inName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), input->data(), static_cast<DWORD>(input->size()), &written, nullptr);
  }
  {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueFileHandle in(input ? CreateFileW(inName.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                                            0, nullptr)
                              : INVALID_HANDLE_VALUE);
    UniqueFileHandle out = OutputFile(outName);
    UniqueFileHandle err = OutputFile(errName);
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    startup.hStdInput = in ? in.get() : nullptr;
    PROCESS_INFORMATION info = {};
    const DWORD start = GetTickCount();
    if (out && err && (in || !input) &&
        CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      UniqueHandle process(info.hProcess);
      UniqueHandle thread(info.hThread);
      if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0) {
        run.ms = GetTickCount() - start;
        GetExitCodeProcess(process.get(), &run.code);
      } else {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
        run.ms = GetTickCount() - start;
        run.code = 0xBAD1;
      }
    }
  }
  run.out = ReadText(outName);
  run.err = ReadText(errName);
  DeleteFileW(outName.c_str());
  DeleteFileW(errName.c_str());
  DeleteFileW(inName.c_str());
  return run;
}

SilentPipeServer::SilentPipeServer(const wchar_t* pipeName, DWORD instances)
    : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  valid_ = stop_.valid() && instances > 0;
  for (DWORD i = 0; valid_ && i < instances; ++i) {
    pipes_.emplace_back(CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances, 4096, 4096,
                                         0, nullptr));
    valid_ = pipes_.back().valid();
  }
  for (size_t i = 0; valid_ && i < pipes_.size(); ++i) {
    HANDLE pipe = pipes_[i].get();
    threads_.emplace_back([this, pipe] { Serve(pipe); });
  }
}

SilentPipeServer::~SilentPipeServer() {
  SetEvent(stop_.get());
  for (std::thread& thread : threads_) thread.join();
}

bool SilentPipeServer::Wait(HANDLE pipe, HANDLE event) {
  HANDLE events[] = {event, stop_.get()};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) return true;
  CancelIo(pipe);
  WaitForSingleObject(event, 5000);  // the cancelled I/O writes into this frame until it has ended
  return false;
}

void SilentPipeServer::Serve(HANDLE pipe) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (;;) {
    OVERLAPPED io = {};
    io.hEvent = event.get();
    ResetEvent(event.get());
    if (!ConnectNamedPipe(pipe, &io)) {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING && !Wait(pipe, event.get())) return;
      if (error != ERROR_IO_PENDING && error != ERROR_PIPE_CONNECTED) return;
    }
    for (;;) {  // every message read, none answered, until the client goes
      char buffer[4096];
      DWORD read = 0;
      OVERLAPPED receive = {};
      receive.hEvent = event.get();
      ResetEvent(event.get());
      BOOL ok = ReadFile(pipe, buffer, sizeof buffer, nullptr, &receive);
      if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (!Wait(pipe, event.get())) return;
        ok = GetOverlappedResult(pipe, &receive, &read, FALSE);
      }
      if (!ok && GetLastError() != ERROR_MORE_DATA) break;
      ++messages_;
    }
    DisconnectNamedPipe(pipe);
  }
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_) return false;
  if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
    Kill();
    return false;
  }
  if (exitCode) GetExitCodeProcess(process_.get(), exitCode);
  return true;
}

bool ChildProcess::Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

void ChildProcess::Kill() {
  if (Running()) {
    TerminateProcess(process_.get(), 0xDEAD);
    WaitForSingleObject(process_.get(), 5000);
  }
}

PipeClient::PipeClient(const std::vector<std::wstring>& steps) : output_(TemporaryFileName(L"pcl")) {
  std::vector<std::wstring> arguments{output_};
  arguments.insert(arguments.end(), steps.begin(), steps.end());
  process_.Start(ProgramFolder() + L"pipe_client.exe", arguments);
}

PipeClient::~PipeClient() {
  process_.Kill();
  DeleteFileW(output_.c_str());
}

std::vector<std::string> PipeClient::Lines() const {
  std::vector<std::string> lines;
  UniqueFileHandle file(CreateFileW(output_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!file) return lines;
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> PipeClient::Finish(DWORD timeoutMs) {
  const bool ended = process_.Wait(timeoutMs);
  std::vector<std::string> lines = Lines();
  if (!ended) lines.push_back("timeout");
  return lines;
}

std::vector<std::string> RunPipeClient(const std::vector<std::wstring>& steps, DWORD timeoutMs) {
  return PipeClient(steps).Finish(timeoutMs);
}

KeySim::KeySim(std::vector<std::wstring> arguments)
    : outName_(TemporaryFileName(L"kso")), errName_(TemporaryFileName(L"kse")) {
  static int started = 0;
  stopName_ = L"TamsuKeySimTestStop" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++started);
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stopName_.c_str()));
  arguments.push_back(L"--stop-event");
  arguments.push_back(stopName_);
  std::wstring commandLine = L"\"" + DistPath(L"tools\\TamsuKeySim.exe") + L"\"";
  for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";
  UniqueFileHandle out = OutputFile(outName_);
  UniqueFileHandle err = OutputFile(errName_);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION info = {};
  if (stop_ && out && err &&
      CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    process_.reset(info.hProcess);
    UniqueHandle thread(info.hThread);
  }
  WaitUntil(10000, [this] {
    return !process_ || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0 ||
           WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 50);
  });
}

KeySim::~KeySim() {
  Stop();
  DeleteFileW(outName_.c_str());
  DeleteFileW(errName_.c_str());
}

DWORD KeySim::Stop() {
  if (!process_) return code_;
  SetEvent(stop_.get());
  if (WaitForSingleObject(process_.get(), 20000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process_.get(), &code_)) {
    TerminateProcess(process_.get(), 0xBAD);
    WaitForSingleObject(process_.get(), 5000);
    code_ = 0xBAD;
  }
  process_.reset();
  return code_;
}

}  // namespace testing_support
}  // namespace tamsu
