#include "pipe_server.h"

#include <cstring>

#include "pipe_protocol.h"
#include "service/device/device_discovery.h"
#include "service/device/device_result.h"
#include "service/device/key_path_list.h"

namespace tamsu {

HANDLE ServiceStopEvent = nullptr;

namespace {

constexpr DWORD kListStopWaitMs = 6000;
constexpr DWORD kDeviceStopWaitMs = 100;
constexpr DWORD kDeviceStopLongWaitMs = 60000;
constexpr DWORD kNewServerPauseMs = 20;
constexpr DWORD kMutexOpenAccess = 0x20000001;  // GENERIC_EXECUTE | MUTEX_MODIFY_STATE: wait and release

DWORD WINAPI ServerThread(LPVOID server) {
  static_cast<PipeServer*>(server)->Run();
  return 0;
}

}  // namespace

DWORD AcquireServiceMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name, HANDLE stopEvent, UniqueHandle* mutex) {
  mutex->reset(CreateMutexW(attributes, FALSE, name));
  // A mutex made by another user with other rights may refuse full access but allow these.
  if (!*mutex) mutex->reset(OpenMutexW(kMutexOpenAccess, FALSE, name));
  if (!*mutex) return GetLastError();
  if (!stopEvent) return WaitForSingleObject(mutex->get(), INFINITE);
  HANDLE waits[2] = {mutex->get(), stopEvent};
  return WaitForMultipleObjects(2, waits, FALSE, INFINITE);
}

// ---------------------------------------------------------------------------------------------
// PipeServer

PipeServer::PipeServer() = default;

PipeServer::~PipeServer() {
  HANDLE instance = InterlockedExchangePointer(const_cast<HANDLE*>(&pipe_), INVALID_HANDLE_VALUE);
  if (instance != INVALID_HANDLE_VALUE) CloseHandle(instance);
}

void PipeServer::SetConnectEvent(HANDLE event) {
  connectEvent_.reset(event);
  connectOverlapped_.hEvent = event;
}

DWORD PipeServer::Run() {
  while (ServeOneInstance()) {
  }
  return 1;
}

