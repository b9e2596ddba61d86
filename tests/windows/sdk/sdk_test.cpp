// The client library as shipped (dist/sdk/x86/TamsuClient.dll), as a client program uses it: against
// the monitor's servers with simulated keys running here, against pipes that break the protocol,
// against TamsuKeySim, and from a 64-bit program. ctest runs each test in a process of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "process/child_process.h"
#include "process/import_patch.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"
#include "tamsu_client.h"

namespace tamsu {
namespace {

// The servers here are this test program's own or stand-ins, which the library refuses unless the
// process allows any server (set before its first connection, when it reads the setting).
const bool g_anyServerAllowed = SetEnvironmentVariableW(L"TAMSU_ALLOW_ANY_SERVER", L"1") != FALSE;

using sim::Bytes;
using sim::SimKey;
using sim::SimKeyBus;
using testing_support::ChildProcess;
using testing_support::DistPath;
using testing_support::ImportPatch;

const char kKeyA[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#a#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const char kKeyB[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#b#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const char kKeyC[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#c#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const char kKeyD[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#d#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const char kFakeKey[] = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#fake#1";
const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string List(std::initializer_list<std::string> paths) {
  std::string list;
  for (const std::string& path : paths) list += path + '\0';
  return list + '\0';
}

// Bytes moved by one call, and its result.
struct Sent {
  LONG result;
  DWORD length;
  Bytes answer;
};
Sent Send(TAMSU_KEY key, const Bytes& command, DWORD capacity = 4096, DWORD timeoutMs = 10000) {
  Sent sent{0, capacity, Bytes(capacity + 16, 0xEE)};
  sent.result = TamsuTransmit(key, command.data(), static_cast<DWORD>(command.size()), sent.answer.data(),
                              &sent.length, timeoutMs);
  return sent;
}

// The monitor's list and device servers, here, over simulated keys.
class SdkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServiceStopEvent) ResetEvent(ServiceStopEvent);
    server_.Start(nullptr);
    ASSERT_TRUE(testing_support::WaitUntil(5000, [] { return WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 20); }));
  }
  void TearDown() override {
    for (TAMSU_KEY key : keys_) TamsuDisconnect(key);
    server_.Stop();
    SimKeyBus::Instance().Reset();
  }
  static SimKey& AddKey(const char* path, sim::Responder responder = sim::Echo()) {
    SimKey& key = SimKeyBus::Instance().Add(path);
    key.SetResponder(responder);
    return key;
  }
  TAMSU_KEY Connect(const char* path, DWORD timeoutMs = 5000) {
    TAMSU_KEY key = nullptr;
    EXPECT_EQ(TAMSU_S_SUCCESS, TamsuConnect(path, timeoutMs, &key)) << path;
    if (key) keys_.push_back(key);
    return key;
  }
  void Disconnect(TAMSU_KEY key) {
    keys_.erase(std::remove(keys_.begin(), keys_.end(), key), keys_.end());
    EXPECT_EQ(TAMSU_S_SUCCESS, TamsuDisconnect(key));
  }

  ListPipeServer server_;
  std::vector<TAMSU_KEY> keys_;
};

// The tests with the monitor's servers, named after the function they are about.
using ListKeysServed = SdkTest;
using ConnectServed = SdkTest;
using TransmitServed = SdkTest;
using Win64Served = SdkTest;

// A pipe that the monitor would never serve like this: each message gets the next reply of the
// script, the last one repeated; a reply of nullopt drops the connection instead. Replies may be
// longer than any the monitor writes. Blocking mode: Stop() wakes what waits.
class FakeServer final : public PipeServer {
 public:
  FakeServer(std::wstring name, std::vector<std::optional<std::string>> replies)
      : name_(std::move(name)), replies_(std::move(replies)) {
    pipeName_ = name_.c_str();
  }
  ~FakeServer() override { Stop(50, 5000); }
  // Starts serving; true once the pipe exists (a client may hold it already).
  bool Serve() {
    return StartThread() && testing_support::WaitUntil(5000, [this] {
             return WaitNamedPipeW(pipeName_, 20) || GetLastError() != ERROR_FILE_NOT_FOUND;
           });
  }
  DWORD ServeClient(HANDLE pipe) override {
    static char request[8192];
    DWORD read = 0, written = 0;
    while (ReadFile(pipe, request, sizeof request, &read, nullptr) && read > 0) {
      const std::optional<std::string>& reply = replies_[std::min(next_++, replies_.size() - 1)];
      if (!reply || !WriteFile(pipe, reply->data(), static_cast<DWORD>(reply->size()), &written, nullptr)) break;
    }
    DisconnectNamedPipe(pipe);
    return 0;
  }
  DWORD ProcessRequest(const uint8_t*, DWORD, uint8_t*, DWORD*) override { return 1; }
  size_t requests() const { return next_; }

