// Faults under load: client processes (soak_client.exe) keep checking every answer while a monitor
// is killed, the service is stopped, a second monitor contends for the mutex, a client holds a key
// and sends nothing, or a key stalls while its server is removed. No answer may be wrong; every
// failure must reach its client as an error. Figures are printed as "[figure]" lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"
#include "soak/load.h"
#include "soak/soak_traffic.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::ChildrenOfSameName;
using testing_support::Figure;
using testing_support::KeyUnderLoad;
using testing_support::Load;
using testing_support::LoadTotals;
using testing_support::MonitorHost;
using testing_support::PipeClient;
using testing_support::ProcessesNamed;
using testing_support::ProgramFolder;
using testing_support::RunPipeClient;
using testing_support::RunProgram;
using testing_support::SimService;
using testing_support::WaitUntil;
using testing_support::WriteSimKeys;

const wchar_t kKeyPathFormat[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#fault";
const DWORD kProgress = 20;  // answers each client must have verified to count as served
// A client keeps its connection between commands, and a key's server serves one client at a time:
// the clients of a key take turns only because each drops its connection now and then.
const DWORD kTurnPermille = 50;

std::wstring KeyPath(int index) { return kKeyPathFormat + std::to_wstring(index); }
std::string NarrowKeyPath(int index) {
  const std::wstring path = KeyPath(index);
  return std::string(path.begin(), path.end());
}

std::vector<KeyUnderLoad> Keys(int count) {
  std::vector<KeyUnderLoad> keys;
  for (int k = 0; k < count; ++k) keys.push_back({KeyPath(k), static_cast<uint8_t>(k + 1)});
  return keys;
}

bool ListShows(size_t count) {
  const std::vector<std::string> out = RunPipeClient({L"list"});
  return !out.empty() && out[0] == "list ok " + std::to_string(count);
}

void PrintTotals(const char* what, const LoadTotals& t) {
  Figure(
      "%s: %lu commands, %lu verified, %lu failed visibly (%lu lost, %lu corrupt) in %d clients, "
      "%d of them failed and %d served again",
      what, t.commands, t.verified, t.visibleFailures(), t.lost, t.corrupt, t.clients, t.clientsWithFailures,
      t.clientsRecovered);
}

void ExpectNoWrongAnswer(const LoadTotals& t) {
  EXPECT_EQ(0u, t.corrupt) << "a wrong answer: " << t.firstMismatch;
  EXPECT_EQ(0u, t.lost) << "an answer never came";
  EXPECT_EQ(t.commands, t.verified + t.failed + t.lost + t.corrupt) << "a command ended unaccounted";
}

// monitor_host.exe arguments: tagged keys, the tags following the order of `paths`.
std::vector<std::wstring> Tagged(std::vector<std::wstring> paths) {
  paths.insert(paths.begin(), L"--tagged");
  return paths;
}

// ---------------------------------------------------------------------------------------------
// Monitors in processes of their own

TEST(Faults, SecondMonitorContendingForTheMutexDisturbsNoClientAndTakesOverWhenTheFirstEnds) {
  MonitorHost first(Tagged({KeyPath(0), KeyPath(1)}));
  ASSERT_TRUE(WaitUntil(10000, [] { return ListShows(2); }));
  Load before(Keys(2), 2, kTurnPermille, 10);
  ASSERT_TRUE(before.Start());
  ASSERT_TRUE(before.WaitForProgress(-1, kProgress, 30000));
  // The second gives the keys the other tags: any answer it gave while the first serves is wrong.
  MonitorHost second(Tagged({KeyPath(1), KeyPath(0)}));
  Sleep(1000);
  ASSERT_TRUE(second.process().Running());
  EXPECT_TRUE(before.WaitForProgress(-1, kProgress, 30000)) << "the clients stalled while a second monitor waited";
  ASSERT_TRUE(before.Stop());
  const LoadTotals contended = before.Totals();
  PrintTotals("second monitor waiting", contended);
  ExpectNoWrongAnswer(contended);
  EXPECT_EQ(0u, contended.visibleFailures()) << "nothing failed, so no command may fail";

  ASSERT_TRUE(first.Stop());
  std::vector<KeyUnderLoad> swapped{{KeyPath(0), 2}, {KeyPath(1), 1}};
  Load after(swapped, 2, kTurnPermille, 10);
  ASSERT_TRUE(after.Start());
  EXPECT_TRUE(after.WaitForProgress(-1, kProgress, 30000)) << "the second monitor did not take over";
  ASSERT_TRUE(after.Stop());
  const LoadTotals takenOver = after.Totals();
  PrintTotals("after the takeover", takenOver);
  ExpectNoWrongAnswer(takenOver);
}

TEST(Faults, ClientThatConnectsAndSendsNothingHoldsUpNoOtherKey) {
  MonitorHost monitor(Tagged({KeyPath(0), KeyPath(1), KeyPath(2)}));
  ASSERT_TRUE(WaitUntil(10000, [] { return ListShows(3); }));
  const std::wstring release = L"TamsuFaultIdleRelease_" + std::to_wstring(GetCurrentProcessId());
  UniqueHandle releaseEvent(CreateEventW(nullptr, TRUE, FALSE, release.c_str()));
  PipeClient idle({L"open:" + KeyPath(0).substr(kDevicePathPrefixLength), L"wait:" + release, L"close"});
  ASSERT_TRUE(WaitUntil(10000, [&idle] { return !idle.Lines().empty(); }));
  ASSERT_EQ("open ok", idle.Lines()[0]);

  Load load(Keys(3), 2, kTurnPermille, 0);
  ASSERT_TRUE(load.Start());
  EXPECT_TRUE(load.WaitForProgress(1, kProgress, 30000)) << "the idle client held up key 1";
  EXPECT_TRUE(load.WaitForProgress(2, kProgress, 30000)) << "the idle client held up key 2";
  const unsigned long heldKeyVerified = load.Totals(0).verified;
  SetEvent(releaseEvent.get());
  EXPECT_EQ("close ok", idle.Finish().back());
  EXPECT_TRUE(load.WaitForProgress(0, kProgress, 30000)) << "key 0 was not served once the idle client left";
  ASSERT_TRUE(load.Stop());
  const LoadTotals t = load.Totals();
  PrintTotals("one key held by an idle client", t);
  Figure("idle client: key 0 verified %lu answers while held", heldKeyVerified);
  EXPECT_EQ(0u, heldKeyVerified) << "a device server serves one client at a time";
  ExpectNoWrongAnswer(t);
  EXPECT_EQ(0u, t.visibleFailures());
}

// ---------------------------------------------------------------------------------------------
// The list server in this process, where the test can stall a key

TEST(Faults, KeyStallingWhileItsServerIsRemovedHoldsUpNoOtherKeyAndFailsOnlyItsClient) {
  sim::SimKeyBus& bus = sim::SimKeyBus::Instance();
  std::vector<sim::SimKey*> keys;
  for (int k = 0; k < 3; ++k) {
    keys.push_back(&bus.Add(NarrowKeyPath(k)));
    const uint8_t tag = static_cast<uint8_t>(k + 1);
    keys.back()->SetResponder([tag](const sim::Bytes& command) { return soak::Answer(tag, command); });
  }
  if (ServiceStopEvent) ResetEvent(ServiceStopEvent);
  ListPipeServer server;
  server.Start(nullptr);
  ASSERT_TRUE(WaitUntil(10000, [] { return ListShows(3); }));

  Load load({{KeyPath(1), 2}, {KeyPath(2), 3}}, 2, kTurnPermille, 0);  // no list requests: the list server will be busy
  ASSERT_TRUE(load.Start());
  ASSERT_TRUE(load.WaitForProgress(-1, kProgress, 30000));

  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  keys[0]->StallNextReceive(release.get());
  const soak::Bytes command = soak::Command(99, 1, 8);
  std::wstring hex;
  for (uint8_t b : command) {
    hex += L"0123456789abcdef"[b >> 4];
    hex += L"0123456789abcdef"[b & 15];
  }
  PipeClient stalled({L"open:" + KeyPath(0).substr(kDevicePathPrefixLength), L"xfer:" + hex});
  ASSERT_TRUE(WaitUntil(10000, [&] { return keys[0]->stats().stalled == 1; })) << "the key never stalled";
  keys[0]->Unplug();
  const std::vector<std::string> missing = RunPipeClient({L"list"});  // finds the key gone
  ASSERT_FALSE(missing.empty());
  EXPECT_EQ("list ok 2", missing[0]);
  // Stale servers are removed when a new key's server is made: the new key's list waits for that.
  bus.Add(NarrowKeyPath(3));
  PipeClient list({L"list"});
  Sleep(1000);
  EXPECT_TRUE(list.Lines().empty()) << "the list answered while the stalled server was still being stopped";
  EXPECT_TRUE(load.WaitForProgress(-1, kProgress, 30000)) << "the other keys stalled with the one";
  SetEvent(release.get());
  const std::vector<std::string> listed = list.Finish(30000);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ("list ok 3", listed[0]) << "the unplugged key is still listed, or the new one is not";
  const std::vector<std::string> stalledOut = stalled.Finish(30000);
  ASSERT_EQ(3u, stalledOut.size());  // open, send, receive
  EXPECT_EQ(0u, stalledOut[2].find("recv fail")) << "the stalled command must fail, not answer: " << stalledOut[2];
  keys[0]->Plug();  // its server's thread has ended: the key is listed and served again
  const std::vector<std::string> back = RunPipeClient({L"list", L"open:" + KeyPath(0).substr(kDevicePathPrefixLength),
                                                       L"xfer:" + hex});
  ASSERT_FALSE(back.empty());
  EXPECT_EQ("list ok 4", back[0]);
  EXPECT_EQ(0u, back.back().find("recv ok")) << back.back();
  ASSERT_TRUE(load.Stop());
  const LoadTotals t = load.Totals();
  PrintTotals("one key stalled while its server was removed", t);
  ExpectNoWrongAnswer(t);
  EXPECT_EQ(0u, t.visibleFailures());
  server.Stop();
  bus.Reset();
}

// ---------------------------------------------------------------------------------------------
// The service, built with simulated keys (sim_service\TamsuSerB.exe, keys in simkeys.txt beside it)

const wchar_t kServiceName[] = L"Tamsu Service _ZUVA";
const wchar_t kProgramName[] = L"TamsuSerB.exe";

DWORD ServiceState() { return testing_support::ServiceState(kServiceName); }

DWORD MonitorChildId() {
  const std::vector<DWORD> children = ChildrenOfSameName(kProgramName);
  return children.size() == 1 ? children[0] : 0;
}

// A monitor whose keys all hang in a transaction, closed by another program: it must not linger on
// its stalled servers, and the monitor waiting for the mutex must take over soon.
TEST(Faults, MonitorWithStalledKeysClosedEndsAndTheWaitingMonitorServes) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"TamsuSimKeyRelease"));
  ASSERT_TRUE(WriteSimKeys({"stall:" + NarrowKeyPath(0), "stall:" + NarrowKeyPath(1), "stall:" + NarrowKeyPath(2)}));
  ChildProcess first;
  ASSERT_TRUE(first.Start(SimService(), {L"-m"}));
  ASSERT_TRUE(WaitUntil(15000, [] { return ListShows(3); }));
  std::vector<std::unique_ptr<PipeClient>> stalled;
  for (int k = 0; k < 3; ++k) {
    stalled.emplace_back(new PipeClient({L"open:" + KeyPath(k).substr(kDevicePathPrefixLength), L"xfer:00b0000010"}));
  }
  for (auto& client : stalled) ASSERT_TRUE(WaitUntil(15000, [&] { return client->Lines().size() >= 2; }));
  Sleep(500);  // each server is now in its key's receive
  ChildProcess second;
  ASSERT_TRUE(second.Start(SimService(), {L"-m"}));
  const HWND window = testing_support::WaitForMonitorWindow(first.id());
  ASSERT_NE(nullptr, window);
  ASSERT_NE(nullptr, testing_support::WaitForMonitorWindow(second.id()));

  const DWORD closed = GetTickCount();
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_TRUE(first.Wait(60000)) << "the closed monitor lingers on its stalled keys";
  const DWORD ended = GetTickCount() - closed;
  // One shared deadline of about 2 s for all stalled servers; one each would take three times that.
  EXPECT_LT(ended, 4500u) << "the stalled servers were not stopped against one shared deadline";
  EXPECT_TRUE(WaitUntil(60000, [] { return ListShows(3); })) << "the waiting monitor does not serve";
  Figure("monitor with 3 stalled keys closed: ended after %lu ms, the waiting monitor served after %lu ms", ended,
         GetTickCount() - closed);
  for (auto& client : stalled) EXPECT_EQ(0u, client->Finish().back().find("recv fail")) << "a stalled command answered";
  SetEvent(release.get());
  PostMessageW(testing_support::WaitForMonitorWindow(second.id()), WM_CLOSE, 0, 0);
  EXPECT_TRUE(second.Wait(30000));
}

class ServiceFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> lines;
    for (int k = 0; k < 3; ++k) lines.push_back(NarrowKeyPath(k));  // keys 0 and 1 under load, key 2 held
    ASSERT_TRUE(WriteSimKeys(lines));
    ASSERT_EQ(0u, RunProgram(SimService(), {L"-i", L"-s"}));
    ASSERT_TRUE(WaitUntil(15000, [] { return ServiceState() == SERVICE_RUNNING; })) << "state " << ServiceState();
    ASSERT_TRUE(WaitUntil(15000, [] { return MonitorChildId() != 0; })) << "no monitor child";
    ASSERT_TRUE(WaitUntil(15000, [] { return ListShows(3); })) << "the monitor child does not list its keys";
  }
  void TearDown() override {
    RunProgram(SimService(), {L"-k", L"-u"});
    testing_support::KillProcessesNamed(kProgramName);
  }
};

TEST_F(ServiceFaults, MonitorKilledUnderLoadIsReplacedAndEveryFailedCommandFailedVisibly) {
  Load load(Keys(2), 2, kTurnPermille, 10);
  ASSERT_TRUE(load.Start());
  ASSERT_TRUE(load.WaitForProgress(-1, kProgress, 30000));
  // A load client between two connections at the kill sees no failure, so a held connection is
  // what proves that the kill reached a client.
  const std::wstring release = L"TamsuFaultHeldRelease_" + std::to_wstring(GetCurrentProcessId());
  UniqueHandle releaseEvent(CreateEventW(nullptr, TRUE, FALSE, release.c_str()));
  PipeClient held({L"open:" + KeyPath(2).substr(kDevicePathPrefixLength), L"wait:" + release, L"xfer:00b0000010"});
  ASSERT_TRUE(WaitUntil(10000, [&held] { return !held.Lines().empty(); }));
  ASSERT_EQ("open ok", held.Lines()[0]);
  const DWORD first = MonitorChildId();
  UniqueHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first));
  ASSERT_TRUE(child.valid());
  const DWORD killed = GetTickCount();
  ASSERT_TRUE(TerminateProcess(child.get(), 1));
  WaitForSingleObject(child.get(), 5000);
  ASSERT_TRUE(WaitUntil(15000, [first] { return MonitorChildId() != 0 && MonitorChildId() != first; }))
      << "the service started no new monitor";
  EXPECT_TRUE(load.WaitForProgress(-1, kProgress, 60000)) << "a client was not served by the new monitor";
  const DWORD recovered = GetTickCount() - killed;
  ASSERT_TRUE(load.Stop());
  const LoadTotals t = load.Totals();
  PrintTotals("monitor killed under load", t);
  Figure("monitor killed to every client served again: %lu ms", recovered);
  ExpectNoWrongAnswer(t);
  SetEvent(releaseEvent.get());
  const std::vector<std::string> heldOut = held.Finish(30000);
  ASSERT_FALSE(heldOut.empty());
  EXPECT_EQ(0u, heldOut.back().find("recv fail")) << "a connection to the killed monitor answered: " << heldOut.back();
}

