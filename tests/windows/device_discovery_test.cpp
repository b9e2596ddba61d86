// Key discovery over simulated CD-ROM interfaces: filters, order, list format and per-interface failures.
#include "service/device/device_discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simkey/sim_key.h"

namespace tamsu {
namespace {

using sim::InterfaceOptions;
using sim::SimKeyBus;

const std::string kKeyA =
    "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#0001#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kKeyB =
    "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.10#0002#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kOtherDrive = "\\\\?\\ide#cdromhl-dt-st_dvdram&rev_1.00#5&1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// The list as separate paths, checking its format on the way: zero-terminated paths, final zero.
std::vector<std::string> Paths(const char* list, size_t capacity) {
  std::vector<std::string> paths;
  size_t at = 0;
  while (at < capacity && list[at]) {
    size_t length = strnlen(list + at, capacity - at);
    EXPECT_LT(at + length, capacity) << "a path runs off the buffer";
    paths.emplace_back(list + at, length);
    at += length + 1;
  }
  EXPECT_LT(at, capacity) << "no final zero byte";
  return paths;
}

class DeviceDiscoveryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(0, SimKeyBus::Instance().OpenInterfaceSets()) << "the interface set was not destroyed";
    SimKeyBus::Instance().Reset();
  }

  std::vector<std::string> Enumerate(bool classCheck = true) {
    std::memset(buffer_, 0xAA, sizeof buffer_);
    EnumerateKeyDevicesWith(classCheck, buffer_, 1024);
    EXPECT_EQ(static_cast<char>(0xAA), buffer_[1024]) << "wrote past the list buffer";
    return Paths(buffer_, 1024);
  }

  char buffer_[1025];
};

TEST_F(DeviceDiscoveryTest, NoInterfacesGiveTheSingleZeroByte) {
  EXPECT_TRUE(Enumerate().empty());
  EXPECT_EQ(0, buffer_[0]);
  EXPECT_EQ(static_cast<char>(0xAA), buffer_[1]);
}

TEST_F(DeviceDiscoveryTest, NoInterfaceSetGivesTheSingleZeroByte) {
  SimKeyBus::Instance().Add(kKeyA);
  SimKeyBus::Instance().FailInterfaceSet(true);
  EXPECT_TRUE(Enumerate().empty());
  EXPECT_EQ(0, buffer_[0]);
}

TEST_F(DeviceDiscoveryTest, TwoKeysInEnumerationOrderWithTheExtraZero) {
  SimKeyBus::Instance().Add(kKeyB);
  SimKeyBus::Instance().Add(kOtherDrive);
  SimKeyBus::Instance().Add(kKeyA);
  EXPECT_EQ((std::vector<std::string>{kKeyB, kKeyA}), Enumerate());
  const size_t size = kKeyB.size() + 1 + kKeyA.size() + 1 + 1;
  EXPECT_EQ(std::string(kKeyB + '\0' + kKeyA + '\0' + '\0'), std::string(buffer_, size));
}

TEST_F(DeviceDiscoveryTest, FiltersOnVendorThenRevisionInAnyCase) {
  const std::string upper = "\\\\?\\USBSTOR#CDROM&VEN_VARNELLE&PROD_TAMSU&REV_1.00#0003#{53F56308}";
  SimKeyBus::Instance().Add(upper);
  SimKeyBus::Instance().Add("\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_10#4");
  SimKeyBus::Instance().Add("\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_2.00#5");
  SimKeyBus::Instance().Add("\\\\?\\usbstor#cdrom&ven_other&prod_tamsu&rev_1.00#6");
  EXPECT_EQ(std::vector<std::string>{upper}, Enumerate()) << "listed in the letter case the platform reported";
}

TEST_F(DeviceDiscoveryTest, ClassPropertyMattersOnlyWhenChecked) {
  InterfaceOptions unreadable;
  unreadable.classPropertyReadable = false;
  SimKeyBus::Instance().Add(kKeyA, unreadable);
  SimKeyBus::Instance().Add(kKeyB);
  EXPECT_EQ(std::vector<std::string>{kKeyB}, Enumerate(true));
  EXPECT_EQ(2, SimKeyBus::Instance().ClassPropertyQueries());
  EXPECT_EQ((std::vector<std::string>{kKeyA, kKeyB}), Enumerate(false));
  EXPECT_EQ(2, SimKeyBus::Instance().ClassPropertyQueries()) << "queried without the check";
}

TEST_F(DeviceDiscoveryTest, AFailingInterfaceDropsOnlyItself) {
  InterfaceOptions zeroSize;
  zeroSize.detailSizeZero = true;
  InterfaceOptions detailFails;
  detailFails.detailFails = true;
  SimKeyBus::Instance().Add(kKeyA + "#zero", zeroSize);
  SimKeyBus::Instance().Add(kKeyA + "#fails", detailFails);
  SimKeyBus::Instance().Add(kKeyB);
  EXPECT_EQ(std::vector<std::string>{kKeyB}, Enumerate());
}

TEST_F(DeviceDiscoveryTest, UnpluggedKeyIsNotListed) {
  SimKeyBus::Instance().Add(kKeyA).Unplug();
  SimKeyBus::Instance().Add(kKeyB);
  EXPECT_EQ(std::vector<std::string>{kKeyB}, Enumerate());
}

TEST_F(DeviceDiscoveryTest, PathsThatDoNotFitAreSkippedAndTheListStaysWhole) {
  const std::string prefix = "\\\\?\\usbstor#cdrom&ven_varnelle&rev_1.00#";
  const std::string long1 = prefix + std::string(400 - prefix.size(), '1');
  const std::string long2 = prefix + std::string(400 - prefix.size(), '2');
  const std::string long3 = prefix + std::string(400 - prefix.size(), '3');
  SimKeyBus::Instance().Add(long1);
  SimKeyBus::Instance().Add(long2);
  SimKeyBus::Instance().Add(long3);  // 401 + 401 + 401 + 1 > 1024
  SimKeyBus::Instance().Add(kKeyA);  // still fits after the skip
  EXPECT_EQ((std::vector<std::string>{long1, long2, kKeyA}), Enumerate());
}

TEST_F(DeviceDiscoveryTest, StartUpFlagDrivesTheDefaultEnumeration) {
  InterfaceOptions unreadable;
  unreadable.classPropertyReadable = false;
  SimKeyBus::Instance().Add(kKeyA, unreadable);
  std::memset(buffer_, 0xAA, sizeof buffer_);
  EnumerateKeyDevices(buffer_, 1024);
  EXPECT_EQ(ClassPropertyCheckEnabled ? std::vector<std::string>{} : std::vector<std::string>{kKeyA},
            Paths(buffer_, 1024));
}

}  // namespace
}  // namespace tamsu
