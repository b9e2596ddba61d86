// The shipped TamsuSerB.exe for real: as a monitor process, and as a service under Wine's service
// control manager. Figures (restart and stop times) are printed as "[figure]" lines.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "process/windows_version.h"

namespace tamsu {
namespace {

using testing_support::ProcessesNamed;

using testing_support::ChildProcess;
using testing_support::RunPipeClient;
using testing_support::RunProgram;
using testing_support::WaitForMonitorWindow;
using testing_support::WaitUntil;

const wchar_t kServiceName[] = L"Tamsu Service _ZUVA";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"TamsuReg_ZUVA.exe";
constexpr DWORD kShortMonitorLifeMs = 15000;  // a monitor ending sooner counts as a failed start

std::wstring ShippedProgram() { return testing_support::DistPath(L"TamsuSerB.exe"); }

bool ListPipeAnswers() {
  std::vector<std::string> out = RunPipeClient({L"list"});
  return !out.empty() && out[0].compare(0, 8, "list ok ") == 0;
}

// ---------------------------------------------------------------------------------------------
// The monitor role

TEST(Monitor, ClosingItsWindowEndsItWithZeroAfterServing) {
  ChildProcess monitor;
  ASSERT_TRUE(monitor.Start(ShippedProgram(), {L"-m"}, true));
  HWND window = WaitForMonitorWindow(monitor.id());
  ASSERT_NE(nullptr, window) << "no window of class and title";
  EXPECT_FALSE(IsWindowVisible(window)) << "started with SW_SHOW, the window must stay hidden";
  ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers)) << "the monitor does not serve the list pipe";
  EXPECT_EQ((std::vector<std::string>{"list ok 0"}), RunPipeClient({L"list"})) << "no key here";
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  DWORD code = 1;
  ASSERT_TRUE(monitor.Wait(10000, &code));
  EXPECT_EQ(0u, code);
  EXPECT_FALSE(WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 100)) << "the list pipe outlived its monitor";
}

TEST(Monitor, QuitMessageToItsMainThreadEndsItWithZero) {
  ChildProcess monitor;
  ASSERT_TRUE(monitor.Start(ShippedProgram(), {L"-m"}));
  ASSERT_NE(nullptr, WaitForMonitorWindow(monitor.id()));
  ASSERT_TRUE(PostThreadMessageW(monitor.threadId(), WM_QUIT, 0, 0)) << GetLastError();
  DWORD code = 1;
  ASSERT_TRUE(monitor.Wait(10000, &code));
  EXPECT_EQ(0u, code);
}

TEST(Monitor, TwoMonitorsAtOnceOnlyOneServesAndTheOtherTakesOver) {
  ChildProcess first;
  ASSERT_TRUE(first.Start(ShippedProgram(), {L"-m"}));
  ASSERT_NE(nullptr, WaitForMonitorWindow(first.id()));
  ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers));
  ChildProcess second;
  ASSERT_TRUE(second.Start(ShippedProgram(), {L"-m", L"-i"}));  // -m wins over every other switch
  HWND secondWindow = WaitForMonitorWindow(second.id());
  ASSERT_NE(nullptr, secondWindow) << "each monitor has its own window";
  PostMessageW(WaitForMonitorWindow(first.id()), WM_CLOSE, 0, 0);
  ASSERT_TRUE(first.Wait(10000));
  EXPECT_TRUE(second.Running());
  EXPECT_TRUE(WaitUntil(10000, ListPipeAnswers)) << "the waiting monitor did not take over";
  PostMessageW(secondWindow, WM_CLOSE, 0, 0);
  DWORD code = 1;
  ASSERT_TRUE(second.Wait(10000, &code));
  EXPECT_EQ(0u, code);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
  EXPECT_EQ(nullptr, service) << "-i beside -m installed the service";
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST(Monitor, ThatCannotHaveTheMutexEndsSoThatTheServiceReplacesIt) {
  // An object of another type squats the mutex's name: neither create nor open gives a handle.
  UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, kServiceMutexName));
  ASSERT_TRUE(squatter.valid());
  ChildProcess monitor;
  ASSERT_TRUE(monitor.Start(ShippedProgram(), {L"-m"}));
  DWORD code = 1;
  EXPECT_TRUE(monitor.Wait(15000, &code)) << "a monitor that cannot serve lingers";
  EXPECT_EQ(0u, code);
  EXPECT_FALSE(ListPipeAnswers());
}

