// The list and device pipes with real named pipes: the servers run here over simulated keys, the
// clients are pipe_client.exe processes. ctest runs each test in a process of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "process/child_process.h"
#include "process/import_patch.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"

namespace tamsu {
namespace {

using sim::Bytes;
using sim::SimKey;
using sim::SimKeyBus;
using testing_support::PipeClient;
using testing_support::RunPipeClient;
using Lines = std::vector<std::string>;

const char kKeyA[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#a#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const char kKeyB[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#b#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kListRequestHex[] =
    L"send:4465766963654c69737441"
    L"00";

std::string Dump(const Lines& lines) {
  std::string text;
  for (const auto& line : lines) text += "\n  " + line.substr(0, 120);
  return text;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// 4-byte commands ask for an answer of P1P2 bytes; long commands get their length and 90 00;
// anything else is echoed with 90 00.
sim::Responder TestKeyResponder() {
  return [](const Bytes& command) {
    if (command.size() == 4) return sim::FixedLength(command[2] * 256u + command[3])(command);
    if (command.size() > 64) {
      return Bytes{static_cast<uint8_t>(command.size() >> 8), static_cast<uint8_t>(command.size()), 0x90, 0x00};
    }
    return sim::Echo()(command);
  };
}

bool WaitForPipe(const std::wstring& name, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (WaitNamedPipeW(name.c_str(), 20)) return true;
    Sleep(20);
  }
  return false;
}

class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServiceStopEvent) ResetEvent(ServiceStopEvent);
    server_.Start(nullptr);
    ASSERT_TRUE(WaitForPipe(PipeName(kListNameArgument), 5000)) << "the list pipe never appeared";
  }
  void TearDown() override {
    server_.Stop();
    SimKeyBus::Instance().Reset();
  }

  ListPipeServer server_;
};

SimKey& AddKey(const char* path) {
  SimKey& key = SimKeyBus::Instance().Add(path);
  key.SetResponder(TestKeyResponder());
  return key;
}

bool DevicePipeExists(const char* path) { return WaitNamedPipeW(DevicePipeName(Wide(path)).c_str(), 50) != FALSE; }

TEST_F(PipeServerTest, WholeClientExchange) {
  SimKey& key = AddKey(kKeyA);
  Lines out = RunPipeClient({L"list", L"devpipe:0", L"xfer:00b0000010", L"xfer:00a40040", L"sendn:4096:7", L"recv",
                             L"sendn:4097:7", L"recv"});
  ASSERT_EQ(11u, out.size()) << Dump(out);
  EXPECT_EQ("list ok 1", out[0]);
  EXPECT_EQ(std::string("path ") + kKeyA, out[1]);
  EXPECT_EQ("open ok", out[2]);
  EXPECT_EQ("recv ok 7 00b00000109000", out[4]) << "short command echoed after one receive";
  EXPECT_EQ(0u, out[6].find("recv ok 64 000102")) << "a 64-byte answer needs the second receive: " << out[6];
  EXPECT_EQ("send ok 4096", out[7]);
  EXPECT_EQ("recv ok 4 10009000", out[8]) << "a 4096-byte request is read whole";
  EXPECT_EQ("send ok 4097", out[9]);
  EXPECT_EQ(0u, out[10].find("recv fail")) << "a 4097-byte request ends the connection: " << out[10];
  // Le 0x10: one receive of 0x14; header only: 4, then the 0x42-byte frame; the 4096-byte command
  // is not a short one: 4, then its 6-byte frame. The 4097-byte request never reached the key.
  EXPECT_EQ((std::vector<uint32_t>{0x14, 4, 0x42, 4, 6}), key.stats().receiveLengths);
}

