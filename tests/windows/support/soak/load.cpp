#include "soak/load.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tamsu {
namespace testing_support {

Load::Load(std::vector<KeyUnderLoad> keys, int clientsPerKey, DWORD disconnectPermille, DWORD listEvery)
    : keys_(std::move(keys)),
      clientsPerKey_(clientsPerKey),
      disconnectPermille_(disconnectPermille),
      listEvery_(listEvery) {
  static LONG serial = 0;
  stopName_ = L"TamsuSoakStop_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::to_wstring(InterlockedIncrement(&serial));
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stopName_.c_str()));
}

Load::~Load() {
  Stop(10000);
  for (const auto& client : clients_) {
    DeleteFileW(client->report.c_str());
    DeleteFileW((client->report + L".new").c_str());
  }
}

bool Load::StartClient(int keyIndex, bool hostile) {
  auto client = std::make_unique<Client>();
  client->keyIndex = keyIndex;
  client->hostile = hostile;
  client->report = TemporaryFileName(L"sk");
  const DWORD id = static_cast<DWORD>(clients_.size() + 1);
  const KeyUnderLoad& key = keys_[keyIndex];
  std::vector<std::wstring> arguments{client->report,
                                      key.path,
                                      std::to_wstring(key.tag),
                                      std::to_wstring(id),
                                      std::to_wstring(GetTickCount() * 2654435761u + id),
                                      stopName_,
                                      std::to_wstring(disconnectPermille_),
                                      std::to_wstring(listEvery_)};
  if (hostile) arguments.push_back(L"hostile");
  if (!client->process.Start(ProgramFolder() + L"soak_client.exe", arguments)) return false;
  clients_.push_back(std::move(client));
  return true;
}

bool Load::Start() {
  if (!stop_) return false;
  for (size_t k = 0; k < keys_.size(); ++k) {
    for (int c = 0; c < clientsPerKey_; ++c) {
      if (!StartClient(static_cast<int>(k), false)) return false;
    }
  }
  for (int k : hostileKeys_) {
    if (!StartClient(k, true)) return false;
  }
  return true;
}

LoadTotals Load::Totals(int keyIndex) const {
  LoadTotals totals;
  for (const auto& client : clients_) {
    if (keyIndex >= 0 && client->keyIndex != keyIndex) continue;
    std::map<std::string, std::string> lines = ReadResultLines(client->report);
    auto value = [&lines](const char* name) { return std::strtoul(lines[name].c_str(), nullptr, 10); };
    if (client->hostile) {
      totals.hostile += value("hostile");
      totals.hostileAsDesigned += value("hostile_as_designed");
      totals.hostileWrong += value("hostile_wrong");
      if (totals.firstHostileWrong.empty()) totals.firstHostileWrong = lines["first_hostile_wrong"];
      continue;
    }
    ++totals.clients;
    totals.commands += value("commands");
    totals.verified += value("verified");
    totals.failed += value("failed");
    totals.lost += value("lost");
    totals.corrupt += value("corrupt");
    totals.disconnects += value("disconnects");
    totals.lists += value("lists");
    totals.listFailures += value("list_failures");
    totals.opens += value("opens");
    totals.openFailures += value("open_failures");
    totals.largestCommand = std::max(totals.largestCommand, value("largest_command"));
    totals.largestAnswer = std::max(totals.largestAnswer, value("largest_answer"));
    totals.slowestListMs = std::max(totals.slowestListMs, value("slowest_list_ms"));
    if (value("failed") + value("lost") > 0) ++totals.clientsWithFailures;
    if (value("verified_after_failure") > 0) ++totals.clientsRecovered;
    if (totals.firstMismatch.empty()) totals.firstMismatch = lines["first_mismatch"];
    if (totals.firstListFailure.empty()) totals.firstListFailure = lines["first_list_failure"];
  }
  return totals;
}

std::vector<unsigned long> Load::VerifiedPerClient(int keyIndex) const {
  std::vector<unsigned long> verified;
  for (const auto& client : clients_) {
    if (client->hostile || (keyIndex >= 0 && client->keyIndex != keyIndex)) continue;
    verified.push_back(std::strtoul(ReadResultLines(client->report)["verified"].c_str(), nullptr, 10));
  }
  return verified;
}

bool Load::WaitForProgress(int keyIndex, unsigned long count, DWORD timeoutMs) const {
  const std::vector<unsigned long> before = VerifiedPerClient(keyIndex);
  for (const DWORD start = GetTickCount();; Sleep(200)) {
    const std::vector<unsigned long> now = VerifiedPerClient(keyIndex);
    bool all = true;
    for (size_t i = 0; i < now.size(); ++i) all = all && now[i] >= before[i] + count;
    if (all) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
  }
}

bool Load::Stop(DWORD timeoutMs) {
  if (stop_) SetEvent(stop_.get());
  bool clean = true;
  for (const auto& client : clients_) {
    DWORD code = 1;
    clean = client->process.Wait(timeoutMs, &code) && code == 0 && clean;
  }
  return clean;
}

namespace {

// Wine's GetProcessHandleCount gives 0 for any process; the system's handle table is counted instead.
struct SystemHandleEntry {
  ULONG ownerProcessId;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ACCESS_MASK access;
};

bool CountHandles(DWORD processId, DWORD* count) {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return false;
  const ULONG kSystemHandleInformation = 16;
  const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<BYTE> buffer(1 << 16);
  LONG status;
  for (int attempt = 0; attempt < 12; ++attempt) {
    ULONG needed = 0;
    status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != kInfoLengthMismatch) break;
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  if (status != 0) return false;
  const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
  const size_t fit = (buffer.size() - sizeof(ULONG)) / sizeof(SystemHandleEntry);
  const auto* entry = reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(ULONG));
  *count = 0;
  for (ULONG i = 0; i < entries && i < fit; ++i) {
    if (entry[i].ownerProcessId == processId) ++*count;
  }
  return true;
}

}  // namespace

ProcessFigures MeasureProcess(DWORD processId) {
  ProcessFigures figures;
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process) return figures;
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  const bool memoryRead = GetProcessMemoryInfo(process.get(), &memory, sizeof memory) != FALSE;
  const bool handlesRead = CountHandles(processId, &figures.handles) && figures.handles > 0;
  figures.workingSetBytes = memory.WorkingSetSize;
  figures.privateBytes = memory.PagefileUsage;
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof thread;
  for (BOOL more = snapshot && Thread32First(snapshot.get(), &thread); more;
       more = Thread32Next(snapshot.get(), &thread)) {
    if (thread.th32OwnerProcessID == processId) ++figures.threads;
  }
  figures.valid = memoryRead && handlesRead && figures.threads > 0;
  return figures;
}

void Figure(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  const std::string line = std::string("[figure] ") + text + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  const std::wstring path = ProgramFolder() + L"figures.log";
  UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace testing_support
}  // namespace tamsu
