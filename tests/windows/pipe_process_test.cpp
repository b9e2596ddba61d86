// List servers in separate monitor-like processes (monitor_host.exe), and the security of what
// they create: the machine-wide mutex decides which process serves.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"

#ifndef LABEL_SECURITY_INFORMATION
#define LABEL_SECURITY_INFORMATION 0x00000010L
#endif
#ifndef SYSTEM_MANDATORY_LABEL_ACE_TYPE
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE 0x11
#endif

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::MonitorHost;
using testing_support::RunPipeClient;

const wchar_t kKeyPathFormat[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#";

// The one key of a monitor host, its path ending in the tag, so that a list shows which host serves.
std::vector<std::wstring> TaggedKey(const wchar_t* tag) { return {kKeyPathFormat + std::wstring(tag)}; }

// The tag of the host that answers the list pipe now, or "" when none answers in time.
std::string ServingTag(DWORD timeoutMs) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
    std::vector<std::string> out = RunPipeClient({L"list"});
    if (out.size() == 2 && out[0] == "list ok 1") return out[1].substr(out[1].rfind('#') + 1);
    Sleep(100);
  }
  return "";
}

TEST(ServiceMutex, SecondMonitorWaitsAndServesWhenTheFirstLetsGo) {
  MonitorHost first(TaggedKey(L"one"));
  ASSERT_EQ("one", ServingTag(10000));
  MonitorHost second(TaggedKey(L"two"));
  Sleep(500);
  EXPECT_EQ("one", ServingTag(0)) << "the second monitor must wait for the mutex";
  first.RequestStop();
  DWORD code = 1;
  EXPECT_TRUE(first.process().Wait(10000, &code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ("two", ServingTag(10000));
  second.RequestStop();
  EXPECT_TRUE(second.process().Wait(10000));
}

TEST(ServiceMutex, KilledMonitorsMutexIsTakenOverAndServed) {
  MonitorHost first(TaggedKey(L"one"));
  ASSERT_EQ("one", ServingTag(10000));
  MonitorHost second(TaggedKey(L"two"));
  Sleep(500);
  first.process().Kill();  // dies holding the mutex: the waiter gets it abandoned
  EXPECT_EQ("two", ServingTag(10000));
  second.RequestStop();
  EXPECT_TRUE(second.process().Wait(10000));
}

TEST(ServiceMutex, WaitingMonitorEndsOnItsOwnStop) {
  MonitorHost first(TaggedKey(L"one"));
  ASSERT_EQ("one", ServingTag(10000));
  MonitorHost second(TaggedKey(L"two"));
  Sleep(500);
  second.RequestStop();
  DWORD code = 1;
  EXPECT_TRUE(second.process().Wait(10000, &code)) << "a stop must end the mutex wait";
  EXPECT_EQ(0u, code);
  EXPECT_EQ("one", ServingTag(0));
  first.RequestStop();
  EXPECT_TRUE(first.process().Wait(10000));
}

// The access an ACE grants, generic rights mapped as for a pipe (the system may store either).
ACCESS_MASK Granted(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

PSID WellKnown(WELL_KNOWN_SID_TYPE type, std::vector<BYTE>* storage) {
  storage->resize(SECURITY_MAX_SID_SIZE);
  DWORD size = SECURITY_MAX_SID_SIZE;
  return CreateWellKnownSid(type, nullptr, storage->data(), &size) ? storage->data() : nullptr;
}

// Everyone may read and write a pipe and no more (`everyone`); LocalSystem, Administrators and
// the serving process's own user (here the test's) may do anything. The low label from 6 on.
void ExpectServiceSecurity(HANDLE object, bool everyone) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  PACL dacl = nullptr;
  PACL sacl = nullptr;
  const SECURITY_INFORMATION what = StartupOsVersion().dwMajorVersion >= 6
                                        ? DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION
                                        : DACL_SECURITY_INFORMATION;
  ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(object, SE_KERNEL_OBJECT, what, nullptr, nullptr, &dacl, &sacl, &raw));
  UniqueLocalMemory descriptor(raw);
  ASSERT_NE(nullptr, dacl) << "a null DACL lets anyone change the object's security";
  std::vector<BYTE> world, system, admins, user(256);
  HANDLE token = nullptr;
  DWORD size = 0;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size));
  CloseHandle(token);
  struct Expected {
    PSID sid;
    bool full;
  };
  std::vector<Expected> expected = {{WellKnown(WinLocalSystemSid, &system), true},
                                    {WellKnown(WinBuiltinAdministratorsSid, &admins), true}};
  if (everyone) {
    expected.push_back({WellKnown(WinWorldSid, &world), false});
    expected.push_back({reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, true});
  }
  ASSERT_EQ(expected.size(), dacl->AceCount);
  const ACCESS_MASK owners = WRITE_DAC | WRITE_OWNER | DELETE;
  for (const Expected& want : expected) {
    bool found = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
      if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || !EqualSid(&ace->SidStart, want.sid)) continue;
      found = true;
      const ACCESS_MASK granted = Granted(ace->Mask);
      if (want.full) {
        EXPECT_EQ(owners, granted & owners) << "ACE " << i << ": no full access";
      } else {
        EXPECT_EQ(0u, granted & owners) << "everyone may change or delete it";
        EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE), granted) << "clients cannot open it";
      }
    }
    EXPECT_TRUE(found) << "an expected ACE is missing";
  }
  if (StartupOsVersion().dwMajorVersion < 6) return;
  ASSERT_NE(nullptr, sacl) << "no mandatory label";
  ASSERT_EQ(1, sacl->AceCount);
  ACE_HEADER* ace = nullptr;
  ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, ace->AceType);
  // The label ACE: header, mask, then the SID S-1-16-4096.
  const ACCESS_MASK mask = *reinterpret_cast<ACCESS_MASK*>(ace + 1);
  EXPECT_EQ(1u, mask) << "no-write-up";
  PSID sid = reinterpret_cast<BYTE*>(ace) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
  SID_IDENTIFIER_AUTHORITY mandatory = {{0, 0, 0, 0, 0, 16}};
  PSID low = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&mandatory, 1, 0x1000, 0, 0, 0, 0, 0, 0, 0, &low));
  EXPECT_TRUE(EqualSid(sid, low)) << "the label is not low integrity";
  FreeSid(low);
}

