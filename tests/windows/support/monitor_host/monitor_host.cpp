// Hosts a list server with simulated keys in a process of its own, as a monitor process would:
//   monitor_host.exe STOP_EVENT [--tagged] [--churn PERIOD_MS CHURN_EVENT REPORT] [KEY_PATH ...]
// Keys echo their commands, or with --tagged give the soak traffic's answers (the Nth key's tag
// is N, from 1). With --churn, while the named manual-reset CHURN_EVENT is set, a key chosen at
// random is unplugged every PERIOD_MS and plugged back half a period later; REPORT holds
// "unplugs=N". Serves until STOP_EVENT is set, then stops the list server and exits 0.
#include <windows.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"
#include "soak/soak_traffic.h"

namespace {

struct Churn {
  DWORD periodMs = 0;
  HANDLE on = nullptr;  // churns while set
  HANDLE exit = nullptr;
  std::wstring report;
  std::vector<tamsu::sim::SimKey*> keys;
};

void WriteUnplugs(const std::wstring& path, unsigned long unplugs) {
  const std::string text = "unplugs=" + std::to_string(unplugs) + "\r\n";
  tamsu::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

DWORD WINAPI ChurnKeys(void* parameter) {
  Churn& churn = *static_cast<Churn*>(parameter);
  tamsu::soak::Random random(GetCurrentProcessId());
  unsigned long unplugs = 0;
  HANDLE waits[2] = {churn.exit, churn.on};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 &&
         WaitForSingleObject(churn.exit, churn.periodMs) == WAIT_TIMEOUT) {
    if (WaitForSingleObject(churn.on, 0) != WAIT_OBJECT_0) continue;
    tamsu::sim::SimKey* key = churn.keys[random.Below(static_cast<uint32_t>(churn.keys.size()))];
    key->Unplug();
    WriteUnplugs(churn.report, ++unplugs);
    WaitForSingleObject(churn.exit, churn.periodMs / 2);
    key->Plug();
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  bool tagged = false;
  Churn churn;
  tamsu::UniqueHandle churnOn;
  int i = 2;
  for (; i < argc && argv[i][0] == L'-'; ++i) {
    const std::wstring option(argv[i]);
    if (option == L"--tagged") {
      tagged = true;
    } else if (option == L"--churn" && i + 3 < argc) {
      churn.periodMs = wcstoul(argv[i + 1], nullptr, 10);
      churnOn.reset(CreateEventW(nullptr, TRUE, FALSE, argv[i + 2]));
      churn.on = churnOn.get();
      churn.report = argv[i + 3];
      i += 3;
      if (churn.periodMs == 0 || !churnOn) return 2;
    } else {
      return 2;
    }
  }
  for (; i < argc; ++i) {
    const std::wstring wide(argv[i]);
    tamsu::sim::SimKey& key = tamsu::sim::SimKeyBus::Instance().Add(std::string(wide.begin(), wide.end()));
    const uint8_t tag = static_cast<uint8_t>(churn.keys.size() + 1);
    if (tagged) {
      key.SetResponder([tag](const tamsu::sim::Bytes& command) { return tamsu::soak::Answer(tag, command); });
    } else {
      key.SetResponder(tamsu::sim::Echo());
    }
    churn.keys.push_back(&key);
  }
  tamsu::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, argv[1]));
  if (!stop) return 3;
  churn.exit = stop.get();
  tamsu::UniqueHandle churnThread;
  if (churn.periodMs != 0 && !churn.keys.empty())
    churnThread.reset(CreateThread(nullptr, 0, ChurnKeys, &churn, 0, nullptr));
  {
    tamsu::ListPipeServer server;
    server.Start(nullptr);
    WaitForSingleObject(stop.get(), INFINITE);
    server.Stop();
  }
  if (churnThread) WaitForSingleObject(churnThread.get(), INFINITE);
  return 0;
}