// Kills the current monitor child and waits for its end; its id, or 0.
DWORD KillMonitorChild() {
  const DWORD id = MonitorChildId();
  UniqueHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
  if (!child || !TerminateProcess(child.get(), 1)) return 0;
  WaitForSingleObject(child.get(), 5000);
  return id;
}

// A service process that dies takes its monitor with it: a monitor left behind would hold the mutex
// and the names under an id no client accepts, and the restarted service could not serve.
TEST_F(ServiceFaults, AMonitorEndsWithItsServiceProcess) {
  const DWORD monitor = MonitorChildId();
  DWORD service = 0;
  for (const auto& process : ProcessesNamed(kProgramName)) {
    if (process.id == monitor) service = process.parent;
  }
  ASSERT_NE(0u, service);
  UniqueHandle serviceProcess(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, service));
  UniqueHandle monitorProcess(OpenProcess(SYNCHRONIZE, FALSE, monitor));
  ASSERT_TRUE(serviceProcess && monitorProcess);
  ASSERT_TRUE(TerminateProcess(serviceProcess.get(), 1));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(monitorProcess.get(), 10000)) << "the monitor outlived its service";
}

// The service holds the mutex for its whole life: between two monitors no other process can make it
// (and then keep every monitor waiting).
TEST_F(ServiceFaults, MutexNameIsNeverFreeWhileTheServiceRuns) {
  for (int round = 0; round < 3; ++round) {
    const DWORD killed = KillMonitorChild();
    ASSERT_NE(0u, killed);
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kServiceMutexName));
    const DWORD error = GetLastError();
    EXPECT_TRUE(!mutex || error == ERROR_ALREADY_EXISTS) << "round " << round << ": the name was free between monitors";
    mutex.reset();
    ASSERT_TRUE(WaitUntil(15000, [killed] { return MonitorChildId() != 0 && MonitorChildId() != killed; }));
    ASSERT_TRUE(WaitUntil(15000, [] { return ListShows(3); }));
  }
}