void PipeServer::TakeInstance() {
  HANDLE instance = InterlockedExchangePointer(const_cast<HANDLE*>(&pipe_), INVALID_HANDLE_VALUE);
  if (instance == INVALID_HANDLE_VALUE) return;
  takenInstances_.emplace_back(instance);
  DisconnectNamedPipe(instance);
  if (!overlapped()) {
    // A blocking connect ends only when a client comes: be that client for a moment.
    UniqueFileHandle wake(CreateFileW(pipeName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
}

bool PipeServer::CloseInstanceIfOwned(HANDLE instance) {
  // A stopper may have taken the instance already; it closes what it takes.
  if (InterlockedCompareExchangePointer(const_cast<HANDLE*>(&pipe_), INVALID_HANDLE_VALUE, instance) != instance) {
    return false;
  }
  CloseHandle(instance);
  return true;
}

bool PipeServer::ServeOneInstance() {
  // A server told to stop makes no new instance (its thread may only now be back from a client).
  if (overlapped() && WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) return false;
  const DWORD openMode = PIPE_ACCESS_DUPLEX | (overlapped() ? FILE_FLAG_OVERLAPPED : 0);
  HANDLE instance =
      CreateNamedPipeW(pipeName_, openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kPipeMaxInstances,
                       kPipeBufferSize, kPipeBufferSize, kPipeDefaultTimeoutMs, securityAttributes_);
  const DWORD createError = GetLastError();
  // The earlier instance goes only now that the new one exists, so a client never finds no pipe.
  HANDLE earlier = InterlockedExchangePointer(const_cast<HANDLE*>(&pipe_), instance);
  if (earlier != INVALID_HANDLE_VALUE) CloseHandle(earlier);
  if (instance == INVALID_HANDLE_VALUE) return createError == ERROR_PIPE_BUSY;

  const BOOL connected =
      overlapped() ? ConnectNamedPipe(instance, &connectOverlapped_) : ConnectNamedPipe(instance, nullptr);
  if (!connected) {
    const DWORD error = GetLastError();
    if (pipe_ != instance) return false;  // a stopper took the instance
    switch (error) {
      case ERROR_IO_PENDING: {
        if (!overlapped()) {
          CloseInstanceIfOwned(instance);
          return true;
        }
        HANDLE waits[2] = {connectOverlapped_.hEvent, stopEvent_};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) break;
        CloseInstanceIfOwned(instance);
        return wait != WAIT_OBJECT_0 + 1;
      }
      case ERROR_PIPE_CONNECTED:
        break;
      case ERROR_NO_DATA:
      case ERROR_PIPE_LISTENING:
        return true;  // the next cycle closes this instance
      default:
        CloseInstanceIfOwned(instance);
        return true;
    }
  }
  if (pipe_ != instance) return false;  // taken while the client connected
  ServeClient(instance);
  return true;
}

bool PipeServer::FinishIo(HANDLE pipe, BOOL started, OVERLAPPED* io, DWORD* transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  HANDLE waits[2] = {io->hEvent, stopEvent_};
  if (started || WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    return GetOverlappedResult(pipe, io, transferred, FALSE) != FALSE;
  }
  // Told to stop while the client is idle: the request record must outlive the cancelled I/O.
  CancelIo(pipe);
  GetOverlappedResult(pipe, io, transferred, TRUE);
  SetLastError(ERROR_OPERATION_ABORTED);
  return false;
}

bool PipeServer::ReadMessage(HANDLE pipe, void* buffer, DWORD size, DWORD* read) {
  *read = 0;
  if (!overlapped()) return ReadFile(pipe, buffer, size, read, nullptr) != FALSE;
  // The connect event is idle while a client is served; ReadFile resets it when the read starts.
  OVERLAPPED io = {};
  io.hEvent = connectOverlapped_.hEvent;
  return FinishIo(pipe, ReadFile(pipe, buffer, size, nullptr, &io), &io, read);
}

bool PipeServer::WriteMessage(HANDLE pipe, const void* buffer, DWORD size, DWORD* written) {
  *written = 0;
  if (!overlapped()) return WriteFile(pipe, buffer, size, written, nullptr) != FALSE;
  OVERLAPPED io = {};
  io.hEvent = connectOverlapped_.hEvent;
  return FinishIo(pipe, WriteFile(pipe, buffer, size, nullptr, &io), &io, written);
}

void PipeServer::EndConnection(HANDLE pipe) {
  // A stopper that took the instance has closed it; the handle value must not be used again.
  if (pipe_ != pipe) return;
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
}

DWORD PipeServer::ServeClient(HANDLE pipe) {
  uint8_t request[kPipeBufferSize];
  uint8_t reply[kPipeBufferSize];
  for (;;) {
    DWORD read = 0;
    if (!ReadMessage(pipe, request, sizeof request, &read) || read == 0) break;
    DWORD replyLength = sizeof reply;
    const DWORD code = ProcessRequest(request, read, reply, &replyLength);
    if (code != 0) {
      EndConnection(pipe);
      return code;
    }
    if (replyLength > sizeof reply) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      break;
    }
    DWORD written = 0;
    if (!WriteMessage(pipe, reply, replyLength, &written) || written != replyLength) break;
  }
  const DWORD code = GetLastError();
  EndConnection(pipe);
  return code;
}

// ---------------------------------------------------------------------------------------------
// DevicePipeServer

DevicePipeServer::DevicePipeServer() = default;

DevicePipeServer::~DevicePipeServer() = default;

void DevicePipeServer::Initialize(SECURITY_ATTRIBUTES* attributes, const std::wstring& devicePath) {
  flags = server_flags::kCreated;
  devicePath_ = devicePath;
  name_ = DevicePipeName(devicePath);
  ownStopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (ownStopEvent_) SetConnectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  securityAttributes_ = attributes;
  pipeName_ = name_.c_str();
  stopEvent_ = ownStopEvent_.get();
}

bool DevicePipeServer::StartThread() {
  thread_.reset(CreateThread(nullptr, 0, ServerThread, static_cast<PipeServer*>(this), 0, nullptr));
  return thread_.valid();
}

bool DevicePipeServer::ThreadRunning() const {
  return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT;
}

bool DevicePipeServer::Stop() {
  if (!thread_) return true;
  if (stopEvent_) SetEvent(stopEvent_);
  if (WaitForSingleObject(thread_.get(), kDeviceStopWaitMs) != WAIT_TIMEOUT) return true;
  // Busy with a client or a key transaction: taking its instance ends what waits on the pipe.
  TakeInstance();
  return WaitForSingleObject(thread_.get(), kDeviceStopLongWaitMs) != WAIT_TIMEOUT;
}

DWORD DevicePipeServer::ServeClient(HANDLE pipe) {
  const DWORD opened = channel_.Open(devicePath_.c_str());
  if (opened != kDeviceSuccess) return opened;
  const DWORD code = PipeServer::ServeClient(pipe);
  channel_.Close();
  return code;
}

DWORD DevicePipeServer::ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply,
                                       DWORD* replyLength) {
  uint32_t length = *replyLength;
  const uint32_t result = channel_.Transact(request, requestLength, reply, &length);
  *replyLength = length;
  return result;
}

// ---------------------------------------------------------------------------------------------
// ListPipeServer