TEST_F(PipeServerTest, ListRequestMustBeExact) {
  Lines out = RunPipeClient({L"openlist", kListRequestHex, L"recv", L"send:4465766963654c69737441", L"recv",
                             L"send:6465766963654c69737441"
                             L"00",
                             L"recv", kListRequestHex, L"recv", L"send:", L"recv"});
  ASSERT_EQ(11u, out.size()) << Dump(out);
  EXPECT_EQ("recv ok 1 00", out[2]) << "no key: the single zero byte";
  EXPECT_EQ("recv ok 6 4572726f7200", out[4]) << "11 bytes without the zero";
  EXPECT_EQ("recv ok 6 4572726f7200", out[6]) << "another letter case";
  EXPECT_EQ("recv ok 1 00", out[8]) << "the connection stays after an error reply";
  EXPECT_EQ("send ok 0", out[9]);
  EXPECT_EQ(0u, out[10].find("recv fail")) << "a zero-byte message ends the connection";
}

// The registry driven as a list request drives it: mark all, ensure each listed path, sweep.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    security_.BuildServicePipes(false);
    registry_.Initialize(security_.attributes(), interrupt_.get());
  }
  void TearDown() override {
    registry_.StopAll();
    SimKeyBus::Instance().Reset();
  }
  void List(std::vector<const char*> paths) {
    registry_.MarkAll();
    for (const char* path : paths) EXPECT_TRUE(registry_.Ensure(path)) << path;
    registry_.SweepMarked();
  }
  const DevicePipeServer* ServerOf(const char* path) const { return registry_.Find(Wide(path)); }

  UniqueHandle interrupt_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  LowIntegritySecurity security_;
  DeviceServerRegistry registry_;
};

TEST_F(RegistryTest, ListedAgainKeepsItsServer) {
  AddKey(kKeyA);
  List({kKeyA});
  const DevicePipeServer* server = ServerOf(kKeyA);
  ASSERT_NE(nullptr, server);
  EXPECT_EQ(1u, server->flags);
  EXPECT_TRUE(WaitNamedPipeW(L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#a#"
                            L"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
                            1000))
      << "the pipe is named after the path less its first four characters";
  List({kKeyA});
  EXPECT_EQ(server, ServerOf(kKeyA)) << "a second list must not replace the server";
  EXPECT_EQ(1u, server->flags);
}

TEST_F(RegistryTest, RemovedKeyGoesStaleAndComesBackToTheSameServer) {
  SimKey& key = AddKey(kKeyA);
  List({kKeyA});
  const DevicePipeServer* first = ServerOf(kKeyA);

  key.Unplug();
  List({});
  ASSERT_EQ(first, ServerOf(kKeyA)) << "a stale server stays registered until the next creation";
  EXPECT_EQ(0x80000000u, first->flags);
  // Its pipe still takes clients, and drops each at once.
  Lines dropped = RunPipeClient({L"open:" + Wide(kKeyA + 4), L"xfer:00b0000010"});
  EXPECT_EQ("open ok", dropped.at(0));
  EXPECT_EQ(0u, dropped.at(2).find("recv fail")) << dropped.at(2);

  key.Plug();
  List({kKeyA});
  EXPECT_EQ(first, ServerOf(kKeyA)) << "no new server for a key that came back";
  EXPECT_EQ(1u, first->flags);
  Lines back = RunPipeClient({L"open:" + Wide(kKeyA + 4), L"xfer:00b0000002"});
  EXPECT_EQ("recv ok 7 00b00000029000", back.at(2));
}

TEST_F(RegistryTest, NewKeyRemovesTheStaleServerFirst) {
  SimKey& a = AddKey(kKeyA);
  List({kKeyA});
  a.Unplug();
  List({});
  AddKey(kKeyB);
  List({kKeyB});
  EXPECT_EQ(nullptr, ServerOf(kKeyA));
  EXPECT_FALSE(DevicePipeExists(kKeyA)) << "the removed server left its pipe";
  ASSERT_NE(nullptr, ServerOf(kKeyB));
}

