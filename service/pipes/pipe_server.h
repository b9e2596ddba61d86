// The named-pipe servers of the monitor process: one list server, one device server per key.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/security/low_integrity_security.h"
#include "common/win/unique_resource.h"
#include "service/device/device_channel.h"

namespace tamsu {

// Process-wide manual-reset event that stops the list server; made by the first Start, never closed.
extern HANDLE ServiceStopEvent;

enum class MutexWait {
  kOwned,     // the mutex is this thread's (an abandoned one included: its last owner died)
  kStopped,   // the stop event came first
  kStranger,  // its holder is no monitor: an owner that is not to be trusted, or no list pipe served
  kFailed,    // no handle, or the wait failed: *error tells why
};

// Creates or opens the machine-wide mutex and waits for it, or for `stopEvent` when there is one,
// for as long as its holder serves `listPipeName` (holder_rules.h). `mutex` receives the handle
// whatever the wait gave.
MutexWait AcquireServiceMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name, HANDLE stopEvent,
                              const wchar_t* listPipeName, UniqueHandle* mutex, DWORD* error);

// One pipe name: holds the name's only instance, waits for a client, serves it, disconnects it and
// waits for the next one, on a thread of its own until it is told to stop. The instance is never
// given up while the server runs, so no other process can take the name or add an instance of it.
//
// Who may close the instance: the serving thread, as long as `pipe_` still holds it. A stopper
// takes it out of `pipe_` (TakeInstance) and only disconnects it; a taken instance is closed by
// the destructor, which runs after the thread has ended. So no handle value is ever closed under a
// thread that may still use it (a reused value could reach another client).
class PipeServer {
 public:
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  virtual ~PipeServer();

  virtual DWORD Run();
  // Creates the name's only instance. False when another process holds the name already (its
  // instance would answer our clients) or the instance cannot be made; the server then serves
  // nothing. Called once, before the thread serves (ServeOneInstance claims when nobody has).
  bool ClaimName();
  // One connect-serve-disconnect cycle on the claimed instance; false when the server is to stop.
  virtual bool ServeOneInstance();
  // The request loop for one connected client; returns the code that ended it.
  virtual DWORD ServeClient(HANDLE pipe);
  // Turns one request into one reply; *replyLength is the reply's capacity in, its length out.
  virtual DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) = 0;

  bool StartThread();
  bool ThreadRunning() const;
  // Waits for the thread to end, at most `timeoutMs` and only until `interrupt` (when given) is set.
  // True once no thread of the server runs.
  bool WaitForThread(DWORD timeoutMs, HANDLE interrupt = nullptr) const;

  // The stop, in two steps. First the request: no new instance is made after it, and a connect or
  // an idle client's read ends at once in overlapped mode. Then, for a thread that is still busy
  // (a blocking call, or a client mid-request), taking its instance ends what waits on the pipe.
  void RequestStop();
  void TakeInstance();
  // Both steps with their waits; true when the thread has ended.
  bool Stop(DWORD graceMs, DWORD afterTakingMs);

 protected:
  PipeServer();

  // Overlapped mode needs both a stop event and a connect event; blocking mode has neither.
  bool overlapped() const { return stopEvent_ != nullptr && connectOverlapped_.hEvent != nullptr; }
  void SetConnectEvent(HANDLE event);
  // On the serving thread, once it serves no more: the name is free for the next server.
  void ReleaseName();

  SECURITY_ATTRIBUTES* securityAttributes_ = nullptr;  // not owned
  const wchar_t* pipeName_ = nullptr;                  // points into the derived server's name
  HANDLE stopEvent_ = nullptr;                         // not owned by the base
  OVERLAPPED connectOverlapped_ = {};

 private:
  bool CloseInstanceIfOwned(HANDLE instance);
  bool Owns(HANDLE instance) const { return pipe_ == instance; }
  void EndConnection(HANDLE pipe);
  bool ReadMessage(HANDLE pipe, void* buffer, DWORD size, DWORD* read);
  bool WriteMessage(HANDLE pipe, const void* buffer, DWORD size, DWORD* written);
  bool FinishIo(HANDLE pipe, BOOL started, OVERLAPPED* io, DWORD* transferred);

  HANDLE volatile pipe_ = INVALID_HANDLE_VALUE;  // the instance, until the thread ends or a stopper takes it
  bool claimed_ = false;                         // a taken or released instance is never claimed again
  LONG volatile stopping_ = 0;
  UniqueHandle connectEvent_;
  UniqueHandle thread_;
  std::vector<UniqueFileHandle> takenInstances_;
};