 private:
  std::wstring name_;
  std::vector<std::optional<std::string>> replies_;
  size_t next_ = 0;
};

std::wstring FakeKeyPipe() { return DevicePipeName(Wide(kFakeKey)); }

// ---------------------------------------------------------------------------------------------
// TamsuListKeys

TEST(ListKeys, NoMonitorIsNoService) {
  DWORD length = 4096;
  char paths[4096];
  EXPECT_EQ(TAMSU_E_NO_SERVICE, TamsuListKeys(paths, &length));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuListKeys(paths, nullptr));
}

TEST_F(ListKeysServed, LengthsAndBuffers) {
  DWORD length = 4096;
  char paths[4096];
  EXPECT_EQ(TAMSU_E_NO_READERS_AVAILABLE, TamsuListKeys(paths, &length));
  AddKey(kKeyA);
  AddKey(kKeyB);
  const std::string expected = List({kKeyA, kKeyB});

  length = 0;
  EXPECT_EQ(TAMSU_S_SUCCESS, TamsuListKeys(nullptr, &length)) << "NULL asks for the length";
  EXPECT_EQ(expected.size(), length);
  std::string small(expected.size() - 1, 'x');
  length = static_cast<DWORD>(small.size());
  EXPECT_EQ(TAMSU_E_INSUFFICIENT_BUFFER, TamsuListKeys(&small[0], &length));
  EXPECT_EQ(expected.size(), length);
  EXPECT_EQ(std::string(small.size(), 'x'), small) << "a buffer too small is left as it was";
  std::string exact(expected.size(), 'x');
  EXPECT_EQ(TAMSU_S_SUCCESS, TamsuListKeys(&exact[0], &length));
  EXPECT_EQ(expected, exact);
}

TEST(ListKeys, RepliesOutsideTheProtocolAreCommErrors) {
  const std::string ok = List({kFakeKey});
  FakeServer list(PipeName(kListNameArgument),
                  {std::string("Error", 6), std::string("abc\0", 4), std::string("abc", 3), std::string(),
                   std::string("\0\0", 2), ok + "x", std::string(5000, 'a'), std::nullopt, ok});
  ASSERT_TRUE(list.Serve());
  const char* what[] = {"Error",       "a path without the final zero", "no zero at all", "an empty message",
                        "an empty path", "bytes after the list",        "5000 bytes",     "a dropped connection"};
  for (const char* reply : what) {
    char paths[4096];
    DWORD length = sizeof paths;
    EXPECT_EQ(TAMSU_F_COMM_ERROR, TamsuListKeys(paths, &length)) << reply;
  }
  char paths[4096];
  DWORD length = sizeof paths;
  ASSERT_EQ(TAMSU_S_SUCCESS, TamsuListKeys(paths, &length)) << "the list pipe is still used afterwards";
  EXPECT_EQ(ok, std::string(paths, length));
}

// ---------------------------------------------------------------------------------------------
// TamsuConnect

