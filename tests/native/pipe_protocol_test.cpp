#include "common/protocol/mutex_owner.h"
#include "common/protocol/pipe_protocol.h"
#include "service/pipes/server_flags.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tamsu {
namespace {

TEST(PipeNames, ListAndDevicePipes) {
  EXPECT_EQ(L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_List", PipeName(kListNameArgument));
  EXPECT_EQ(L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_usbstor#cdrom&ven_varnelle&rev_1.00#1",
            DevicePipeName(L"\\\\?\\usbstor#cdrom&ven_varnelle&rev_1.00#1"));
  EXPECT_EQ(L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_", DevicePipeName(L"\\\\?\\"));
  EXPECT_EQ(L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_", DevicePipeName(L"ab"));
}

TEST(ListRequest, OnlyTheTwelveExactBytes) {
  const uint8_t* exact = reinterpret_cast<const uint8_t*>("DeviceListA");
  EXPECT_TRUE(IsListRequest(exact, 12));
  EXPECT_FALSE(IsListRequest(exact, 11));
  const uint8_t longer[13] = {'D', 'e', 'v', 'i', 'c', 'e', 'L', 'i', 's', 't', 'A', 0, 0};
  EXPECT_FALSE(IsListRequest(longer, 13));
  EXPECT_FALSE(IsListRequest(reinterpret_cast<const uint8_t*>("devicelista"), 12));
  EXPECT_FALSE(IsListRequest(nullptr, 12));
  EXPECT_EQ(6u, kErrorReplySize);
}

TEST(ListedPaths, StopsAtTheFinalZeroAndNeverRunsOffTheBuffer) {
  const char list[] = "ab\0cde\0\0zz";
  EXPECT_EQ((std::vector<std::string>{"ab", "cde"}), ListedPaths(list, sizeof list));
  EXPECT_TRUE(ListedPaths("\0", 1).empty());
  const char unterminated[4] = {'a', 0, 'b', 'c'};
  EXPECT_EQ(std::vector<std::string>{"a"}, ListedPaths(unterminated, sizeof unterminated));
  EXPECT_TRUE(ListedPaths(nullptr, 10).empty());
}

TEST(ServerFlags, StaleWheneverTheTopBitIsSet) {
  EXPECT_TRUE(server_flags::IsStale(0x80000000u));
  EXPECT_TRUE(server_flags::IsStale(0xC0000001u));
  EXPECT_FALSE(server_flags::IsStale(server_flags::kSeen | server_flags::kNotYetSeen));
}

// A monitor waits only behind a mutex whose owner could be a monitor: where Windows shows the owner,
// any other user's mutex ends the monitor at once (every process runs as one user under Wine).
TEST(MutexOwner, OnlyTheSystemAdministratorsAndTheMonitorsOwnAccountsAreWaitedFor) {
  const std::wstring user = L"S-1-5-21-1-2-3-1001";
  const std::wstring defaultOwner = L"S-1-5-21-1-2-3-513";
  struct Case {
    const wchar_t* owner;
    bool waited;
  } cases[] = {
      {L"S-1-5-18", true},              // LocalSystem
      {L"S-1-5-32-544", true},          // Administrators
      {L"S-1-5-21-1-2-3-1001", true},   // the monitor's own user
      {L"S-1-5-21-1-2-3-513", true},    // the owner the monitor's own objects get
      {L"", true},                      // no owner to read: the waiting rule decides
      {L"S-1-5-21-1-2-3-1002", false},  // another user
      {L"S-1-16-4096", false},          // a low-integrity label is no account
      {L"S-1-5-32-545", false},         // Users
      {L"S-1-5-18-1", false},           // not LocalSystem, only its prefix
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.waited, AcceptableMutexOwner(c.owner, {user, defaultOwner})) << std::string(c.owner, c.owner + wcslen(c.owner));
  }
  EXPECT_FALSE(AcceptableMutexOwner(L"S-1-5-21-1-2-3-1002", {L"", L""})) << "an unread own SID matches nothing";
}

}  // namespace
}  // namespace tamsu
