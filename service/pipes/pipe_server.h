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

// Creates or opens the machine-wide mutex and waits for it, or for `stopEvent` when there is one.
// Returns the wait result (WAIT_OBJECT_0 or WAIT_ABANDONED: owned), or the error when no handle
// could be had. `mutex` receives the handle whatever the wait gave.
DWORD AcquireServiceMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name, HANDLE stopEvent, UniqueHandle* mutex);

// One pipe name: makes one instance at a time, waits for a client, serves it, starts over.
class PipeServer {
 public:
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  virtual ~PipeServer();

  virtual DWORD Run();
  // One create-connect-serve cycle; false when the server is to stop.
  virtual bool ServeOneInstance();
  // The request loop for one connected client; returns the code that ended it.
  virtual DWORD ServeClient(HANDLE pipe);
  // Turns one request into one reply; *replyLength is the reply's capacity in, its length out.
  virtual DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) = 0;

  HANDLE pipe() const { return pipe_; }

 protected:
  PipeServer();

  // Overlapped mode needs both a stop event and a connect event; blocking mode has neither.
  bool overlapped() const { return stopEvent_ != nullptr && connectOverlapped_.hEvent != nullptr; }
  void SetConnectEvent(HANDLE event);
  // Takes the current instance from the serving thread and disconnects it: whatever that thread
  // waits for on the instance fails, and the thread finds the instance gone. The handle is closed
  // only when the server is deleted, after its thread: a handle value closed under a thread that
  // still holds it could be reused by a new handle and reach another client.
  void TakeInstance();

  SECURITY_ATTRIBUTES* securityAttributes_ = nullptr;  // not owned
  const wchar_t* pipeName_ = nullptr;                  // points into the derived server's name
  HANDLE volatile pipe_ = INVALID_HANDLE_VALUE;
  HANDLE stopEvent_ = nullptr;  // not owned by the base
  OVERLAPPED connectOverlapped_ = {};

 private:
  bool CloseInstanceIfOwned(HANDLE instance);
  void EndConnection(HANDLE pipe);
  bool ReadMessage(HANDLE pipe, void* buffer, DWORD size, DWORD* read);
  bool WriteMessage(HANDLE pipe, const void* buffer, DWORD size, DWORD* written);
  bool FinishIo(HANDLE pipe, BOOL started, OVERLAPPED* io, DWORD* transferred);

  UniqueHandle connectEvent_;
  std::vector<UniqueFileHandle> takenInstances_;
};

// The pipe of one key: a client's messages are commands, each answered by one transaction.
class DevicePipeServer final : public PipeServer {
 public:
  DevicePipeServer();
  ~DevicePipeServer() override;

  // Names the pipe after the path and makes the server's events; the attributes are borrowed.
  void Initialize(SECURITY_ATTRIBUTES* attributes, const std::wstring& devicePath);
  bool StartThread();
  // Stops the thread: the stop event, a short wait, then taking its instance and a long wait.
  // True when no thread of the server runs any more, so that it may be deleted.
  bool Stop();
  bool ThreadRunning() const;

  DWORD ServeClient(HANDLE pipe) override;
  DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) override;

  const std::wstring& name() const { return name_; }
  const std::wstring& devicePath() const { return devicePath_; }
  uint32_t flags = 0;

 private:
  std::wstring name_;
  std::wstring devicePath_;
  DeviceChannel channel_;
  UniqueHandle ownStopEvent_;
  UniqueHandle thread_;
};

// The list pipe: answers "DeviceListA" and keeps one device server per listed key.
class ListPipeServer final : public PipeServer {
 public:
  using Registry = std::unordered_map<std::wstring, std::unique_ptr<DevicePipeServer>>;

  ListPipeServer();
  ~ListPipeServer() override;

  int Start(HWND window);
  int Stop();
  DWORD Run() override;
  DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) override;

  // The device server registry; used on the list server's thread only.
  void MarkAll();
  void Ensure(const char* path);
  void SweepMarked();
  void RemoveStale();
  void StopAll();

  const Registry& devices() const { return devices_; }
  int serversCreated() const { return serversCreated_; }
  size_t serversKeptRunning() const { return retired_.size(); }

 private:
  // Deletes a stopped server, or keeps it while its thread still runs.
  void Retire(std::unique_ptr<DevicePipeServer> server);
  void DeleteEndedRetired();

  LowIntegritySecurity security_;
  std::wstring name_;
  Registry devices_;
  // Stopped servers whose threads outlived the stop waits (a key transaction can last minutes).
  std::vector<std::unique_ptr<DevicePipeServer>> retired_;
  int serversCreated_ = 0;
  HWND window_ = nullptr;
  UniqueHandle thread_;
};

}  // namespace tamsu