// A client that follows the list never reaches a process holding a key's pipe name: that key is
// left out of every list while the name is held, and served once it is free.
TEST_F(PipeServerTest, KeyWhosePipeNameIsHeldElsewhereIsNotListedUntilTheNameIsFree) {
  AddKey(kKeyA);
  AddKey(kKeyB);
  UniqueFileHandle holder(CreateNamedPipeW(DevicePipeName(Wide(kKeyB)).c_str(), PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(holder.valid()) << GetLastError();
  for (int list = 0; list < 2; ++list) {
    EXPECT_EQ((Lines{"list ok 1", std::string("path ") + kKeyA}), RunPipeClient({L"list"})) << "list " << list;
  }
  holder.reset();
  Lines out = RunPipeClient({L"list", L"devpipe:1", L"xfer:00b0000003"});
  EXPECT_EQ((Lines{"list ok 2", std::string("path ") + kKeyA, std::string("path ") + kKeyB, "open ok", "send ok 5",
                   "recv ok 7 00b00000039000"}),
            out);
}

TEST_F(PipeServerTest, KeyUnpluggedMidCommandDropsTheClient) {
  SimKey& key = AddKey(kKeyA);
  key.UnplugDuringNextCommand();
  Lines out = RunPipeClient({L"list", L"devpipe:0", L"xfer:00b0000010", L"close", L"list"});
  EXPECT_EQ(0u, out.at(4).find("recv fail")) << out.at(4);
  EXPECT_EQ("list ok 0", out.at(6)) << "the key is no longer listed";
}

TEST_F(PipeServerTest, ScsiErrorDisconnectsButTheServerStays) {
  SimKey& key = AddKey(kKeyA);
  key.FailNextSend(0x02);
  Lines out = RunPipeClient({L"list", L"devpipe:0", L"xfer:00b0000010", L"devpipe:0", L"xfer:00b0000010"});
  EXPECT_EQ(0u, out.at(4).find("recv fail")) << out.at(4);
  EXPECT_EQ("open ok", out.at(5));
  EXPECT_EQ("recv ok 7 00b00000109000", out.at(7));
}

TEST_F(PipeServerTest, StoppingClosesAnIdleClientsPipe) {
  AddKey(kKeyA);
  UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestIdle"));
  UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestGo"));
  PipeClient idle(
      {L"list", L"devpipe:0", L"xfer:00b0000001", L"signal:TamsuTestIdle", L"wait:TamsuTestGo", L"xfer:00b0000001"});
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 20000));
  const DWORD start = GetTickCount();
  server_.Stop();
  const DWORD took = GetTickCount() - start;
  EXPECT_LT(took, 5000u) << "stopping waited for an idle client";
  EXPECT_FALSE(DevicePipeExists(kKeyA)) << "a device server outlived the stop";
  SetEvent(go.get());
  Lines out = idle.Finish();
  ASSERT_EQ(9u, out.size()) << Dump(out);
  EXPECT_EQ("recv ok 7 00b00000019000", out[4]);
  EXPECT_EQ(0u, out[8].find("recv fail")) << "the idle client's pipe was closed: " << out[8];
}

TEST_F(PipeServerTest, HostileMessagesGetTheirDefinedOutcomeAndServingGoesOn) {
  AddKey(kKeyA);
  Lines list = RunPipeClient({L"openlist",
                              L"send:",
                              L"recv",
                              L"openlist",
                              L"sendn:1:3",
                              L"recv",
                              L"sendn:4096:9",
                              L"recv",
                              L"send:4465766963654c69737441",
                              L"recv",
                              L"send:4465766963654c6973744100"
                              L"00",
                              L"recv",
                              L"send:444556494345"
                              L"4c49535441"
                              L"00",
                              L"recv",
                              L"sendn:4097:1",
                              L"recv",
                              L"openlist",
                              L"sendn:65536:2",
                              L"recv",
                              L"close",
                              L"list"});
  ASSERT_EQ(22u, list.size()) << Dump(list);
  EXPECT_EQ(0u, list[2].find("recv fail")) << "zero bytes end the connection";
  for (size_t i : {5u, 7u, 9u, 11u, 13u}) EXPECT_EQ("recv ok 6 4572726f7200", list[i]) << "line " << i;
  EXPECT_EQ(0u, list[15].find("recv fail")) << "4097 bytes end the connection";
  EXPECT_EQ(0u, list[18].find("recv fail")) << "64 KiB end the connection (the write may fail already)";
  EXPECT_EQ("list ok 1", list[20]);

  Lines device = RunPipeClient({L"list", L"devpipe:0", L"sendn:4097:1", L"recv", L"devpipe:0", L"sendn:65536:1",
                                L"recv", L"devpipe:0", L"send:", L"recv", L"devpipe:0", L"sendn:1:0", L"recv",
                                L"sendn:4096:5", L"recv", L"close", L"list"});
  ASSERT_EQ(19u, device.size()) << Dump(device);
  EXPECT_EQ(0u, device[4].find("recv fail")) << "4097 bytes end the connection";
  EXPECT_EQ(0u, device[7].find("recv fail")) << "64 KiB end the connection";
  EXPECT_EQ(0u, device[10].find("recv fail")) << "zero bytes end the connection";
  EXPECT_EQ("recv ok 3 009000", device[13]) << "a one-byte command is passed on";
  EXPECT_EQ("recv ok 4 10009000", device[15]) << "a 4096-byte command is passed on whole";
  EXPECT_EQ("list ok 1", device[17]);
}

