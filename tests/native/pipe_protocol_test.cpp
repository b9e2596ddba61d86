#include "service/pipes/pipe_protocol.h"

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

}  // namespace
}  // namespace tamsu
