// The device server registry: one server per listed key, created, kept and removed by list requests.
#include "pipe_server.h"
#include "server_flags.h"

namespace tamsu {
namespace {

constexpr DWORD kDeviceStopWaitMs = 100;
// Inside a list request, for servers busy with a client or a transaction; a stop of the list
// server cuts it short.
constexpr DWORD kDeviceStopLongWaitMs = 60000;
// When serving ends, for all device servers together: the monitor must let go of the mutex soon.
constexpr DWORD kStopAllWaitMs = 2000;
constexpr DWORD kNewServerPauseMs = 20;

// Waits for every server's thread against one deadline; stops early when `interrupt` is set.
void WaitForThreads(const std::vector<std::unique_ptr<DevicePipeServer>>& servers, DWORD timeoutMs,
                    HANDLE interrupt) {
  const DWORD start = GetTickCount();
  for (const auto& server : servers) {
    const DWORD elapsed = GetTickCount() - start;
    if (!server->WaitForThread(elapsed < timeoutMs ? timeoutMs - elapsed : 0, interrupt) && interrupt &&
        WaitForSingleObject(interrupt, 0) == WAIT_OBJECT_0) {
      return;
    }
  }
}

}  // namespace

DeviceServerRegistry::~DeviceServerRegistry() {
  StopAll();
  // A thread that never came back keeps its server: the process is ending anyway.
  for (auto& server : retired_) server.release();
}

void DeviceServerRegistry::Initialize(SECURITY_ATTRIBUTES* attributes, HANDLE listStopEvent) {
  attributes_ = attributes;
  listStopEvent_ = listStopEvent;
}

void DeviceServerRegistry::MarkAll() {
  for (auto& entry : servers_) entry.second->flags |= server_flags::kNotYetSeen;
}

bool DeviceServerRegistry::Ensure(const char* path) {
  const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, path, -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring widePath(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, path, -1, &widePath[0], length);
  widePath.resize(static_cast<size_t>(length) - 1);

  auto found = servers_.find(widePath);
  if (found != servers_.end()) {
    if (found->second->ThreadRunning()) {
      found->second->flags = server_flags::kSeen;
      return true;
    }
    servers_.erase(found);  // its thread has ended, and its name with it: a new server tries again
  }
  // Two servers on one key would interleave their clients' commands on it.
  if (Retiring(widePath)) return false;
  RemoveStale();
  std::unique_ptr<DevicePipeServer> server(new DevicePipeServer);
  server->Initialize(attributes_, widePath);
  // A name held by another process is never listed: its holder would get the client's commands.
  if (!server->ClaimName() || !server->StartThread()) return false;
  Sleep(kNewServerPauseMs);
  server->flags = server_flags::kSeen;
  servers_[widePath] = std::move(server);
  return true;
}

void DeviceServerRegistry::SweepMarked() {
  for (auto& entry : servers_) {
    if (entry.second->flags & server_flags::kNotYetSeen) entry.second->flags = server_flags::kStale;
  }
}

void DeviceServerRegistry::RemoveStale() {
  std::vector<std::unique_ptr<DevicePipeServer>> stale;
  for (auto it = servers_.begin(); it != servers_.end();) {
    if (server_flags::IsStale(it->second->flags)) {
      stale.push_back(std::move(it->second));
      it = servers_.erase(it);
    } else {
      ++it;
    }
  }
  Retire(std::move(stale), kDeviceStopLongWaitMs, listStopEvent_);
  DeleteEndedRetired();
}

void DeviceServerRegistry::StopAll() {
  std::vector<std::unique_ptr<DevicePipeServer>> all;
  for (auto& entry : servers_) all.push_back(std::move(entry.second));
  servers_.clear();
  // Serving has ended, so the list server's stop event may well be set: no interrupt here.
  Retire(std::move(all), kStopAllWaitMs, nullptr);
  DeleteEndedRetired();
}

const DevicePipeServer* DeviceServerRegistry::Find(const std::wstring& devicePath) const {
  auto found = servers_.find(devicePath);
  return found == servers_.end() ? nullptr : found->second.get();
}

bool DeviceServerRegistry::Retiring(const std::wstring& devicePath) const {
  for (const auto& server : retired_) {
    if (server->devicePath() == devicePath && server->ThreadRunning()) return true;
  }
  return false;
}

void DeviceServerRegistry::Retire(std::vector<std::unique_ptr<DevicePipeServer>> servers, DWORD afterTakingMs,
                                  HANDLE interrupt) {
  if (servers.empty()) return;
  for (auto& server : servers) server->RequestStop();
  WaitForThreads(servers, kDeviceStopWaitMs, interrupt);
  // Still busy with a client or a transaction: taking the instance ends what waits on the pipe.
  for (auto& server : servers) {
    if (server->ThreadRunning()) server->TakeInstance();
  }
  WaitForThreads(servers, afterTakingMs, interrupt);
  for (auto& server : servers) {
    if (server->ThreadRunning()) retired_.push_back(std::move(server));
  }
}

void DeviceServerRegistry::DeleteEndedRetired() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    it = (*it)->ThreadRunning() ? it + 1 : retired_.erase(it);
  }
}

}  // namespace tamsu
