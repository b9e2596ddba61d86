// The plug-in's process, module-owner and window exports, driven by real installers against target
// processes that these tests start.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::ProgramFolder;
using testing_support::ReadText;


std::wstring Target() { return ProgramFolder() + L"tamsu_target.exe"; }

TEST(PluginProcesses, FindAndKillByExecutableName) {
  ASSERT_TRUE(CopyFileW((ProgramFolder() + L"target_process.exe").c_str(), Target().c_str(), FALSE));
  ChildProcess first, second;
  ASSERT_TRUE(first.Start(Target(), {}));
  ASSERT_TRUE(second.Start(Target(), {}));
  Sleep(500);
  ChildProcess installer;
  ASSERT_TRUE(installer.Start(ProgramFolder() + L"plugin_processes_setup.exe", {L"/S"}));
  ASSERT_TRUE(installer.Wait(60000)) << "the installer hung";
  std::map<std::string, std::string> r = testing_support::ReadResultLines(ProgramFolder() + L"process_results.txt");
  ASSERT_EQ("1", r["end"]);
  EXPECT_EQ("1", r["Running"]);
  EXPECT_EQ("1", r["Upper"]) << "both sides are upper-cased";
  EXPECT_EQ("0", r["WithFolder"]) << "only base names are compared";
  EXPECT_EQ("0", r["Missing"]);
  EXPECT_EQ("632", r["Empty"]);
  EXPECT_EQ("632", r["Long"]) << "261 characters";
  EXPECT_EQ("0", r["Longest"]) << "260 characters are searched";
  EXPECT_EQ("1", r["Installer"]) << "the installer itself is not excluded";
  EXPECT_EQ("1", r["Unknown"]) << "processes that cannot be examined are compared as Unknown";
  EXPECT_EQ("1", r["AfterKillWithFolder"]) << "a name with a folder ends nothing";
  EXPECT_EQ("0", r["AfterKill"]);
  DWORD code = 1;
  EXPECT_TRUE(first.Wait(5000, &code));
  EXPECT_EQ(0u, code) << "ended with exit code 0";
  EXPECT_TRUE(second.Wait(5000, &code)) << "every matching process is ended";
  EXPECT_EQ(0u, code);
  DeleteFileW(Target().c_str());
}

// The text of a message box: its longest static control.
std::wstring MessageBoxText(HWND box) {
  std::wstring longest;
  for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child;
       child = FindWindowExW(box, child, L"Static", nullptr)) {
    wchar_t text[2048] = {};
    GetWindowTextW(child, text, 2048);
    if (wcslen(text) > longest.size()) longest = text;
  }
  return longest;
}

HWND WaitForWindow(const wchar_t* className, const wchar_t* title, DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(50)) {
    if (HWND window = FindWindowW(className, title)) return window;
  }
  return nullptr;
}

const wchar_t kTitle1[] = L"Internet Banking of Quillmark";
const wchar_t kTitle2[] = L"Internet Banking of Quillmark Key";

TEST(PluginDesktop, OwnerBoxUntilTheModuleIsFreeThenWindowsClosed) {
  ASSERT_NE(0x0404, GetSystemDefaultLangID());
  ASSERT_NE(0x0804, GetSystemDefaultLangID());
  ChildProcess holder;
  ASSERT_TRUE(
      holder.Start(ProgramFolder() + L"target_process.exe", {L"--load", ProgramFolder() + L"tamsu_owner_probe.dll"}));
  const std::wstring log1 = ProgramFolder() + L"window1.log";
  const std::wstring log2 = ProgramFolder() + L"window2.log";
  ChildProcess window1, window2;
  ASSERT_TRUE(window1.Start(ProgramFolder() + L"target_process.exe", {L"--window", kTitle1, log1}));
  ASSERT_TRUE(window2.Start(ProgramFolder() + L"target_process.exe", {L"--window", kTitle2, log2}));
  ASSERT_NE(nullptr, WaitForWindow(nullptr, kTitle2, 10000));
  ASSERT_NE(nullptr, WaitForWindow(nullptr, kTitle1, 10000));
  Sleep(300);

  ChildProcess installer;
  ASSERT_TRUE(installer.Start(ProgramFolder() + L"plugin_desktop_setup.exe", {L"/S"}));
  HWND box = WaitForWindow(L"#32770", L"Owner Title", 20000);
  ASSERT_NE(nullptr, box) << "no message box while a process holds the module";
  EXPECT_EQ(L"Programs that hold the module:\n\n" + ProgramFolder() + L"target_process.exe\n", MessageBoxText(box));
  // Cancel while the holder still runs: the box comes back.
  PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
  Sleep(1000);
  box = WaitForWindow(L"#32770", L"Owner Title", 20000);
  ASSERT_NE(nullptr, box) << "Cancel must lead to the next pass, not end the wait";
  holder.Kill();
  PostMessageW(box, WM_COMMAND, IDRETRY, 0);

  ASSERT_TRUE(installer.Wait(60000)) << "the installer did not finish";
  std::map<std::string, std::string> r = testing_support::ReadResultLines(ProgramFolder() + L"desktop_results.txt");
  ASSERT_EQ("1", r["end"]);
  EXPECT_EQ("OK", r["NoOwner"]);
  EXPECT_EQ("OK", r["Owner"]);
  EXPECT_EQ("unset", r["Closed"]) << "CloseGarbageWindows stores nothing";
  EXPECT_TRUE(window1.Wait(10000));
  EXPECT_TRUE(window2.Wait(10000));
  EXPECT_EQ("command 7\nclose\n", ReadText(log1)) << "No, then close";
  EXPECT_EQ("command 7\nclose\n", ReadText(log2));
}