// A process that made the mutex first and holds it serves no list pipe: the monitor does not wait
// behind it for ever, and once the name is free a monitor serves.
TEST(Monitor, BehindAMutexHolderThatServesNothingEndsAndServesOnceTheMutexIsFree) {
  UniqueHandle holder(CreateMutexW(nullptr, TRUE, kServiceMutexName));
  ASSERT_TRUE(holder.valid());
  ChildProcess monitor;
  const DWORD start = GetTickCount();
  ASSERT_TRUE(monitor.Start(ShippedProgram(), {L"-m"}));
  DWORD code = 1;
  EXPECT_TRUE(monitor.Wait(30000, &code)) << "the monitor waits for ever behind a holder that serves nothing";
  EXPECT_EQ(0u, code);
  std::printf("[figure] monitor behind a mutex holder serving nothing ended after %lu ms\n", GetTickCount() - start);
  ReleaseMutex(holder.get());
  holder.reset();
  ChildProcess next;
  ASSERT_TRUE(next.Start(ShippedProgram(), {L"-m"}));
  EXPECT_TRUE(WaitUntil(10000, ListPipeAnswers)) << "a monitor does not serve once the mutex is free";
  PostMessageW(WaitForMonitorWindow(next.id()), WM_CLOSE, 0, 0);
  EXPECT_TRUE(next.Wait(10000));
}

TEST(Program, WithoutSwitchesOutsideTheServiceManagerItEndsAtOnce) {
  const DWORD start = GetTickCount();
  EXPECT_EQ(0u, RunProgram(ShippedProgram(), {}));
  // Wine's dispatcher may wait some seconds for a control pipe that never comes before it fails.
  std::printf("[figure] no switches, outside the service manager: exit after %lu ms\n", GetTickCount() - start);
  EXPECT_TRUE(ProcessesNamed(L"TamsuSerB.exe").empty());
}

// ---------------------------------------------------------------------------------------------
// The service

class ServiceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RunProgram(ShippedProgram(), {L"-k", L"-u"});
    testing_support::KillProcessesNamed(L"TamsuSerB.exe");
  }

  static DWORD State() { return testing_support::ServiceState(kServiceName); }
  static bool Running() { return State() == SERVICE_RUNNING; }
  static bool Stopped() { return State() == SERVICE_STOPPED; }

  // The monitor child: a TamsuSerB.exe whose parent is another TamsuSerB.exe.
  static DWORD MonitorChildId() {
    const std::vector<DWORD> children = testing_support::ChildrenOfSameName(L"TamsuSerB.exe");
    return children.empty() ? 0 : children[0];
  }
  static bool HasMonitorChild() { return MonitorChildId() != 0; }

  static std::vector<BYTE> Config(QUERY_SERVICE_CONFIGW** config) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    *config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!service || !QueryServiceConfigW(service.get(), *config, static_cast<DWORD>(buffer.size()), &needed)) {
      *config = nullptr;
    }
    return buffer;
  }

  static DWORD Control(DWORD control) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), control, &status)) return 0;
    return status.dwCurrentState;
  }

  static void InstallAndStart(const std::wstring& program) {
    ASSERT_EQ(0u, RunProgram(program, {L"-s", L"-i"})) << "-s before -i must still install first";
    ASSERT_TRUE(WaitUntil(10000, Running)) << "state " << State();
    ASSERT_TRUE(WaitUntil(10000, HasMonitorChild)) << "no monitor child";
    ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers)) << "the monitor child does not serve";
  }

  // Installs and starts the service from `program`, checks the path it was given, removes it.
  static void InstallRunAndRemove(const std::wstring& program) {
    InstallAndStart(program);
    QUERY_SERVICE_CONFIGW* config = nullptr;
    std::vector<BYTE> keep = Config(&config);
    ASSERT_NE(nullptr, config);
    EXPECT_EQ(L"\"" + program + L"\"", std::wstring(config->lpBinaryPathName));
    ASSERT_EQ(0u, RunProgram(program, {L"-k", L"-u"}));
    EXPECT_TRUE(WaitUntil(10000, [] { return ProcessesNamed(L"TamsuSerB.exe").empty(); }));
  }
};