ListPipeServer::ListPipeServer() = default;

ListPipeServer::~ListPipeServer() {
  if (thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT) Stop();
  devices_.clear();
  // A server whose thread never ended cannot be deleted under it; the process is ending anyway.
  for (auto& server : retired_) {
    if (server->ThreadRunning()) server.release();
  }
}

int ListPipeServer::Start(HWND window) {
  if (!ServiceStopEvent) {
    ServiceStopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (ServiceStopEvent) ResetEvent(ServiceStopEvent);
  }
  name_ = PipeName(kListNameArgument);
  securityAttributes_ = security_.attributes();
  pipeName_ = name_.c_str();
  stopEvent_ = ServiceStopEvent;
  if (stopEvent_) SetConnectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  window_ = window;
  thread_.reset(CreateThread(nullptr, 0, ServerThread, static_cast<PipeServer*>(this), 0, nullptr));
  return 1;
}

int ListPipeServer::Stop() {
  if (!ServiceStopEvent) return 1;
  SetEvent(ServiceStopEvent);
  if (thread_ && WaitForSingleObject(thread_.get(), kListStopWaitMs) == WAIT_TIMEOUT) {
    // Still serving a client: end its connection, and never let the server go before its thread.
    TakeInstance();
    WaitForSingleObject(thread_.get(), INFINITE);
  }
  return 1;
}

DWORD ListPipeServer::Run() {
  security_.Build(false);
  UniqueHandle mutex;
  const DWORD acquired = AcquireServiceMutex(security_.attributes(), kServiceMutexName, stopEvent_, &mutex);
  // An abandoned mutex is owned all the same: its last owner died, and this process takes over.
  const bool owned = acquired == WAIT_OBJECT_0 || acquired == WAIT_ABANDONED;
  if (owned) {
    while (ServeOneInstance()) {
    }
    PostMessageW(window_, WM_CLOSE, 0, 0);
  }
  StopAll();
  if (owned) ReleaseMutex(mutex.get());
  return 1;
}

DWORD ListPipeServer::ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) {
  if (!IsListRequest(request, requestLength)) {
    const DWORD size = *replyLength < kErrorReplySize ? *replyLength : kErrorReplySize;
    std::memcpy(reply, kErrorReply, size);
    *replyLength = size;
    return 0;
  }
  MarkAll();
  char list[kDevicePathListCapacity];
  EnumerateKeyDevices(list, sizeof list);
  DevicePathListWriter out(reinterpret_cast<char*>(reply), *replyLength);
  for (const std::string& path : ListedPaths(list, sizeof list)) {
    Ensure(path.c_str());
    out.Append(path.c_str(), path.size());
  }
  *replyLength = static_cast<DWORD>(out.Finish());
  SweepMarked();
  return 0;
}

void ListPipeServer::MarkAll() {
  for (auto& entry : devices_) entry.second->flags |= server_flags::kNotYetSeen;
}

void ListPipeServer::Ensure(const char* path) {
  const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, path, -1, nullptr, 0);
  if (length <= 0) return;
  std::wstring widePath(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, path, -1, &widePath[0], length);
  widePath.resize(static_cast<size_t>(length) - 1);

  auto found = devices_.find(widePath);
  if (found != devices_.end()) {
    found->second->flags = server_flags::kSeen;
    return;
  }
  RemoveStale();
  DevicePipeServer& server = *(devices_[widePath] = std::unique_ptr<DevicePipeServer>(new DevicePipeServer));
  server.Initialize(security_.attributes(), widePath);
  ++serversCreated_;
  server.StartThread();
  Sleep(kNewServerPauseMs);
  server.flags = server_flags::kSeen;
}

void ListPipeServer::SweepMarked() {
  for (auto& entry : devices_) {
    if (entry.second->flags & server_flags::kNotYetSeen) entry.second->flags = server_flags::kStale;
  }
}

void ListPipeServer::RemoveStale() {
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (server_flags::IsStale(it->second->flags)) {
      std::unique_ptr<DevicePipeServer> server = std::move(it->second);
      it = devices_.erase(it);
      Retire(std::move(server));
    } else {
      ++it;
    }
  }
  DeleteEndedRetired();
}

void ListPipeServer::StopAll() {
  for (auto& entry : devices_) Retire(std::move(entry.second));
  devices_.clear();
  DeleteEndedRetired();
}

void ListPipeServer::Retire(std::unique_ptr<DevicePipeServer> server) {
  if (!server->Stop()) retired_.push_back(std::move(server));
}

void ListPipeServer::DeleteEndedRetired() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    it = (*it)->ThreadRunning() ? it + 1 : retired_.erase(it);
  }
}

}  // namespace tamsu