TEST(PluginDesktop, WindowThatIgnoresCloseHoldsTheInstallerOnlyForABoundedTime) {
  const std::wstring log = ProgramFolder() + L"stubborn.log";
  ChildProcess stubborn;
  ASSERT_TRUE(stubborn.Start(ProgramFolder() + L"target_process.exe", {L"--window", kTitle2, log, L"--ignore-close"}));
  ASSERT_NE(nullptr, WaitForWindow(nullptr, kTitle2, 10000));
  const DWORD start = GetTickCount();
  ChildProcess installer;
  ASSERT_TRUE(installer.Start(ProgramFolder() + L"plugin_desktop_setup.exe", {L"/S"}));
  ASSERT_TRUE(installer.Wait(60000)) << "CloseGarbageWindows never gave up";
  const DWORD took = GetTickCount() - start;
  std::printf("[figure] installer with a window that ignores WM_CLOSE: %lu ms\n", took);
  EXPECT_GT(took, 4000u) << "gave up before the bound";
  EXPECT_EQ("1", testing_support::ReadResultLines(ProgramFolder() + L"desktop_results.txt")["end"]);
  EXPECT_TRUE(stubborn.Running());
  const std::string received = ReadText(log);
  EXPECT_EQ(0u, received.find("command 7\nclose\ncommand 7\nclose\n")) << "one pair of messages a pass";
  stubborn.Kill();
}

// XStartSmartService against a stand-in "SCardSvr" (Wine has none) whose start takes a chosen time
// or fails, with a stand-in sc.exe first on the installer's PATH that records the "sc" command.
class PluginDesktopSmartCard : public ::testing::Test {
 protected:
  struct Call {
    DWORD before, after;  // GetTickCount around the export's call
  };
  const std::wstring folder_ = ProgramFolder() + L"scard\\";
  const std::wstring log_ = folder_ + L"calls.log";
  static constexpr char kAutoStart[] = "sc config SCardSvr start= auto";