TEST_F(ServiceTest, InstallStartControlStopRemove) {
  ASSERT_EQ(0u, RunProgram(ShippedProgram(), {L"-i"}));
  QUERY_SERVICE_CONFIGW* config = nullptr;
  std::vector<BYTE> keep = Config(&config);
  ASSERT_NE(nullptr, config);
  EXPECT_EQ(0x110u, config->dwServiceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
  EXPECT_EQ(L"\"" + ShippedProgram() + L"\"", std::wstring(config->lpBinaryPathName));
  EXPECT_EQ(std::wstring(kServiceName), config->lpDisplayName);
  EXPECT_EQ(0u, RunProgram(ShippedProgram(), {L"-i"})) << "installing an existing service";

  ASSERT_EQ(0u, RunProgram(ShippedProgram(), {L"-s"}));
  ASSERT_TRUE(WaitUntil(10000, Running));
  ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Control(SERVICE_CONTROL_PAUSE)) << "pause answers running";
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Control(SERVICE_CONTROL_CONTINUE));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Control(SERVICE_CONTROL_INTERROGATE));
  EXPECT_TRUE(HasMonitorChild()) << "a pause must not touch the monitor";

  const DWORD start = GetTickCount();
  ASSERT_EQ(0u, RunProgram(ShippedProgram(), {L"-k"}));
  ASSERT_TRUE(WaitUntil(10000, Stopped)) << "state " << State();
  std::printf("[figure] -k to service reported stopped: %lu ms\n", GetTickCount() - start);
  EXPECT_TRUE(WaitUntil(5000, [] { return ProcessesNamed(L"TamsuSerB.exe").empty(); }))
      << "a monitor or service process was left behind";
  EXPECT_EQ(0u, RunProgram(ShippedProgram(), {L"-k"})) << "stopping a stopped service";

  ASSERT_EQ(0u, RunProgram(ShippedProgram(), {L"-u"}));
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_FALSE(UniqueServiceHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)).valid());
  EXPECT_EQ(0u, RunProgram(ShippedProgram(), {L"-u"})) << "removing a missing service";
}