TEST_F(ConnectServed, EitherPathFormAndRefusals) {
  AddKey(kKeyA);
  // Nobody has listed yet, so the key's server does not exist: connecting must list first.
  TAMSU_KEY key = Connect(kKeyA, 0);
  ASSERT_NE(nullptr, key);
  const Sent sent = Send(key, kSelect);
  EXPECT_EQ(sim::Echo()(kSelect), Bytes(sent.answer.begin(), sent.answer.begin() + sent.length));
  Disconnect(key);
  EXPECT_NE(nullptr, Connect(kKeyA + 4)) << "the path without its \\\\?\\ prefix";

  TAMSU_KEY none = reinterpret_cast<TAMSU_KEY>(1);
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuConnect(nullptr, 0, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuConnect(kKeyA, 0, nullptr));
  const std::string tooLong = std::string("\\\\?\\") + std::string(5000, 'k');
  // Windows drops a name's trailing dots and spaces: these would all name the list pipe.
  for (const std::string& path :
       {std::string(kKeyB), std::string(""), std::string("\\\\?\\List"), std::string("List."), std::string("LIST.."),
        std::string("\\\\?\\list. "), std::string("\\\\?\\x\\..\\..\\..\\C:\\windows\\win.ini"), tooLong}) {
    const DWORD start = GetTickCount();
    none = reinterpret_cast<TAMSU_KEY>(1);
    EXPECT_EQ(TAMSU_E_UNKNOWN_READER, TamsuConnect(path.c_str(), 3000, &none)) << path.substr(0, 60);
    EXPECT_EQ(nullptr, none);
    EXPECT_LT(GetTickCount() - start, 2000u) << "an unlisted key is not waited for: " << path.substr(0, 60);
  }
}

TEST_F(ConnectServed, BusyKeyIsWaitedForThenASharingViolation) {
  AddKey(kKeyA);
  TAMSU_KEY holder = Connect(kKeyA);
  TAMSU_KEY second = nullptr;
  DWORD start = GetTickCount();
  EXPECT_EQ(TAMSU_E_SHARING_VIOLATION, TamsuConnect(kKeyA, 400, &second));
  EXPECT_GE(GetTickCount() - start, 350u) << "the whole time-out was waited";

  // Released during the wait: the waiting client gets the key.
  LONG waited = -1;
  std::thread waiter([&] { waited = TamsuConnect(kKeyA, 10000, &second); });
  Sleep(300);
  start = GetTickCount();
  Disconnect(holder);
  waiter.join();
  ASSERT_EQ(TAMSU_S_SUCCESS, waited);
  keys_.push_back(second);
  EXPECT_LT(GetTickCount() - start, 5000u);
  EXPECT_EQ(TAMSU_S_SUCCESS, Send(second, kSelect).result);
}