  void SetUp() override {
    RemoveService();
    CreateDirectoryW(folder_.c_str(), nullptr);
    DeleteFileW(log_.c_str());
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"scard_standin.exe").c_str(), (folder_ + L"sc.exe").c_str(), FALSE));
  }
  void TearDown() override { RemoveService(); }

  static void RemoveService() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), L"SCardSvr", SERVICE_STOP | DELETE));
    if (!service) return;
    SERVICE_STATUS status;
    testing_support::WaitUntil(15000, [&] {
      ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
      return testing_support::ServiceState(L"SCardSvr") == SERVICE_STOPPED;
    }, 100);
    testing_support::KillProcessesNamed(L"scard_standin.exe");
    EXPECT_TRUE(DeleteService(service.get())) << GetLastError();
  }

  // `behaviour`: milliseconds until running, or "fail".
  void CreateStandIn(const std::wstring& behaviour) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    const std::wstring command = L"\"" + ProgramFolder() + L"scard_standin.exe\" \"" + log_ + L"\" " + behaviour;
    UniqueServiceHandle service(CreateServiceW(manager.get(), L"SCardSvr", L"SCardSvr stand-in", SERVICE_START,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << GetLastError();
  }

  // Runs the installer and waits until every command it started has ended.
  Call RunInstaller() {
    const std::wstring results = ProgramFolder() + L"scard_results.txt";
    DeleteFileW(results.c_str());
    std::vector<wchar_t> path(32767);
    GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
    SetEnvironmentVariableW(L"PATH", (folder_ + L";" + path.data()).c_str());
    ChildProcess installer;
    const bool started = installer.Start(ProgramFolder() + L"plugin_scard_setup.exe", {L"/S"});
    SetEnvironmentVariableW(L"PATH", path.data());
    EXPECT_TRUE(started && installer.Wait(60000)) << "the installer did not finish";
    EXPECT_TRUE(testing_support::WaitUntil(30000, [] {
      return testing_support::ProcessesNamed(L"cmd.exe").empty() && testing_support::ProcessesNamed(L"net.exe").empty();
    })) << "commands still running";
    std::map<std::string, std::string> r = testing_support::ReadResultLines(results);
    EXPECT_FALSE(r["after"].empty()) << "the installer wrote no times";
    return {static_cast<DWORD>(std::strtoll(r["before"].c_str(), nullptr, 10)),
            static_cast<DWORD>(std::strtoll(r["after"].c_str(), nullptr, 10))};
  }

  // When each log line with this text was written.
  std::vector<DWORD> Logged(const std::string& text) const {
    std::vector<DWORD> ticks;
    std::istringstream lines(ReadText(log_));
    for (std::string line; std::getline(lines, line);) {
      char* rest = nullptr;
      const DWORD tick = std::strtoul(line.c_str(), &rest, 10);
      if (" " + text + "\r" == rest) ticks.push_back(tick);  // the log's lines end in CR LF
    }
    return ticks;
  }
};

TEST_F(PluginDesktopSmartCard, StoppedServiceIsStartedOnceAndARunningOneLeftAlone) {
  Call call = RunInstaller();
  std::printf("[figure] no service: the call took %lu ms\n", call.after - call.before);
  EXPECT_LT(call.after - call.before, 1000u) << "no service: at once";
  EXPECT_EQ(0u, Logged(kAutoStart).size()) << "no service: no command";

  CreateStandIn(L"300");
  call = RunInstaller();
  EXPECT_EQ(1u, Logged(kAutoStart).size());
  const std::vector<DWORD> starts = Logged("start"), running = Logged("running");
  ASSERT_EQ(1u, starts.size()) << "one start";
  ASSERT_EQ(1u, running.size());
  std::printf("[figure] start reached the service %lu ms into the call, returned %lu ms after running\n",
              starts[0] - call.before, call.after - running[0]);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), testing_support::ServiceState(L"SCardSvr"));
  EXPECT_LT(call.after - running[0], 1000u) << "polling ends at the first poll that sees it running";

  call = RunInstaller();
  std::printf("[figure] running service: the call took %lu ms\n", call.after - call.before);
  EXPECT_LT(call.after - call.before, 1000u) << "running: at once";
  EXPECT_EQ(1u, Logged(kAutoStart).size()) << "running: no command";
  EXPECT_EQ(1u, Logged("start").size());
}

TEST_F(PluginDesktopSmartCard, FailingStartIsRepeatedThreeTimesNinePollsApart) {
  CreateStandIn(L"fail");
  const Call call = RunInstaller();
  std::printf("[figure] service that never starts: the call took %lu ms\n", call.after - call.before);
  EXPECT_EQ(1u, Logged(kAutoStart).size()) << "automatic start set once";
  const std::vector<DWORD> starts = Logged("start");
  ASSERT_EQ(4u, starts.size()) << "the start command and three repetitions";
  std::printf("[figure] starts at %lu, %lu, %lu, %lu ms into the call\n", starts[0] - call.before,
              starts[1] - call.before, starts[2] - call.before, starts[3] - call.before);
  for (DWORD k = 1; k < 4; ++k) {
    EXPECT_GE(starts[k] - call.before, k * 9 * 150) << "repetition " << k << " after 9 more polls of 150 ms";
  }
  EXPECT_GE(call.after - call.before, 27 * 150u) << "27 polls of 150 ms";
  EXPECT_LT(call.after - call.before, 27 * 150u + 6000) << "and not many more";
}

}  // namespace
}  // namespace tamsu