std::wstring ReadRunValue(REGSAM view) {
  UniqueHKey key;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ | view, &raw) != ERROR_SUCCESS) return L"<no key>";
  key.reset(raw);
  wchar_t data[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH * sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), kRunValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != 0) {
    return L"<none>";
  }
  return data;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void WriteRunValue(REGSAM view, const wchar_t* data) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &raw, nullptr));
  UniqueHKey key(raw);
  if (data) {
    RegSetValueExW(key.get(), kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                   static_cast<DWORD>((lstrlenW(data) + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key.get(), kRunValue);
  }
}

TEST_F(ServiceTest, KilledMonitorIsRestartedAndTheRunEntryKept) {
  WriteRunValue(KEY_WOW64_64KEY, nullptr);
  WriteRunValue(KEY_WOW64_32KEY, nullptr);
  InstallAndStart(ShippedProgram());
  EXPECT_EQ(std::wstring(kRunValue), ReadRunValue(KEY_WOW64_64KEY)) << "created in the 64-bit view";
  if (testing_support::Is64BitWindows()) {  // 32-bit Windows has one view, which the flag reaches too
    EXPECT_EQ(L"<none>", ReadRunValue(KEY_WOW64_32KEY)) << "never in the 32-bit view";
  }
  WriteRunValue(KEY_WOW64_64KEY, L"tamsureg_zuva.exe");  // other letter case: must be overwritten

  const DWORD first = MonitorChildId();
  UniqueHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first));
  ASSERT_TRUE(child.valid());
  const DWORD killed = GetTickCount();
  TerminateProcess(child.get(), 1);
  WaitForSingleObject(child.get(), 5000);
  ASSERT_TRUE(WaitUntil(10000, [] { return MonitorChildId() != 0; }));
  const DWORD appeared = GetTickCount() - killed;
  EXPECT_NE(first, MonitorChildId());
  ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers));
  std::printf("[figure] monitor killed to new monitor running: %lu ms; to serving the list pipe: %lu ms\n", appeared,
              GetTickCount() - killed);
  // The pass after the restart (1000 ms later) puts the entry right.
  EXPECT_TRUE(WaitUntil(5000, [] { return ReadRunValue(KEY_WOW64_64KEY) == kRunValue; }))
      << "the entry was not overwritten: " << Narrow(ReadRunValue(KEY_WOW64_64KEY));
}

TEST_F(ServiceTest, ProgramPathWithBlanksAndSwitchLettersIsQuoted) {
  const std::wstring folder = L"C:\\Program Files\\Tamsu -k -u Test";
  CreateDirectoryW(L"C:\\Program Files", nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring program = folder + L"\\TamsuSerB.exe";
  ASSERT_TRUE(CopyFileW(ShippedProgram().c_str(), program.c_str(), FALSE)) << GetLastError();
  InstallRunAndRemove(program);
  DeleteFileW(program.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(ServiceTest, InstallSetsRecoveryActions) {
  ASSERT_EQ(0u, RunProgram(ShippedProgram(), {L"-i"}));
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service.valid());
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0;
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed)) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    GTEST_SKIP() << "this Wine accepts failure actions but cannot report them (QueryServiceConfig2W: 124)";
  }
  const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  EXPECT_EQ(86400u, failure->dwResetPeriod) << "the failure count starts again after a day";
  ASSERT_EQ(3u, failure->cActions);
  const DWORD delays[] = {1000, 5000, 30000};
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_EQ(SC_ACTION_RESTART, failure->lpsaActions[i].Type) << "action " << i;
    EXPECT_EQ(delays[i], failure->lpsaActions[i].Delay) << "action " << i;
  }
}

