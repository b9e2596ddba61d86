// The device channel over the simulated key: the records it sends, the receive sizes, the failures.
#include "service/device/device_channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/device/device_result.h"
#include "service/device/pass_through_record.h"
#include "simkey/sim_key.h"

namespace tamsu {
namespace {

using sim::Bytes;
using sim::SimKey;
using sim::SimKeyBus;

const char kPath[] =
    "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#7&1a2b3c&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class DeviceChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { key_ = &SimKeyBus::Instance().Add(kPath); }
  void TearDown() override {
    channel_.Close();
    EXPECT_EQ(0, SimKeyBus::Instance().OpenKeyHandles()) << "a key handle was left open";
    SimKeyBus::Instance().Reset();
  }

  uint32_t Exchange(const Bytes& command, Bytes* answer, uint32_t capacity = 4096) {
    answer->assign(capacity, 0);
    uint32_t length = capacity;
    uint32_t result = channel_.Transact(command.data(), static_cast<uint32_t>(command.size()), answer->data(), &length);
    answer->resize(result == kDeviceSuccess ? length : 0);
    return result;
  }

  SimKey* key_ = nullptr;
  DeviceChannel channel_;
};

TEST_F(DeviceChannelTest, OpenTransactCloseWithWellFormedRecords) {
  key_->SetResponder(sim::FixedLength(0x12));
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  EXPECT_TRUE(channel_.IsOpen());
  EXPECT_EQ(1, SimKeyBus::Instance().OpenKeyHandles());

  Bytes answer;
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
  EXPECT_EQ(sim::FixedLength(0x12)({}), answer);
  const sim::KeyStats stats = key_->stats();
  EXPECT_EQ(0, stats.refused) << "the key refused a pass-through record";
  EXPECT_EQ(1, stats.sends);
  EXPECT_EQ(std::vector<uint32_t>{0x14}, stats.receiveLengths);
  EXPECT_EQ(Bytes({0x00, 0xB0, 0x00, 0x00, 0x10}), stats.lastCommand);

  EXPECT_EQ(kDeviceSuccess, channel_.Close());
  EXPECT_FALSE(channel_.IsOpen());
  EXPECT_EQ(0, SimKeyBus::Instance().OpenKeyHandles());
  EXPECT_EQ(kDeviceSuccess, channel_.Close()) << "closing a closed channel";
}

TEST_F(DeviceChannelTest, ReceiveSizesFollowTheCommand) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  Bytes answer;
  key_->SetResponder(sim::FixedLength(2));
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  key_->SetResponder(sim::FixedLength(0x22));
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  EXPECT_EQ(0x22u, answer.size());
  key_->SetResponder(sim::Echo());
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00}, &answer));
  EXPECT_EQ(Bytes({0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00, 0x90, 0x00}), answer);
  key_->SetResponder(sim::FixedLength(5));
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, &answer));
  EXPECT_EQ((std::vector<uint32_t>{4, 4, 0x24, 276, 4, 7}), key_->stats().receiveLengths);
  EXPECT_EQ(0, key_->stats().refused);
}

TEST_F(DeviceChannelTest, LargestAnswerIsWholeAndOneMoreByteFails) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  Bytes answer;
  key_->SetResponder(sim::FixedLength(4094));
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xB0, 0x00, 0x00}, &answer));
  EXPECT_EQ(sim::FixedLength(4094)({}), answer);
  key_->SetResponder(sim::FixedLength(4095));
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00}, &answer));
  for (uint32_t length : key_->stats().receiveLengths) EXPECT_LE(length, 4096u);
}

TEST_F(DeviceChannelTest, ScsiStatusOnSendFailsWithoutReceive) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  key_->FailNextSend(0x02);  // CHECK CONDITION
  Bytes answer;
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
  EXPECT_EQ(0, key_->stats().receives);
  // The channel stays usable for the next command.
  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
}

TEST_F(DeviceChannelTest, ScsiStatusOnFirstOrSecondReceiveFails) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  Bytes answer;
  key_->FailNextReceive(0x02);
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));

  key_->SetResponder(sim::FixedLength(0x40));
  key_->FailNextReceive(0x02, 1);  // the first receive reads the length, the second fails
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  EXPECT_EQ((std::vector<uint32_t>{0x14, 4, 0x42}), key_->stats().receiveLengths);

  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  EXPECT_EQ(0x40u, answer.size());
}