// A monitor that cannot serve (another process holds the list pipe's name) ends at once; the
// service restarts it ever more slowly, stays controllable, and serves soon after the name is free.
TEST_F(ServiceFaults, MonitorsThatCannotServeAreRestartedEverMoreSlowlyAndServeOnceTheNameIsFree) {
  ASSERT_NE(0u, KillMonitorChild());
  UniqueFileHandle squatter(CreateNamedPipeW(PipeName(kListNameArgument).c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter.valid()) << GetLastError();
  std::vector<DWORD> monitors;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 25000) {
    const DWORD id = MonitorChildId();
    if (id != 0 && (monitors.empty() || monitors.back() != id)) monitors.push_back(id);
    Sleep(50);
  }
  Figure("list pipe name held by another process: %u monitors started in 25 s", static_cast<unsigned>(monitors.size()));
  // Restarted at once, a monitor every 1 to 2 s; with the back-off (1, 2, 4, 8, 16 s) about five.
  EXPECT_LE(monitors.size(), 7u) << "the restarts do not slow down";
  EXPECT_GE(monitors.size(), 3u) << "the service stopped restarting its monitor";
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
  squatter.reset();
  const DWORD freed = GetTickCount();
  // At most one back-off step (up to 30 s) and a start.
  EXPECT_TRUE(WaitUntil(45000, [] { return ListShows(3); })) << "no monitor serves once the name is free";
  Figure("list pipe name freed to a monitor serving: %lu ms", GetTickCount() - freed);
  const DWORD stopping = GetTickCount();
  EXPECT_EQ(0u, RunProgram(SimService(), {L"-k"}));
  EXPECT_TRUE(WaitUntil(15000, [] { return ServiceState() == SERVICE_STOPPED; })) << "the service cannot be stopped";
  Figure("-k after the back-off to service stopped: %lu ms", GetTickCount() - stopping);
}