TEST_F(ConnectServed, ListPipeHeldByAnotherClientIsWaitedForOnlyWithinTheTimeOut) {
  AddKey(kKeyA);  // its pipe comes with the first list
  UniqueFileHandle holder(CreateFileW(PipeName(kListNameArgument).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.valid()) << GetLastError();
  TAMSU_KEY key = nullptr;
  const DWORD start = GetTickCount();
  EXPECT_EQ(TAMSU_E_TIMEOUT, TamsuConnect(kKeyA, 300, &key));
  EXPECT_LT(GetTickCount() - start, 3000u) << "the busy list pipe was waited for past the time-out";
}

std::vector<DWORD> g_openFlags;
HANDLE WINAPI CreateFileRecorded(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* attributes,
                                 DWORD disposition, DWORD flags, HANDLE model) {
  g_openFlags.push_back(flags);
  return CreateFileW(name, access, share, attributes, disposition, flags, model);
}

TEST_F(ConnectServed, PipesAreOpenedForIdentificationOnly) {
  AddKey(kKeyA);
  ImportPatch recorder(GetModuleHandleW(L"TamsuClient.dll"), "KERNEL32.dll", "CreateFileW",
                       reinterpret_cast<void*>(&CreateFileRecorded));
  ASSERT_TRUE(recorder.applied());
  ASSERT_NE(nullptr, Connect(kKeyA));
  ASSERT_LE(2u, g_openFlags.size()) << "the list pipe, then the key's";
  const DWORD level = SECURITY_SQOS_PRESENT | SECURITY_DELEGATION;  // the flag and the level's two bits
  for (DWORD flags : g_openFlags) EXPECT_EQ(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, flags & level);
}

TEST(Connect, ListedKeyWithoutAPipeYetIsWaitedFor) {
  FakeServer list(PipeName(kListNameArgument), {List({kFakeKey})});
  ASSERT_TRUE(list.Serve());
  TAMSU_KEY key = nullptr;
  DWORD start = GetTickCount();
  EXPECT_EQ(TAMSU_E_UNKNOWN_READER, TamsuConnect(kFakeKey, 300, &key)) << "listed, but no pipe ever came";
  EXPECT_GE(GetTickCount() - start, 280u);

  FakeServer device(FakeKeyPipe(), {std::string("\x90\x00", 2)});
  std::thread late([&] {
    Sleep(400);
    device.Serve();
  });
  start = GetTickCount();
  const LONG result = TamsuConnect(kFakeKey, 10000, &key);
  const DWORD waited = GetTickCount() - start;
  late.join();
  ASSERT_EQ(TAMSU_S_SUCCESS, result);
  EXPECT_GE(waited, 350u);
  EXPECT_LT(waited, 3000u) << "taken as soon as it came";
  const Sent sent = Send(key, kSelect);
  EXPECT_EQ(TAMSU_S_SUCCESS, sent.result);
  EXPECT_EQ(2u, sent.length);
  TamsuDisconnect(key);
}

// ---------------------------------------------------------------------------------------------
// TamsuTransmit

TEST_F(TransmitServed, ArgumentsAndLimits) {
  // Commands longer than 64 bytes are answered with their length; the rest are echoed.
  AddKey(kKeyA, [](const Bytes& c) {
    return c.size() > 64 ? Bytes{static_cast<uint8_t>(c.size() >> 8), static_cast<uint8_t>(c.size()), 0x90, 0}
                         : sim::Echo()(c);
  });
  TAMSU_KEY key = Connect(kKeyA);
  BYTE answer[16];
  DWORD length = sizeof answer;
  const Bytes longest(TAMSU_MAX_COMMAND, 0x11);
  const Bytes tooLong(TAMSU_MAX_COMMAND + 1, 0x11);
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuTransmit(key, kSelect.data(), 0, answer, &length, 1000));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuTransmit(key, tooLong.data(), 4097, answer, &length, 1000));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuTransmit(nullptr, kSelect.data(), 7, answer, &length, 1000));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuTransmit(key, nullptr, 7, answer, &length, 1000));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuTransmit(key, kSelect.data(), 7, answer, nullptr, 1000));
  EXPECT_EQ(TAMSU_E_INVALID_PARAMETER, TamsuDisconnect(nullptr));
  const Sent sent = Send(key, longest);
  ASSERT_EQ(TAMSU_S_SUCCESS, sent.result) << "the refusals left the connection usable";
  EXPECT_EQ((Bytes{0x10, 0x00, 0x90, 0x00}), Bytes(sent.answer.begin(), sent.answer.begin() + sent.length));
}

TEST_F(TransmitServed, AnswerTooLongForTheBufferIsKeptForTheNextCall) {
  SimKey& simKey = AddKey(kKeyA, sim::FixedLength(300));
  TAMSU_KEY key = Connect(kKeyA);
  Sent small = Send(key, kSelect, 10);
  EXPECT_EQ(TAMSU_E_INSUFFICIENT_BUFFER, small.result);
  EXPECT_EQ(300u, small.length);
  EXPECT_EQ(Bytes(26, 0xEE), small.answer) << "nothing is written to a buffer too small";
  DWORD length = 0;
  EXPECT_EQ(TAMSU_E_INSUFFICIENT_BUFFER, TamsuTransmit(key, kSelect.data(), 7, nullptr, &length, 1000));
  EXPECT_EQ(300u, length) << "a NULL answer asks for the length";
  const Sent full = Send(key, kSelect, 300);
  ASSERT_EQ(TAMSU_S_SUCCESS, full.result);
  EXPECT_EQ(1, simKey.stats().sends) << "the kept answer is not sent for again";
  EXPECT_EQ(sim::FixedLength(300)(kSelect), Bytes(full.answer.begin(), full.answer.begin() + full.length));
  EXPECT_EQ(0xEE, full.answer[300]) << "nothing beyond the answer";

  // Delivered once: the same command again is sent again; and a kept answer is never given to
  // another command, not even one of the same length.
  EXPECT_EQ(TAMSU_S_SUCCESS, Send(key, kSelect, 300).result);
  EXPECT_EQ(2, simKey.stats().sends);
  EXPECT_EQ(TAMSU_E_INSUFFICIENT_BUFFER, Send(key, kSelect, 10).result);
  simKey.SetResponder(sim::Echo());
  const Bytes other = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x01};
  const Sent next = Send(key, other, 300);
  ASSERT_EQ(TAMSU_S_SUCCESS, next.result);
  EXPECT_EQ(4, simKey.stats().sends);
  EXPECT_EQ(sim::Echo()(other), Bytes(next.answer.begin(), next.answer.begin() + next.length));
}

