#include "service/device/key_path_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tamsu {
namespace {

const char kKey1[] =
    "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#0001#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

std::string ListOf(const char* buffer, size_t size) { return std::string(buffer, size); }

TEST(KeyPathFilter, AcceptsVendorAndRevisionInAnyLetterCase) {
  EXPECT_TRUE(IsKeyDevicePath(kKey1));
  EXPECT_TRUE(IsKeyDevicePath("\\\\?\\USBSTOR#CDROM&VEN_VARNELLE&PROD_X&REV_1.10#2"));
  EXPECT_TRUE(IsKeyDevicePath("x&Ven_VarNelle&Rev_1."));
}

TEST(KeyPathFilter, RefusesOtherVendorsAndRevisions) {
  EXPECT_FALSE(IsKeyDevicePath("\\\\?\\usbstor#cdrom&ven_other&prod_x&rev_1.00#1"));
  EXPECT_FALSE(IsKeyDevicePath("\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_2.00#1"));
  EXPECT_FALSE(IsKeyDevicePath("\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_10#1"));
  EXPECT_FALSE(IsKeyDevicePath("\\\\?\\usbstor#cdrom&ven_varnell&prod_x&rev_1.00#1"));
  EXPECT_FALSE(IsKeyDevicePath("&rev_1.&ven_varnell"));
  EXPECT_FALSE(IsKeyDevicePath(""));
  EXPECT_FALSE(IsKeyDevicePath(nullptr));
}

TEST(KeyPathFilter, SubstringSearchRestartsAfterPartialMatch) {
  EXPECT_TRUE(ContainsIgnoringCase("&&ven_&ven_varnelle", "&ven_varnelle"));
  EXPECT_TRUE(ContainsIgnoringCase("aaab", "aab"));
  EXPECT_FALSE(ContainsIgnoringCase("&ven_varnell", "&ven_varnelle"));
  EXPECT_TRUE(ContainsIgnoringCase("abc", ""));
}

TEST(ClassPropertyCheck, MinorNumberIsTestedByItselfUpToSixAndEveryLaterMajorVersionChecks) {
  EXPECT_TRUE(ClassPropertyCheckFor(2, 5, 1));
  EXPECT_TRUE(ClassPropertyCheckFor(2, 5, 2));
  EXPECT_TRUE(ClassPropertyCheckFor(2, 6, 1));
  EXPECT_TRUE(ClassPropertyCheckFor(2, 6, 3));
  EXPECT_FALSE(ClassPropertyCheckFor(2, 6, 0));
  EXPECT_TRUE(ClassPropertyCheckFor(2, 10, 0)) << "Windows 10 and 11, told the truth by the manifest";
  EXPECT_FALSE(ClassPropertyCheckFor(2, 5, 0));
  EXPECT_FALSE(ClassPropertyCheckFor(2, 4, 1));
  EXPECT_FALSE(ClassPropertyCheckFor(1, 5, 1));
}

TEST(DevicePathList, EmptyListIsOneZeroByte) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  DevicePathListWriter list(buffer, sizeof buffer);
  EXPECT_EQ(1u, list.Finish());
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ('x', buffer[1]);
}

TEST(DevicePathList, PathsKeepOrderEachWithZeroThenFinalZero) {
  char buffer[64];
  DevicePathListWriter list(buffer, sizeof buffer);
  EXPECT_TRUE(list.Append("AB", 2));
  EXPECT_TRUE(list.Append("cde", 3));
  EXPECT_EQ(8u, list.Finish());
  EXPECT_EQ(std::string("AB\0cde\0\0", 8), ListOf(buffer, 8));
}

TEST(DevicePathList, PathThatDoesNotFitIsSkippedAndListStaysTerminated) {
  char buffer[10];
  std::memset(buffer, 'x', sizeof buffer);
  DevicePathListWriter list(buffer, 9);
  EXPECT_TRUE(list.Append("abcde", 5));  // 6 bytes, leaving 3
  EXPECT_FALSE(list.Append("fg", 2));    // would need 3 plus the final zero
  EXPECT_TRUE(list.Append("h", 1));      // exactly fills: h, 0, final 0
  EXPECT_FALSE(list.Append("i", 1));
  EXPECT_EQ(9u, list.Finish());
  EXPECT_EQ(std::string("abcde\0h\0\0", 9), ListOf(buffer, 9));
  EXPECT_EQ('x', buffer[9]);
}

TEST(DevicePathList, FullCapacityIsUsedButNeverExceeded) {
  char buffer[1024 + 1];
  buffer[1024] = 'G';  // guard byte past the capacity
  DevicePathListWriter list(buffer, 1024);
  std::string path(1022, 'p');
  EXPECT_FALSE(list.Append(std::string(1023, 'q').c_str(), 1023));
  EXPECT_TRUE(list.Append(path.c_str(), path.size()));
  EXPECT_EQ(1024u, list.Finish());
  EXPECT_EQ(0, buffer[1022]);
  EXPECT_EQ(0, buffer[1023]);
  EXPECT_EQ('G', buffer[1024]);
}

TEST(DevicePathList, DegenerateBuffersAndPaths) {
  char one[1] = {'x'};
  DevicePathListWriter tiny(one, 1);
  EXPECT_FALSE(tiny.Append("a", 1));
  EXPECT_EQ(1u, tiny.Finish());
  EXPECT_EQ(0, one[0]);

  DevicePathListWriter none(nullptr, 100);
  EXPECT_FALSE(none.Append("a", 1));
  EXPECT_EQ(0u, none.Finish());

  char buffer[16];
  DevicePathListWriter list(buffer, sizeof buffer);
  EXPECT_FALSE(list.Append("", 0));      // would end the list early
  EXPECT_FALSE(list.Append("a\0b", 3));  // an inner zero would split it
  EXPECT_EQ(1u, list.Finish());
}

}  // namespace
}  // namespace tamsu
