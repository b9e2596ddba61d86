// A soak of the monitor's pipe servers: simulated keys in a monitor process of their own, several
// client processes per key checking every answer, keys unplugged and plugged back, clients that drop
// their connections, and one client sending malformed messages. Its length in seconds comes from TAMSU_SOAK_SECONDS (20
// unless set; scripts/soak.sh runs it longer). Figures are printed as "[figure]" lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "soak/load.h"

namespace tamsu {
namespace {

using testing_support::Figure;
using testing_support::KeyUnderLoad;
using testing_support::Load;
using testing_support::LoadTotals;
using testing_support::MeasureProcess;
using testing_support::MonitorHost;
using testing_support::ProcessFigures;
using testing_support::ReadResultLines;
using testing_support::RunPipeClient;
using testing_support::TemporaryFileName;
using testing_support::WaitUntil;

const wchar_t kKeyPathFormat[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#soak";
const int kKeys = 3;
const int kClientsPerKey = 2;
const DWORD kChurnPeriodMs = 1500;
const DWORD kDisconnectPermille = 20;
const DWORD kListEvery = 25;

DWORD SoakSeconds() {
  const char* text = std::getenv("TAMSU_SOAK_SECONDS");
  const unsigned long seconds = text ? std::strtoul(text, nullptr, 10) : 0;
  return seconds > 0 && seconds < 24 * 3600 ? seconds : 20;
}

bool ListShowsKeys(size_t count) {
  const std::vector<std::string> out = RunPipeClient({L"list"});
  return !out.empty() && out[0] == "list ok " + std::to_string(count);
}

void Print(const char* when, const ProcessFigures& f) {
  Figure("monitor %s: %lu handles, %lu threads, working set %.1f MiB, private %.1f MiB", when, f.handles, f.threads,
         f.workingSetBytes / 1048576.0, f.privateBytes / 1048576.0);
}

TEST(Soak, EveryAnswerMatchesItsCommandAndTheMonitorDoesNotGrow) {
  const DWORD seconds = SoakSeconds();
  const std::wstring id = std::to_wstring(GetCurrentProcessId());
  const std::wstring churnName = L"TamsuSoakChurn_" + id;
  const std::wstring churnReport = TemporaryFileName(L"chr");
  std::vector<KeyUnderLoad> keys;
  std::vector<std::wstring> arguments{L"--tagged", L"--churn", std::to_wstring(kChurnPeriodMs), churnName, churnReport};
  for (int k = 0; k < kKeys; ++k) {
    keys.push_back({kKeyPathFormat + std::to_wstring(k), static_cast<uint8_t>(k + 1)});
    arguments.push_back(keys.back().path);
  }
  UniqueHandle churn(CreateEventW(nullptr, TRUE, FALSE, churnName.c_str()));  // off: the quiet figures need every key
  MonitorHost monitor(arguments);
  ASSERT_TRUE(monitor.process().Running());
  ASSERT_TRUE(WaitUntil(10000, [] { return ListShowsKeys(kKeys); })) << "the monitor does not list its keys";
  Sleep(500);
  const ProcessFigures quietBefore = MeasureProcess(monitor.process().id());
  ASSERT_TRUE(quietBefore.valid);
  Print("before the load", quietBefore);

  SetEvent(churn.get());
  Load load(keys, kClientsPerKey, kDisconnectPermille, kListEvery);
  load.AddHostileClient(0);
  ASSERT_TRUE(load.Start());
  const DWORD start = GetTickCount();
  ASSERT_TRUE(load.WaitForProgress(-1, 1, 30000)) << "the clients never got going";
  const ProcessFigures loadedFirst = MeasureProcess(monitor.process().id());
  ProcessFigures peak = loadedFirst;
  for (DWORD second = 1; GetTickCount() - start < seconds * 1000; ++second) {
    Sleep(1000);
    const ProcessFigures now = MeasureProcess(monitor.process().id());
    if (second % std::max<DWORD>(seconds / 10, 1) == 0) {
      std::printf("[sample] %lu s under load: %lu handles, %lu threads, private %.1f MiB\n", second, now.handles,
                  now.threads, now.privateBytes / 1048576.0);
    }
    peak.handles = std::max(peak.handles, now.handles);
    peak.threads = std::max(peak.threads, now.threads);
    peak.workingSetBytes = std::max(peak.workingSetBytes, now.workingSetBytes);
    peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
  }
  const ProcessFigures loadedLast = MeasureProcess(monitor.process().id());
  EXPECT_TRUE(load.Stop()) << "a client did not end cleanly";
  ResetEvent(churn.get());
  const DWORD elapsed = GetTickCount() - start;

  // Every key plugged again: one more list makes any server that churn removed, then all is quiet.
  Sleep(2 * kChurnPeriodMs);
  EXPECT_TRUE(WaitUntil(5000, [] { return ListShowsKeys(kKeys); }));
  Sleep(500);
  const ProcessFigures quietAfter = MeasureProcess(monitor.process().id());

  const LoadTotals t = load.Totals();
  const unsigned long unplugs = std::strtoul(ReadResultLines(churnReport)["unplugs"].c_str(), nullptr, 10);
  DeleteFileW(churnReport.c_str());
  Figure("soak: %lu s, %d keys, %d client processes, %lu key unplugs", elapsed / 1000, kKeys, t.clients, unplugs);
  Figure("soak: %lu commands, %lu answers verified, %lu failed visibly (%lu lost, %lu corrupt)", t.commands, t.verified,
         t.visibleFailures(), t.lost, t.corrupt);
  Figure(
      "soak: %lu deliberate disconnects survived, %lu list requests (%lu failed), "
      "%lu pipe opens (%lu refused), largest command %lu and answer %lu bytes, slowest list %lu ms",
      t.disconnects, t.lists, t.listFailures, t.opens, t.openFailures, t.largestCommand, t.largestAnswer,
      t.slowestListMs);
  Figure("soak: %lu malformed messages from a hostile client, %lu got their defined outcome", t.hostile,
         t.hostileAsDesigned);
  Print("under load, first", loadedFirst);
  Print("under load, last", loadedLast);
  Print("under load, peak", peak);
  Print("after the load", quietAfter);

  EXPECT_EQ(0u, t.corrupt) << "a wrong answer: " << t.firstMismatch;
  EXPECT_EQ(0u, t.lost) << "an answer never came";
  EXPECT_EQ(t.commands, t.verified + t.failed + t.lost + t.corrupt) << "a command ended unaccounted";
  EXPECT_GT(t.verified, 50u * t.clients) << "too little traffic to mean anything";
  EXPECT_GT(t.disconnects, 0u);
  EXPECT_GT(unplugs, 0u);
  EXPECT_GT(t.lists, 0u);
  EXPECT_EQ(0u, t.listFailures) << "the list pipe must answer whatever the keys do; first: " << t.firstListFailure;
  EXPECT_EQ(0u, t.hostileWrong) << t.firstHostileWrong;
  EXPECT_GT(t.hostileAsDesigned, 0u);
  // What the load leaves behind: the same servers, so the same threads, and no leaked handles.
  ASSERT_TRUE(quietAfter.valid);
  // The heap settles within the first seconds of load; after that its size must hold still.
  EXPECT_LE(quietAfter.threads, quietBefore.threads);
  EXPECT_LE(quietAfter.handles, quietBefore.handles + 4);
  EXPECT_LE(quietAfter.privateBytes, quietBefore.privateBytes + 1048576);
  EXPECT_LE(loadedLast.privateBytes, loadedFirst.privateBytes + 512 * 1024) << "memory grows under load";

  EXPECT_TRUE(monitor.Stop()) << "the monitor did not stop cleanly";
}

}  // namespace
}  // namespace tamsu