TEST_F(TransmitServed, FailedCommandsAreRemovedCardsAndCloseTheConnection) {
  SimKey& simKey = AddKey(kKeyA);
  TAMSU_KEY key = Connect(kKeyA);
  simKey.FailNextSend(0x02);
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result) << "a SCSI error on the key";
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result) << "the connection stays closed";
  EXPECT_EQ(1, simKey.stats().sends) << "nothing is sent on a closed connection";
  Disconnect(key);

  key = Connect(kKeyA);
  EXPECT_EQ(TAMSU_S_SUCCESS, Send(key, kSelect).result) << "a new connection serves again";
  simKey.UnplugDuringNextCommand();
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result) << "the key unplugged mid-command";
  char paths[4096];
  DWORD length = sizeof paths;
  EXPECT_EQ(TAMSU_E_NO_READERS_AVAILABLE, TamsuListKeys(paths, &length));
}

BOOL WINAPI CancelNothing(HANDLE) { return TRUE; }

TEST_F(TransmitServed, NoAnswerInTimeClosesTheConnection) {
  SimKey& simKey = AddKey(kKeyA);
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  TAMSU_KEY key = Connect(kKeyA);
  simKey.StallNextReceive(release.get());
  const DWORD start = GetTickCount();
  {
    // Cancelling does nothing here, so closing the handle must end the read, and soon.
    ImportPatch noCancel(GetModuleHandleW(L"TamsuClient.dll"), "KERNEL32.dll", "CancelIo",
                         reinterpret_cast<void*>(&CancelNothing));
    ASSERT_TRUE(noCancel.applied());
    EXPECT_EQ(TAMSU_E_TIMEOUT, Send(key, kSelect, 4096, 400).result);
  }
  const DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 380u);
  EXPECT_LT(waited, 3000u);
  SetEvent(release.get());  // the late answer goes to a connection that is closed
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result);
  Disconnect(key);

  key = Connect(kKeyA);
  const Bytes other = {0x00, 0xB0, 0x00, 0x00, 0x02};
  const Sent next = Send(key, other);
  ASSERT_EQ(TAMSU_S_SUCCESS, next.result);
  EXPECT_EQ(sim::Echo()(other), Bytes(next.answer.begin(), next.answer.begin() + next.length))
      << "the stalled command's answer must never be taken for the next one's";
}

TEST(Transmit, AnswerLongerThanTheProtocolAllowsIsACommError) {
  FakeServer device(FakeKeyPipe(), {std::string(5000, 'a'), std::string("\x90\x00", 2)});
  ASSERT_TRUE(device.Serve());
  TAMSU_KEY key = nullptr;
  ASSERT_EQ(TAMSU_S_SUCCESS, TamsuConnect(kFakeKey, 5000, &key));
  const Sent sent = Send(key, kSelect, 8192);
  EXPECT_EQ(TAMSU_F_COMM_ERROR, sent.result);
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result) << "the connection is closed";
  EXPECT_EQ(Bytes(8192 + 16, 0xEE), sent.answer);
  TamsuDisconnect(key);
}