// The monitor is killed while the program file cannot be started (as during an update): the
// service keeps trying, with a growing delay, and serves again soon after the file is back.
TEST_F(ServiceTest, FailedRestartIsRetriedUntilTheProgramCanStartAgain) {
  const std::wstring folder = L"C:\\TamsuRetry";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring program = folder + L"\\TamsuSerB.exe";
  const std::wstring away = folder + L"\\TamsuSerB.away";
  ASSERT_TRUE(CopyFileW(ShippedProgram().c_str(), program.c_str(), FALSE)) << GetLastError();
  InstallAndStart(program);

  ASSERT_TRUE(MoveFileW(program.c_str(), away.c_str())) << GetLastError();
  UniqueHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, MonitorChildId()));
  ASSERT_TRUE(child.valid());
  TerminateProcess(child.get(), 1);
  WaitForSingleObject(child.get(), 5000);
  Sleep(8000);  // starts fail after 0, 1, 3 and 7 s: the delay has grown to 8 s
  EXPECT_FALSE(HasMonitorChild());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Control(SERVICE_CONTROL_INTERROGATE)) << "no longer controllable";

  ASSERT_TRUE(MoveFileW(away.c_str(), program.c_str())) << GetLastError();
  const DWORD restored = GetTickCount();
  EXPECT_TRUE(WaitUntil(30000, HasMonitorChild)) << "no monitor within one retry step of the restore";
  EXPECT_TRUE(WaitUntil(10000, ListPipeAnswers)) << "the new monitor does not serve";
  const DWORD backedOff = GetTickCount() - restored;
  std::printf("[figure] program file restored to a monitor serving again: %lu ms\n", backedOff);
  // The next try was due 8 s after the failure at 7 s: several seconds after the restore at 8 s.
  EXPECT_GE(backedOff, 3000u) << "the retry delay did not grow";

  // A monitor that served past its short life resets the delay: the next failure is retried after
  // 1 s again, so a restore 2.5 s after it is served at the try of 3 s.
  Sleep(kShortMonitorLifeMs + 1000);
  ASSERT_TRUE(MoveFileW(program.c_str(), away.c_str())) << GetLastError();
  child.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, MonitorChildId()));
  TerminateProcess(child.get(), 1);
  WaitForSingleObject(child.get(), 5000);
  Sleep(2500);
  ASSERT_TRUE(MoveFileW(away.c_str(), program.c_str())) << GetLastError();
  const DWORD restoredAgain = GetTickCount();
  EXPECT_TRUE(WaitUntil(15000, HasMonitorChild));
  std::printf("[figure] after a healthy monitor, restored to a monitor: %lu ms\n", GetTickCount() - restoredAgain);
  EXPECT_LT(GetTickCount() - restoredAgain, 6000u) << "the delay grown before the recovery was kept";

  // Unstartable again; a stop during the retry delay is served at once and leaves nothing.
  ASSERT_TRUE(WaitUntil(10000, ListPipeAnswers));
  ASSERT_TRUE(MoveFileW(program.c_str(), away.c_str())) << GetLastError();
  child.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, MonitorChildId()));
  TerminateProcess(child.get(), 1);
  WaitForSingleObject(child.get(), 5000);
  Sleep(4000);
  const DWORD stopping = GetTickCount();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Control(SERVICE_CONTROL_STOP));
  EXPECT_TRUE(WaitUntil(10000, [] { return ProcessesNamed(L"TamsuSerB.exe").empty(); })) << "the service lingers";
  std::printf("[figure] stop during the retry delay to no process left: %lu ms\n", GetTickCount() - stopping);
  MoveFileW(away.c_str(), program.c_str());
  RunProgram(program, {L"-u"});
  DeleteFileW(program.c_str());
  RemoveDirectoryW(folder.c_str());
}

// Quoted and followed by " -m", the program path must fit the monitor's command line: 254 units.
TEST_F(ServiceTest, ProgramPathLimitIsAppliedAtInstall) {
  const std::wstring name = L"\\TamsuSerB.exe";  // the monitor child is found by this name
  const std::wstring base = L"C:\\TamsuLong";
  const std::wstring longestFolder = base + std::wstring(254 - name.size() - base.size(), L'd');
  const std::wstring tooLongFolder = base + std::wstring(255 - name.size() - base.size(), L'd');
  const std::wstring longest = longestFolder + name;
  const std::wstring tooLong = tooLongFolder + name;
  ASSERT_EQ(254u, longest.size());
  for (const std::wstring& folder : {longestFolder, tooLongFolder}) CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(ShippedProgram().c_str(), longest.c_str(), FALSE)) << GetLastError();
  ASSERT_TRUE(CopyFileW(ShippedProgram().c_str(), tooLong.c_str(), FALSE)) << GetLastError();

  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), RunProgram(tooLong, {L"-i"}));
  EXPECT_EQ(0u, State()) << "a service was installed that could never start its monitor";

  InstallRunAndRemove(longest);
  for (const std::wstring& folder : {longestFolder, tooLongFolder}) {
    DeleteFileW((folder + name).c_str());
    RemoveDirectoryW(folder.c_str());
  }
}

}  // namespace
}  // namespace tamsu
