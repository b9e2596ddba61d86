// List servers in separate monitor-like processes (monitor_host.exe), and the security of what
// they create: the machine-wide mutex decides which process serves.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "service/pipes/pipe_protocol.h"

#ifndef LABEL_SECURITY_INFORMATION
#define LABEL_SECURITY_INFORMATION 0x00000010L
#endif
#ifndef SYSTEM_MANDATORY_LABEL_ACE_TYPE
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE 0x11
#endif

namespace tamsu {
namespace {

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

// Null DACL on both; the low label, read back, from version 6 on.
void ExpectLowIntegritySecurity(HANDLE object) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  PACL dacl = nullptr;
  PACL sacl = nullptr;
  const SECURITY_INFORMATION what = StartupOsVersion().dwMajorVersion >= 6
                                        ? DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION
                                        : DACL_SECURITY_INFORMATION;
  ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(object, SE_KERNEL_OBJECT, what, nullptr, nullptr, &dacl, &sacl, &raw));
  UniqueLocalMemory descriptor(raw);
  EXPECT_EQ(nullptr, dacl) << "a null DACL grants everyone all access";
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

TEST(PipeSecurity, PipesAndMutexCarryNullDaclAndLowLabel) {
  MonitorHost host(TaggedKey(L"sec"));
  ASSERT_EQ("sec", ServingTag(10000));
  UniqueFileHandle pipe(CreateFileW(PipeName(kListNameArgument).c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe.valid()) << GetLastError();
  ExpectLowIntegritySecurity(pipe.get());
  pipe.reset();

  const std::wstring devicePipe = DevicePipeName(std::wstring(kKeyPathFormat) + L"sec");
  ASSERT_TRUE(WaitNamedPipeW(devicePipe.c_str(), 5000)) << GetLastError();
  UniqueFileHandle device(
      CreateFileW(devicePipe.c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(device.valid()) << GetLastError();
  ExpectLowIntegritySecurity(device.get());
  device.reset();

  UniqueHandle mutex(OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, kServiceMutexName));
  ASSERT_TRUE(mutex.valid()) << GetLastError();
  ExpectLowIntegritySecurity(mutex.get());

  host.RequestStop();
  EXPECT_TRUE(host.process().Wait(10000));
}

}  // namespace
}  // namespace tamsu