TEST_F(TransmitServed, KeysOnThreadsOfTheirOwn) {
  AddKey(kKeyA);
  AddKey(kKeyB);
  TAMSU_KEY keys[2] = {Connect(kKeyA), Connect(kKeyB)};
  int wrong[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 2; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < 40; ++i) {
        const Bytes command = {0x80, static_cast<uint8_t>(k), static_cast<uint8_t>(i), 0x00, 0x00};
        const Sent sent = Send(keys[k], command);
        if (sent.result != TAMSU_S_SUCCESS || Bytes(sent.answer.begin(), sent.answer.begin() + sent.length) !=
                                                   sim::Echo()(command)) {
          ++wrong[k];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong[0]);
  EXPECT_EQ(0, wrong[1]);
}

// ---------------------------------------------------------------------------------------------
// The library itself: what a program that loads it by name finds, and the texts.

TEST(ClientLibrary, UndecoratedExportsAndATextForEveryCode) {
  HMODULE library = GetModuleHandleW(L"TamsuClient.dll");
  ASSERT_NE(nullptr, library);
  for (const char* name : {"TamsuListKeys", "TamsuConnect", "TamsuTransmit", "TamsuDisconnect", "TamsuErrorText"}) {
    EXPECT_NE(nullptr, GetProcAddress(library, name)) << name;
  }
  EXPECT_EQ(nullptr, GetProcAddress(library, "TamsuTransmit@24"));
  const LONG codes[] = {TAMSU_S_SUCCESS,         TAMSU_E_INVALID_PARAMETER, TAMSU_E_NO_MEMORY,
                        TAMSU_E_INSUFFICIENT_BUFFER, TAMSU_E_UNKNOWN_READER, TAMSU_E_TIMEOUT,
                        TAMSU_E_SHARING_VIOLATION, TAMSU_F_COMM_ERROR,       TAMSU_E_NO_SERVICE,
                        TAMSU_E_NO_READERS_AVAILABLE, TAMSU_W_REMOVED_CARD};
  std::map<std::string, LONG> texts;
  for (LONG code : codes) texts[TamsuErrorText(code)] = code;
  EXPECT_EQ(sizeof codes / sizeof codes[0], texts.size()) << "each code has a text of its own";
  ASSERT_NE(nullptr, TamsuErrorText(0x12345678));
  EXPECT_EQ(0u, texts.count(TamsuErrorText(0x12345678)));
}

// ---------------------------------------------------------------------------------------------
// TamsuKeySim, as a client developer runs it.

TEST(KeySimClient, ListSendAndAKeyUnpluggedMidCommand) {
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"TamsuSdkTestKeySimStop"));
  ChildProcess sim;
  ASSERT_TRUE(sim.Start(DistPath(L"tools\\TamsuKeySim.exe"),
                        {L"--keys", L"2", L"--unplug-after", L"1", L"--stop-event", L"TamsuSdkTestKeySimStop"}));
  char paths[4096];
  DWORD length = 0;
  ASSERT_TRUE(testing_support::WaitUntil(10000, [&] {
    length = sizeof paths;
    return TamsuListKeys(paths, &length) == TAMSU_S_SUCCESS;
  }));
  const std::string second = paths + std::string(paths).size() + 1;
  ASSERT_FALSE(second.empty()) << "two keys listed";
  TAMSU_KEY key = nullptr;
  ASSERT_EQ(TAMSU_S_SUCCESS, TamsuConnect(second.c_str(), 5000, &key));
  const Sent first = Send(key, kSelect);
  EXPECT_EQ(TAMSU_S_SUCCESS, first.result);
  EXPECT_EQ(sim::Echo()(kSelect), Bytes(first.answer.begin(), first.answer.begin() + first.length));
  EXPECT_EQ(TAMSU_W_REMOVED_CARD, Send(key, kSelect).result);
  TamsuDisconnect(key);
  length = sizeof paths;
  EXPECT_EQ(TAMSU_S_SUCCESS, TamsuListKeys(paths, &length));
  EXPECT_EQ(std::string::npos, std::string(paths, length).find(second)) << "the unplugged key is no longer listed";
  SetEvent(stop.get());
  DWORD code = 0xBAD;
  EXPECT_TRUE(sim.Wait(20000, &code));
}

// ---------------------------------------------------------------------------------------------
// The 64-bit library, from the 64-bit driver built in the win64 tree (tests/windows/sdk/sdk_driver.c).

std::map<std::string, std::string> RunDriver64(const std::vector<std::wstring>& steps) {
  std::wstring program = L"Z:";
  for (char c : std::string(TAMSU_WIN64_BUILD_DIR "/tests/windows/sdk/sdk_driver64.exe")) {
    program += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  }
  const std::wstring output = testing_support::TemporaryFileName(L"d64");
  std::vector<std::wstring> arguments{output};
  arguments.insert(arguments.end(), steps.begin(), steps.end());
  ChildProcess driver;
  DWORD code = 0xBAD;
  EXPECT_TRUE(driver.Start(program, arguments)) << "build/win64 is made by scripts/build.sh";
  EXPECT_TRUE(driver.Wait(60000, &code));
  EXPECT_EQ(0u, code);
  std::map<std::string, std::string> lines = testing_support::ReadResultLines(output);
  DeleteFileW(output.c_str());
  return lines;
}