TEST_F(ServiceFaults, ServiceStoppedUnderLoadStopsCleanlyAndLeavesNothingRunning) {
  Load load(Keys(2), 2, kTurnPermille, 10);
  ASSERT_TRUE(load.Start());
  ASSERT_TRUE(load.WaitForProgress(-1, kProgress, 30000));
  UniqueHandle child(OpenProcess(SYNCHRONIZE, FALSE, MonitorChildId()));
  ASSERT_TRUE(child.valid());
  const DWORD start = GetTickCount();
  ChildProcess stopper;
  ASSERT_TRUE(stopper.Start(SimService(), {L"-k"}));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.get(), 15000)) << "the monitor was not ended";
  const DWORD monitorGone = GetTickCount() - start;
  ASSERT_TRUE(WaitUntil(15000, [] { return ServiceState() == SERVICE_STOPPED; })) << "state " << ServiceState();
  const DWORD stopped = GetTickCount() - start;
  DWORD code = 1;
  EXPECT_TRUE(stopper.Wait(15000, &code));
  EXPECT_EQ(0u, code);
  EXPECT_TRUE(WaitUntil(5000, [] { return ProcessesNamed(kProgramName).empty(); })) << "a TamsuSerB.exe was left";
  ASSERT_TRUE(load.Stop());
  const LoadTotals t = load.Totals();
  PrintTotals("service stopped under load", t);
  Figure("-k under load to monitor gone: %lu ms; to service reported stopped: %lu ms", monitorGone, stopped);
  ExpectNoWrongAnswer(t);
}

}  // namespace
}  // namespace tamsu