TEST(PipeSecurity, PipesOpenToEveryClientTheMutexToAdministratorsOnlyBothLabelledLow) {
  MonitorHost host(TaggedKey(L"sec"));
  ASSERT_EQ("sec", ServingTag(10000));
  // Right after the client above: wait for a free instance, as every client must.
  ASSERT_TRUE(WaitNamedPipeW(PipeName(kListNameArgument).c_str(), 5000)) << GetLastError();
  UniqueFileHandle pipe(CreateFileW(PipeName(kListNameArgument).c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL,
                                    0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe.valid()) << GetLastError();
  ExpectServiceSecurity(pipe.get(), true);
  pipe.reset();

  const std::wstring devicePipe = DevicePipeName(std::wstring(kKeyPathFormat) + L"sec");
  ASSERT_TRUE(WaitNamedPipeW(devicePipe.c_str(), 5000)) << GetLastError();
  UniqueFileHandle device(CreateFileW(devicePipe.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(device.valid()) << GetLastError();
  ExpectServiceSecurity(device.get(), true);
  device.reset();

  UniqueHandle mutex(OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, kServiceMutexName));
  ASSERT_TRUE(mutex.valid()) << GetLastError();
  ExpectServiceSecurity(mutex.get(), false);

  host.RequestStop();
  EXPECT_TRUE(host.process().Wait(10000));
}

TEST(PipeSecurity, AMonitorNeverSharesItsListPipeWithAProcessThatHoldsTheNameFirst) {
  UniqueFileHandle squatter(CreateNamedPipeW(PipeName(kListNameArgument).c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter.valid()) << GetLastError();
  ChildProcess monitor;
  ASSERT_TRUE(monitor.Start(testing_support::DistPath(L"TamsuSerB.exe"), {L"-m"}));
  DWORD code = 1;
  EXPECT_TRUE(monitor.Wait(15000, &code)) << "the monitor serves beside a stranger holding its list pipe's name";
  EXPECT_EQ(0u, code) << "the monitor did not end as it should (its window closed)";
}

// A process that adds instances of served names: each instance it gets is offered to clients.
class Stranger {
 public:
  explicit Stranger(std::vector<std::wstring> names) : names_(std::move(names)) {}
  ~Stranger() { Stop(); }
  // One try on every name; what it gets it holds, listening.
  void Try() {
    for (const std::wstring& name : names_) {
      UniqueFileHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
      if (!pipe) continue;
      held_.emplace_back();
      Held& h = held_.back();
      h.connected.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      h.pipe = std::move(pipe);
      h.io.hEvent = h.connected.get();
      if (!ConnectNamedPipe(h.pipe.get(), &h.io) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(h.io.hEvent);
    }
  }
  // Tries again and again on a thread of its own, until Stop.
  void TryWhileClientsRun() {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, 0, TryLoop, this, 0, nullptr));
  }
  void Stop() {
    if (!thread_) return;
    SetEvent(stop_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
  size_t instances() const { return held_.size(); }
  size_t clientsReached() const {
    size_t reached = 0;
    for (const Held& h : held_) reached += WaitForSingleObject(h.connected.get(), 0) == WAIT_OBJECT_0;
    return reached;
  }

 private:
  // The instance goes first, ending its pending connect while the record and event still exist.
  struct Held {
    UniqueHandle connected;
    OVERLAPPED io = {};
    UniqueFileHandle pipe;
  };
  static DWORD WINAPI TryLoop(void* self) {
    auto* stranger = static_cast<Stranger*>(self);
    do {
      stranger->Try();
    } while (WaitForSingleObject(stranger->stop_.get(), 5) == WAIT_TIMEOUT);
    return 0;
  }

  std::vector<std::wstring> names_;
  std::deque<Held> held_;  // the records of pending connects must not move
  UniqueHandle stop_;
  UniqueHandle thread_;
};

TEST(PipeSecurity, NoOtherProcessCanAddAnInstanceOfAServedNameAndEveryClientGetsTheGenuineAnswers) {
  MonitorHost host(TaggedKey(L"held"));
  ASSERT_EQ("held", ServingTag(10000));
  const std::wstring keyPath = std::wstring(kKeyPathFormat) + L"held";
  Stranger stranger({PipeName(kListNameArgument), DevicePipeName(keyPath)});
  stranger.Try();  // before the traffic, as many as it can have
  stranger.Try();
  stranger.TryWhileClientsRun();
  // Clients that speak the protocol themselves, five at a time.
  for (int batch = 0; batch < 4; ++batch) {
    std::vector<std::unique_ptr<testing_support::PipeClient>> clients;
    for (int i = 0; i < 5; ++i) {
      clients.emplace_back(new testing_support::PipeClient({L"list", L"devpipe:0", L"xfer:00b00000" + std::to_wstring(10 + i)}));
    }
    for (int i = 0; i < 5; ++i) {
      const std::vector<std::string> out = clients[i]->Finish(20000);
      const std::vector<std::string> genuine = {"list ok 1", "path " + std::string(keyPath.begin(), keyPath.end()),
                                                "open ok", "send ok 5",
                                                "recv ok 7 00b00000" + std::to_string(10 + i) + "9000"};
      EXPECT_EQ(genuine, out) << "client " << batch * 5 + i;
    }
  }
  stranger.Stop();
  EXPECT_EQ(0u, stranger.instances()) << "another process added instances of the served names";
  EXPECT_EQ(0u, stranger.clientsReached()) << "clients reached the other process's instances";
  host.RequestStop();
  EXPECT_TRUE(host.process().Wait(10000));
}

}  // namespace
}  // namespace tamsu