// A key that does not answer holds its server's thread beyond every wait: the server is kept aside,
// never deleted under its thread, and its key gets no second server (two would interleave their
// clients' commands on the key) until that thread is back.
TEST_F(RegistryTest, KeyWhoseServerIsStuckGetsNoSecondServerUntilTheThreadEnds) {
  SimKey& a = AddKey(kKeyA);
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  a.StallNextReceive(release.get());
  List({kKeyA});
  PipeClient stuck({L"open:" + Wide(kKeyA + 4), L"xfer:00b0000010"});
  // Unplugging before the receive has stalled would fail it at once instead.
  for (int i = 0; i < 1000 && a.stats().stalled == 0; ++i) Sleep(20);
  ASSERT_EQ(1, a.stats().stalled);
  a.Unplug();
  List({});
  AddKey(kKeyB);
  SetEvent(interrupt_.get());  // the list server's stop: cuts the 60 s wait for A short
  List({kKeyB});
  ResetEvent(interrupt_.get());
  EXPECT_EQ(nullptr, ServerOf(kKeyA));
  EXPECT_TRUE(registry_.Retiring(Wide(kKeyA))) << "A's thread still runs: its server must be kept";

  a.Plug();
  registry_.MarkAll();
  EXPECT_FALSE(registry_.Ensure(kKeyA)) << "a key whose server is still stuck must not be listed";
  registry_.SweepMarked();
  EXPECT_EQ(nullptr, ServerOf(kKeyA)) << "a second server for A";
  EXPECT_FALSE(DevicePipeExists(kKeyA)) << "A's retired server offers a new instance";

  SetEvent(release.get());
  EXPECT_EQ(0u, stuck.Finish().at(2).find("recv fail")) << "the stuck command must fail, not answer";
  ASSERT_TRUE(testing_support::WaitUntil(10000, [&] { return !registry_.Retiring(Wide(kKeyA)); }));
  List({kKeyA, kKeyB});
  ASSERT_NE(nullptr, ServerOf(kKeyA)) << "once the thread has ended, the key gets a fresh server";
  Lines back = RunPipeClient({L"open:" + Wide(kKeyA + 4), L"xfer:00b0000002"});
  EXPECT_EQ("recv ok 7 00b00000029000", back.at(2));
}

BOOL WINAPI FailingConversion(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

// A null DACL would let anyone change the pipes' and the mutex's security: without its descriptors
// the list server serves nothing and closes the monitor's window, so that the service starts another.
TEST(ListServerSecurity, WithoutItsDescriptorsItServesNothingAndEndsTheMonitor) {
  testing_support::ImportPatch patch(GetModuleHandleW(nullptr), "advapi32.dll",
                                     "ConvertStringSecurityDescriptorToSecurityDescriptorW",
                                     reinterpret_cast<void*>(FailingConversion));
  ASSERT_TRUE(patch.applied());
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, window);
  if (ServiceStopEvent) ResetEvent(ServiceStopEvent);
  auto* server = new ListPipeServer;  // given up if its thread outlives the test, so a failure cannot crash
  server->Start(window);
  const bool ended = server->WaitForThread(10000);
  EXPECT_TRUE(ended) << "the list server went on without its descriptors";
  EXPECT_FALSE(WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 100)) << "the list pipe was made without them";
  MSG message;
  EXPECT_TRUE(PeekMessageW(&message, window, WM_CLOSE, WM_CLOSE, PM_REMOVE)) << "the monitor was not told to end";
  if (server->Stop()) delete server;
  DestroyWindow(window);
}

