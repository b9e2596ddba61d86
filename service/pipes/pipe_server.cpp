#include "pipe_server.h"

#include <cstring>

#include "common/protocol/mutex_owner.h"
#include "common/protocol/pipe_protocol.h"
#include "holder_rules.h"
#include "server_flags.h"
#include "service/device/device_discovery.h"
#include "service/device/device_result.h"
#include "service/device/key_path_list.h"

namespace tamsu {

HANDLE ServiceStopEvent = nullptr;

namespace {

constexpr DWORD kListStopWaitMs = 6000;
constexpr DWORD kMutexOpenAccess = 0x20000001;  // GENERIC_EXECUTE | MUTEX_MODIFY_STATE: wait and release
// An instance that failed to connect is offered again after this pause, not in a tight loop.
constexpr DWORD kConnectRetryPauseMs = 50;

DWORD WINAPI ServerThread(LPVOID server) {
  static_cast<PipeServer*>(server)->Run();
  return 0;
}

// Whether some process serves the pipe name: an instance exists, listening or busy.
bool NameServed(const wchar_t* pipeName) {
  if (WaitNamedPipeW(pipeName, 1)) return true;
  const DWORD error = GetLastError();
  return error == ERROR_SEM_TIMEOUT || error == ERROR_PIPE_BUSY;
}

}  // namespace

MutexWait AcquireServiceMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name, HANDLE stopEvent,
                              const wchar_t* listPipeName, UniqueHandle* mutex, DWORD* error) {
  *error = 0;
  mutex->reset(CreateMutexW(attributes, FALSE, name));
  // A mutex made by another user with other rights may refuse full access but allow waiting and
  // releasing; its owner must still be readable. One that hides its owner is no monitor's (the
  // service's grants LocalSystem and Administrators everything).
  if (!*mutex) mutex->reset(OpenMutexW(kMutexOpenAccess | READ_CONTROL, FALSE, name));
  if (!*mutex) {
    *error = GetLastError();
    UniqueHandle reduced(OpenMutexW(kMutexOpenAccess, FALSE, name));
    return reduced ? MutexWait::kStranger : MutexWait::kFailed;
  }
  if (!AcceptableMutexOwner(ObjectOwnerSid(mutex->get()), {OwnUserSid(), OwnDefaultOwnerSid()})) {
    return MutexWait::kStranger;
  }
  HANDLE waits[2] = {mutex->get(), stopEvent};
  DWORD lastServed = GetTickCount();
  for (;;) {
    const DWORD wait = WaitForMultipleObjects(stopEvent ? 2 : 1, waits, FALSE, kServingCheckMs);
    switch (wait) {
      case WAIT_OBJECT_0:
      case WAIT_ABANDONED_0:
        return MutexWait::kOwned;
      case WAIT_OBJECT_0 + 1:
        return MutexWait::kStopped;
      case WAIT_TIMEOUT:
        if (NameServed(listPipeName)) {
          lastServed = GetTickCount();
        } else if (GetTickCount() - lastServed >= kUnservedHolderLimitMs) {
          return MutexWait::kStranger;
        }
        break;
      default:
        *error = wait == WAIT_FAILED ? GetLastError() : ERROR_INVALID_HANDLE;
        return MutexWait::kFailed;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// PipeServer

PipeServer::PipeServer() = default;

PipeServer::~PipeServer() {
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

void PipeServer::SetConnectEvent(HANDLE event) {
  connectEvent_.reset(event);
  connectOverlapped_.hEvent = event;
}

DWORD PipeServer::Run() {
  while (ServeOneInstance()) {
  }
  ReleaseName();
  return 1;
}

bool PipeServer::StartThread() {
  thread_.reset(CreateThread(nullptr, 0, ServerThread, this, 0, nullptr));
  return thread_.valid();
}

bool PipeServer::ThreadRunning() const { return !WaitForThread(0); }

bool PipeServer::WaitForThread(DWORD timeoutMs, HANDLE interrupt) const {
  if (!thread_) return true;
  HANDLE waits[2] = {thread_.get(), interrupt};
  return WaitForMultipleObjects(interrupt ? 2 : 1, waits, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void PipeServer::RequestStop() {
  InterlockedExchange(&stopping_, 1);
  if (stopEvent_) SetEvent(stopEvent_);
}

void PipeServer::TakeInstance() {
  HANDLE instance = InterlockedExchangePointer(const_cast<HANDLE*>(&pipe_), INVALID_HANDLE_VALUE);
  if (instance == INVALID_HANDLE_VALUE) return;
  takenInstances_.emplace_back(instance);
  DisconnectNamedPipe(instance);
  if (!overlapped()) {
    // A blocking connect ends only when a client comes: be that client for a moment.
    UniqueFileHandle wake(CreateFileW(pipeName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  }
}

bool PipeServer::Stop(DWORD graceMs, DWORD afterTakingMs) {
  RequestStop();
  if (WaitForThread(graceMs)) return true;
  TakeInstance();
  return WaitForThread(afterTakingMs);
}

bool PipeServer::CloseInstanceIfOwned(HANDLE instance) {
  if (InterlockedCompareExchangePointer(const_cast<HANDLE*>(&pipe_), INVALID_HANDLE_VALUE, instance) != instance) {
    return false;  // taken: the destructor closes it
  }
  CloseHandle(instance);
  return true;
}

bool PipeServer::ClaimName() {
  if (claimed_) return false;
  const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | (overlapped() ? FILE_FLAG_OVERLAPPED : 0);
  HANDLE instance =
      CreateNamedPipeW(pipeName_, openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kPipeMaxInstances,
                       kPipeBufferSize, kPipeBufferSize, kPipeDefaultTimeoutMs, securityAttributes_);
  if (instance == INVALID_HANDLE_VALUE) return false;
  // Where the flag is not honoured (Wine is one such system), the instance count tells.
  DWORD instances = 0;
  if (!GetNamedPipeHandleStateW(instance, nullptr, &instances, nullptr, nullptr, nullptr, 0) || instances != 1) {
    CloseHandle(instance);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  claimed_ = true;
  InterlockedExchangePointer(const_cast<HANDLE*>(&pipe_), instance);
  return true;
}

void PipeServer::ReleaseName() {
  const HANDLE instance = pipe_;
  if (instance != INVALID_HANDLE_VALUE) CloseInstanceIfOwned(instance);
}

bool PipeServer::ServeOneInstance() {
  // Checked before every connect: a thread back from a client after its stop waits for no other.
  if (stopping_) return false;
  if (!claimed_ && !ClaimName()) return false;
  const HANDLE instance = pipe_;
  if (instance == INVALID_HANDLE_VALUE) return false;  // taken by a stopper

  const BOOL connected =
      overlapped() ? ConnectNamedPipe(instance, &connectOverlapped_) : ConnectNamedPipe(instance, nullptr);
  if (!connected) {
    const DWORD error = GetLastError();
    if (!Owns(instance)) return false;
    switch (error) {
      case ERROR_IO_PENDING: {  // overlapped mode only
        HANDLE waits[2] = {connectOverlapped_.hEvent, stopEvent_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
        // Told to stop, or the wait failed: the server ends and frees its name.
        CloseInstanceIfOwned(instance);
        return false;
      }
      case ERROR_PIPE_CONNECTED:
        break;
      case ERROR_NO_DATA:  // a client came and went before the connect: its end must be cut first
        DisconnectNamedPipe(instance);
        return true;
      default:
        DisconnectNamedPipe(instance);
        Sleep(kConnectRetryPauseMs);
        return true;
    }
  }
  if (!Owns(instance)) return false;  // taken while the client connected
  ServeClient(instance);
  // A connection that ended unserved (its key could not be opened) is cut here, so that its client
  // finds the pipe broken and the instance is free for the next one.
  if (Owns(instance)) DisconnectNamedPipe(instance);
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
  // A taken instance is disconnected already, and its client must not be waited for.
  if (!Owns(pipe)) return;
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
  // The owner stops the server first; this is the last chance for one that did not.
  if (ThreadRunning()) Stop();
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
  devices_.Initialize(security_.attributes(), stopEvent_);
  window_ = window;
  StartThread();
  return 1;
}

bool ListPipeServer::Stop() {
  // The list thread's own waits all end on the stop request, and stopping the device servers is
  // bounded; taking the instance is for blocking mode, where no event reaches the thread.
  return PipeServer::Stop(kListStopWaitMs, kListStopWaitMs);
}

DWORD ListPipeServer::Run() {
  // Without their descriptors nothing is served (fail closed); the watchdog starts another monitor.
  const bool secured = security_.BuildServicePipes(false) && mutexSecurity_.BuildServiceMutex(false);
  UniqueHandle mutex;
  DWORD error = 0;
  const MutexWait acquired =
      secured ? AcquireServiceMutex(mutexSecurity_.attributes(), kServiceMutexName, stopEvent_, name_.c_str(), &mutex,
                                    &error)
              : MutexWait::kFailed;
  if (acquired == MutexWait::kOwned && ClaimListName()) {
    while (ServeOneInstance()) {
    }
  }
  // The name goes before the mutex, so that the next monitor finds it free.
  ReleaseName();
  // Serving has ended, or could not begin: either way this monitor is of no use, and closing its
  // window ends it, so that the service starts another. A stop during the wait needs no such help.
  if (acquired != MutexWait::kStopped) PostMessageW(window_, WM_CLOSE, 0, 0);
  devices_.StopAll();
  if (acquired == MutexWait::kOwned) ReleaseMutex(mutex.get());
  return 1;
}

bool ListPipeServer::ClaimListName() {
  const DWORD start = GetTickCount();
  for (;;) {
    if (ClaimName()) return true;
    if (GetTickCount() - start >= kListNameClaimMs) return false;
    if (!stopEvent_) {
      Sleep(kListNameClaimStepMs);
    } else if (WaitForSingleObject(stopEvent_, kListNameClaimStepMs) == WAIT_OBJECT_0) {
      return false;
    }
  }
}

DWORD ListPipeServer::ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) {
  if (!IsListRequest(request, requestLength)) {
    const DWORD size = *replyLength < kErrorReplySize ? *replyLength : kErrorReplySize;
    std::memcpy(reply, kErrorReply, size);
    *replyLength = size;
    return 0;
  }
  devices_.MarkAll();
  char list[kDevicePathListCapacity];
  EnumerateKeyDevices(list, sizeof list);
  DevicePathListWriter out(reinterpret_cast<char*>(reply), *replyLength);
  for (const std::string& path : ListedPaths(list, sizeof list)) {
    if (devices_.Ensure(path.c_str())) out.Append(path.c_str(), path.size());
  }
  *replyLength = static_cast<DWORD>(out.Finish());
  devices_.SweepMarked();
  return 0;
}

}  // namespace tamsu
