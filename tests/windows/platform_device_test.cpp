// The key code against the platform itself (Wine): no key is ever present here.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "service/device/device_channel.h"
#include "service/device/device_discovery.h"
#include "service/device/device_result.h"

namespace tamsu {
namespace {

TEST(PlatformDiscovery, NoKeyDriveGivesTheSingleZeroByte) {
  char buffer[1024];
  std::memset(buffer, 0x55, sizeof buffer);
  EnumerateKeyDevices(buffer, sizeof buffer);
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ(0x55, buffer[1]) << "only the single zero byte is written";
}

TEST(PlatformChannel, PathThatDoesNotExistIsAnUnknownReader) {
  DeviceChannel channel;
  EXPECT_EQ(
      kScardEUnknownReader,
      channel.Open(L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"));
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_EQ(kDeviceSuccess, channel.Close());
}

TEST(PlatformChannel, PassThroughOnSomethingThatIsNotAKeyFails) {
  wchar_t path[MAX_PATH];
  ASSERT_NE(0u, GetSystemDirectoryW(path, MAX_PATH));
  ASSERT_GT(MAX_PATH - 16u, wcslen(path));
  wcscat(path, L"\\kernel32.dll");
  DeviceChannel channel;
  // Opening for write is refused on a system file or, where allowed, the request fails at the device.
  if (channel.Open(path) == kDeviceSuccess) {
    uint8_t command[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    uint8_t answer[4096];
    uint32_t length = sizeof answer;
    EXPECT_EQ(kScardENotReady, channel.Transact(command, sizeof command, answer, &length));
  } else {
    EXPECT_FALSE(channel.IsOpen());
  }
}

// The harness promises a 64-bit prefix, where 32-bit code runs under WOW64.
TEST(PlatformHarness, TestsRunUnderWow64) {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
  ASSERT_NE(nullptr, isWow64);
  BOOL wow64 = FALSE;
  ASSERT_TRUE(isWow64(GetCurrentProcess(), &wow64));
  EXPECT_TRUE(wow64);
}

}  // namespace
}  // namespace tamsu