TEST_F(DeviceChannelTest, AnswerShortOfItsFrameFailsAndTheNextWholeOneSucceeds) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  Bytes answer;
  key_->SetResponder(sim::FixedLength(0x12));
  key_->ShortenNextAnswer(4);  // the frame fits the first receive
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
  key_->SetResponder(sim::FixedLength(0x40));
  key_->ShortenNextAnswer();  // the frame needs the second receive
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  EXPECT_EQ((std::vector<uint32_t>{0x14, 4, 0x42}), key_->stats().receiveLengths);

  EXPECT_EQ(kDeviceSuccess, Exchange({0x00, 0xA4, 0x04, 0x00}, &answer));
  EXPECT_EQ(sim::FixedLength(0x40)({}), answer);
}

TEST_F(DeviceChannelTest, KeyUnpluggedMidCommandFailsAndCannotBeReopened) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  key_->UnplugDuringNextCommand();
  Bytes answer;
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
  EXPECT_EQ(1, key_->stats().sends);
  channel_.Close();
  EXPECT_EQ(kScardEUnknownReader, channel_.Open(Wide(kPath).c_str()));
  EXPECT_FALSE(channel_.IsOpen());
  key_->Plug();
  EXPECT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
}

TEST_F(DeviceChannelTest, PathsThatCannotBeOpenedLeaveTheChannelClosed) {
  EXPECT_EQ(kScardEUnknownReader, channel_.Open(L"\\\\?\\usbstor#cdrom&ven_varnelle&rev_1.00#gone"));
  EXPECT_FALSE(channel_.IsOpen());
  EXPECT_EQ(kScardEUnknownReader, channel_.Open(nullptr));
  EXPECT_EQ(kScardEUnknownReader, channel_.Open(std::wstring(300, L'a').c_str()));
  EXPECT_EQ(0, key_->stats().opens);
}

TEST_F(DeviceChannelTest, PathLengthLimitIs255Characters) {
  const std::string longest = std::string(kPath) + std::string(255 - sizeof kPath + 1, 'z');
  ASSERT_EQ(255u, longest.size());
  SimKeyBus::Instance().Add(longest);
  SimKeyBus::Instance().Add(longest + "z");
  EXPECT_EQ(kDeviceSuccess, channel_.Open(Wide(longest).c_str()));
  EXPECT_EQ(kScardEUnknownReader, channel_.Open(Wide(longest + "z").c_str()));
  EXPECT_FALSE(channel_.IsOpen()) << "a failed open must not keep the earlier key";
}

TEST_F(DeviceChannelTest, ClosedChannelSendsNothing) {
  Bytes answer;
  EXPECT_EQ(kScardENotReady, Exchange({0x00, 0xB0, 0x00, 0x00, 0x10}, &answer));
  EXPECT_EQ(0, key_->stats().sends);
}

TEST_F(DeviceChannelTest, ReopeningDoesNotLeakTheEarlierHandle) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  EXPECT_EQ(1, SimKeyBus::Instance().OpenKeyHandles());
}

// The simulated key must refuse what a real driver refuses, or the tests above would prove nothing.
TEST_F(DeviceChannelTest, SimulatedKeyRefusesMalformedRecords) {
  ASSERT_EQ(kDeviceSuccess, channel_.Open(Wide(kPath).c_str()));
  HANDLE device = keyio::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  uint8_t data[8] = {};
  auto attempt = [&](void (*spoil)(PassThroughFields&)) {
    PassThroughFields f =
        MakePassThroughFields(pass_through::kDataIn, pass_through::kReceiveCdb, pass_through::kCdbLength, sizeof data,
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)));
    spoil(f);
    uint8_t record[pass_through::kRecordSize];
    EncodePassThroughRecord(f, record);
    DWORD returned = 0;
    return keyio::DeviceIoControl(device, pass_through::kIoctlScsiPassThroughDirect, record, sizeof record, record,
                                  sizeof record, &returned, nullptr);
  };
  EXPECT_TRUE(attempt([](PassThroughFields&) {}));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.length = 48; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.targetId = 0; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.dataIn = pass_through::kDataOut; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.cdb[0] = 0xF3; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.cdb[5] = 1; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.senseInfoOffset = 44; }));
  EXPECT_FALSE(attempt([](PassThroughFields& f) { f.timeOutValue = 30; }));
  EXPECT_EQ(7, key_->stats().refused);
  keyio::CloseHandle(device);
}

}  // namespace
}  // namespace tamsu