// The pipe of one key: a client's messages are commands, each answered by one transaction.
class DevicePipeServer final : public PipeServer {
 public:
  DevicePipeServer();
  ~DevicePipeServer() override;

  // Names the pipe after the path and makes the server's events; the attributes are borrowed.
  void Initialize(SECURITY_ATTRIBUTES* attributes, const std::wstring& devicePath);

  DWORD ServeClient(HANDLE pipe) override;
  DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) override;

  const std::wstring& devicePath() const { return devicePath_; }
  uint32_t flags = 0;

 private:
  std::wstring name_;
  std::wstring devicePath_;
  DeviceChannel channel_;
  UniqueHandle ownStopEvent_;
};

// One device server per listed key, driven by list requests on the list server's thread only.
// A server leaves the registry when it is stopped; one whose thread outlives the stop waits (a key
// transaction may last minutes) is kept aside, never deleted under its thread, and its key gets
// no second server until that thread has ended.
class DeviceServerRegistry {
 public:
  using Map = std::unordered_map<std::wstring, std::unique_ptr<DevicePipeServer>>;

  DeviceServerRegistry() = default;
  ~DeviceServerRegistry();
  DeviceServerRegistry(const DeviceServerRegistry&) = delete;
  DeviceServerRegistry& operator=(const DeviceServerRegistry&) = delete;

  // The attributes of every device pipe; the list server's stop event, which cuts stop waits short.
  void Initialize(SECURITY_ATTRIBUTES* attributes, HANDLE listStopEvent);

  void MarkAll();
  // Makes sure the listed path has a serving server and marks it seen. False when the key is not to
  // be listed: another process holds its pipe's name, its earlier server is still caught in a
  // transaction, or the path cannot be converted. A server whose thread has ended is replaced, so
  // a key whose name was held is tried again at every list.
  bool Ensure(const char* path);
  void SweepMarked();
  void RemoveStale();
  // Stops every server within a bounded time; those whose threads still run are kept aside.
  void StopAll();

  const DevicePipeServer* Find(const std::wstring& devicePath) const;
  // A stopped server of this path whose thread still runs.
  bool Retiring(const std::wstring& devicePath) const;

 private:
  // Stops these servers together: each is told first, then all are waited for against one deadline.
  void Retire(std::vector<std::unique_ptr<DevicePipeServer>> servers, DWORD afterTakingMs, HANDLE interrupt);
  void DeleteEndedRetired();

  SECURITY_ATTRIBUTES* attributes_ = nullptr;
  HANDLE listStopEvent_ = nullptr;
  Map servers_;
  std::vector<std::unique_ptr<DevicePipeServer>> retired_;
};

// The list pipe: answers "DeviceListA" and keeps one device server per listed key.
class ListPipeServer final : public PipeServer {
 public:
  ListPipeServer();
  ~ListPipeServer() override;

  int Start(HWND window);
  // Stops serving within a bounded time; false when the thread still runs (it must then not be
  // deleted: a process that is ending leaves it to its end).
  bool Stop();
  DWORD Run() override;
  DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) override;

 private:
  // Claims the list pipe's name, trying for a moment: a monitor that has just died may still hold it.
  bool ClaimListName();

  LowIntegritySecurity security_;  // every pipe of the service
  LowIntegritySecurity mutexSecurity_;
  std::wstring name_;
  DeviceServerRegistry devices_;
  HWND window_ = nullptr;
};

}  // namespace tamsu
