// TamsuKeySim as a client developer runs it: its keys on the real pipes, its answers and faults.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "service/pipes/pipe_protocol.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::DistPath;
using testing_support::RunPipeClient;

// Starts the simulator and waits until it serves; stops it through its stop event.
class KeySim {
 public:
  explicit KeySim(std::vector<std::wstring> arguments) {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, L"TamsuKeySimTestStop"));
    arguments.push_back(L"--stop-event");
    arguments.push_back(L"TamsuKeySimTestStop");
    process_.Start(DistPath(L"tools\\TamsuKeySim.exe"), arguments);
    for (int i = 0; i < 100 && !WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 50); ++i) Sleep(50);
  }
  ~KeySim() { Stop(); }
  DWORD Stop() {
    SetEvent(stop_.get());
    DWORD code = 0xBAD;
    process_.Wait(20000, &code);
    return code;
  }
  ChildProcess& process() { return process_; }

 private:
  UniqueHandle stop_;
  ChildProcess process_;
};

TEST(KeySim, ServesItsKeysWithTheChosenAnswers) {
  KeySim sim({L"--keys", L"2", L"--answer", L"fixed:6"});
  std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:1", L"xfer:00b0000004"});
  ASSERT_EQ(6u, out.size());
  EXPECT_EQ("list ok 2", out[0]);
  EXPECT_NE(std::string::npos, out[2].find("&ven_varnelle&prod_tamsusim&rev_1.00#2#"));
  EXPECT_EQ("recv ok 6 000102039000", out[5]);
  EXPECT_EQ(0u, sim.Stop());
}

TEST(KeySim, InjectedFaultsDropTheClientAfterTheGoodCommands) {
  KeySim sim({L"--path", L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_1.00#f#1", L"--fail-receive", L"1"});
  std::vector<std::string> out =
      RunPipeClient({L"list", L"devpipe:0", L"xfer:00b0000002", L"xfer:00b0000002", L"devpipe:0", L"xfer:0001"});
  ASSERT_EQ(10u, out.size());
  EXPECT_EQ("recv ok 7 00b00000029000", out[4]) << "the first command is good";
  EXPECT_EQ(0u, out[6].find("recv fail")) << "the second one meets the fault";
  EXPECT_EQ("recv ok 4 00019000", out[9]) << "the key serves the next connection";
}

TEST(KeySim, RefusesWhenAnotherMonitorServesAndOnBadOptions) {
  KeySim first({});
  ChildProcess second;
  ASSERT_TRUE(second.Start(DistPath(L"tools\\TamsuKeySim.exe"), {L"--keys", L"1"}));
  DWORD code = 0;
  ASSERT_TRUE(second.Wait(20000, &code));
  EXPECT_EQ(2u, code);
  ChildProcess bad;
  ASSERT_TRUE(bad.Start(DistPath(L"tools\\TamsuKeySim.exe"), {L"--keys", L"0"}));
  ASSERT_TRUE(bad.Wait(20000, &code));
  EXPECT_EQ(1u, code);
}

}  // namespace
}  // namespace tamsu