// Without events a server runs in blocking mode: no event reaches its thread, so a stop takes the
// instance it blocks on, and the stop request keeps it from making another.
class BlockingEchoServer : public PipeServer {
 public:
  explicit BlockingEchoServer(const std::wstring& name) : name_(name) { pipeName_ = name_.c_str(); }
  DWORD ProcessRequest(const uint8_t* request, DWORD requestLength, uint8_t* reply, DWORD* replyLength) override {
    memcpy(reply, request, requestLength);
    *replyLength = requestLength;
    return 0;
  }

 private:
  std::wstring name_;
};

TEST(BlockingPipeServer, ServesAndStopsWaitingForAClientOrServingOne) {
  // On the heap, and given up if a thread outlives the test, so that a failure cannot crash.
  auto* waiting = new BlockingEchoServer(PipeName(L"BlockingEcho"));
  ASSERT_TRUE(waiting->StartThread());
  ASSERT_TRUE(WaitForPipe(PipeName(L"BlockingEcho"), 5000));
  Lines out = RunPipeClient({L"open:BlockingEcho", L"xfer:0102", L"xfer:", L"close"});
  EXPECT_EQ("recv ok 2 0102", out.at(2)) << Dump(out);
  EXPECT_EQ(0u, out.at(4).find("recv fail")) << "a zero-byte message ends the connection";
  ASSERT_TRUE(WaitForPipe(PipeName(L"BlockingEcho"), 5000)) << "the next instance is offered";
  const bool waitingStopped = waiting->Stop(100, 5000);
  EXPECT_TRUE(waitingStopped) << "a server waiting for a client must stop";
  if (waitingStopped) delete waiting;

  auto* serving = new BlockingEchoServer(PipeName(L"BlockingEchoServing"));
  ASSERT_TRUE(serving->StartThread());
  UniqueHandle idle(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestBlockingIdle"));
  UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestBlockingGo"));
  PipeClient client({L"open:BlockingEchoServing", L"xfer:01", L"signal:TamsuTestBlockingIdle",
                     L"wait:TamsuTestBlockingGo", L"xfer:02"});
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(idle.get(), 20000));  // the server blocks in its read
  const bool servingStopped = serving->Stop(100, 5000);
  EXPECT_TRUE(servingStopped) << "a server blocked on an idle client must stop";
  EXPECT_FALSE(WaitNamedPipeW(PipeName(L"BlockingEchoServing").c_str(), 100)) << "an instance was made after the stop";
  SetEvent(go.get());
  Lines served = client.Finish();
  ASSERT_FALSE(served.empty());
  EXPECT_EQ(0u, served.back().find("recv fail")) << "the idle client's connection must end:" << Dump(served);
  if (servingStopped) delete serving;

  // A stop requested while a client is served, the instance left in place: once the client goes,
  // the thread waits for no other client and ends on its own.
  auto* asked = new BlockingEchoServer(PipeName(L"BlockingEchoAsked"));
  ASSERT_TRUE(asked->StartThread());
  UniqueHandle askedIdle(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestAskedIdle"));
  UniqueHandle askedGo(CreateEventW(nullptr, TRUE, FALSE, L"TamsuTestAskedGo"));
  PipeClient leaving({L"open:BlockingEchoAsked", L"xfer:01", L"signal:TamsuTestAskedIdle", L"wait:TamsuTestAskedGo",
                      L"close"});
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(askedIdle.get(), 20000));
  asked->RequestStop();
  SetEvent(askedGo.get());
  leaving.Finish();
  const bool askedEnded = asked->WaitForThread(5000);
  EXPECT_TRUE(askedEnded) << "the server went on waiting for clients after its stop";
  EXPECT_FALSE(WaitNamedPipeW(PipeName(L"BlockingEchoAsked").c_str(), 100)) << "a client was offered the pipe after the stop";
  if (askedEnded || asked->Stop(100, 5000)) delete asked;
}

}  // namespace
}  // namespace tamsu