TEST_F(Win64Served, EveryResultFromA64BitProgram) {
  AddKey(kKeyA, sim::FixedLength(20));
  AddKey(kKeyB).UnplugDuringNextCommand();
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  AddKey(kKeyC).StallNextReceive(release.get());
  AddKey(kKeyD);
  Connect(kKeyD);  // held here for the whole run
  auto out = RunDriver64({L"nulls", L"list", L"connect:0:\\\\?\\nokey", L"connect:300:" + Wide(kKeyD),
                          L"connect:5000:" + Wide(kKeyA + 4), L"send:10:5000:00a4040000", L"send:20:5000:00a4040000",
                          L"close", L"connect:5000:" + Wide(kKeyB), L"send:300:5000:00a4040000", L"close",
                          L"connect:5000:" + Wide(kKeyC), L"send:300:300:00a4040000", L"send:300:300:00a4040000"});
  SetEvent(release.get());
  const std::string list = List({kKeyA, kKeyB, kKeyC, kKeyD});
  const std::vector<std::string> expected = {
      "nulls 0x80100004 0x80100004 0x80100004 0x80100004 0x80100004",
      "list 0x00000000 " + std::to_string(list.size()) + " " + kKeyA + " " + kKeyB + " " + kKeyC + " " + kKeyD,
      "connect 0x80100009", "connect 0x8010000B", "connect 0x00000000", "send 0x80100008 20 ",
      "send 0x00000000 20 000102030405060708090a0b0c0d0e0f10119000", "close 0x00000000", "connect 0x00000000",
      "send 0x80100069 300 ", "close 0x00000000", "connect 0x00000000", "send 0x8010000A 300 ", "send 0x80100069 300 "};
  ASSERT_EQ(expected.size(), out.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], out[std::to_string(i + 1)]) << "step " << i + 1;
}

// The service as installed (sim_service\TamsuSerB.exe, with simulated keys) while a stranger here
// holds the pipe name of a key the service does not serve: both libraries take the service and send
// nothing to the stranger, although this program and the driver allow any server.
TEST(Connect, TheRunningServiceIsTakenAndAStrangerNeverEvenWithTheDevelopersSetting) {
  ASSERT_TRUE(g_anyServerAllowed);
  FakeServer stranger(FakeKeyPipe(), {std::string("\x90\x00", 2)});
  ASSERT_TRUE(stranger.Serve());
  ASSERT_TRUE(testing_support::WriteSimKeys({kKeyA}));
  struct Installed {
    ~Installed() {
      testing_support::RunProgram(testing_support::SimService(), {L"-k", L"-u"});
      testing_support::KillProcessesNamed(L"TamsuSerB.exe");
    }
  } installed;
  ASSERT_EQ(0u, testing_support::RunProgram(testing_support::SimService(), {L"-i", L"-s"}));
  DWORD length = 0;
  ASSERT_TRUE(testing_support::WaitUntil(15000, [&] { return TamsuListKeys(nullptr, &length) == TAMSU_S_SUCCESS; }))
      << "the service's monitor is not taken";
  TAMSU_KEY key = nullptr;
  EXPECT_EQ(TAMSU_E_NO_SERVICE, TamsuConnect(kFakeKey, 2000, &key));
  EXPECT_STREQ("The pipe's server is not the Tamsu service; nothing was sent to it.",
               TamsuErrorText(TAMSU_E_NO_SERVICE));
  ASSERT_EQ(TAMSU_S_SUCCESS, TamsuConnect(kKeyA, 5000, &key)) << "the genuine service, for another key";
  EXPECT_EQ(TAMSU_S_SUCCESS, Send(key, kSelect).result);
  TamsuDisconnect(key);
  auto out = RunDriver64({L"connect:2000:" + Wide(kFakeKey), L"connect:5000:" + Wide(kKeyA), L"send:4096:5000:00a404"});
  EXPECT_EQ("connect 0x8010001D", out["1"]);
  EXPECT_EQ("connect 0x00000000", out["2"]);
  EXPECT_EQ(0u, out["3"].rfind("send 0x00000000", 0)) << out["3"];
  EXPECT_EQ(0u, stranger.requests()) << "a command reached a server that is not the service";
}

}  // namespace
}  // namespace tamsu
