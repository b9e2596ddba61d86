#include "service/device/pass_through_record.h"

#include <gtest/gtest.h>

namespace tamsu {
namespace {

using namespace pass_through;

TEST(PassThroughRecord, SendRecordHasEveryFieldAtItsOffset) {
  uint8_t record[kRecordSize];
  EncodePassThroughRecord(MakePassThroughFields(kDataOut, kSendCdb, kCdbLength, 0x1234, 0xA1B2C3D4), record);
  const uint8_t expected[kRecordSize] = {
      44,   0,                                                        // Length
      0,                                                              // ScsiStatus
      0,                                                              // PathId
      1,                                                              // TargetId
      0,                                                              // Lun
      6,                                                              // CdbLength
      24,                                                             // SenseInfoLength
      0,                                                              // DataIn: data out
      0,    0,    0,    0x34, 0x12, 0, 0,                             // DataTransferLength
      44,   1,    0,    0,                                            // TimeOutValue 300
      0xD4, 0xC3, 0xB2, 0xA1,                                         // DataBuffer
      48,   0,    0,    0,                                            // SenseInfoOffset
      0xF1, 0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // Cdb
                                                                      // filler and sense area stay zero
  };
  for (size_t i = 0; i < kRecordSize; ++i) EXPECT_EQ(expected[i], record[i]) << "byte " << i;
}

TEST(PassThroughRecord, ReceiveRecordDiffersOnlyInDirectionAndOperationCode) {
  uint8_t send[kRecordSize], receive[kRecordSize];
  EncodePassThroughRecord(MakePassThroughFields(kDataOut, kSendCdb, kCdbLength, 20, 0x1000), send);
  EncodePassThroughRecord(MakePassThroughFields(kDataIn, kReceiveCdb, kCdbLength, 20, 0x1000), receive);
  for (size_t i = 0; i < kRecordSize; ++i) {
    if (i == kDataInOffset) {
      EXPECT_EQ(1, receive[i]);
    } else if (i == kCdbOffset) {
      EXPECT_EQ(0xF2, receive[i]);
    } else {
      EXPECT_EQ(send[i], receive[i]) << "byte " << i;
    }
  }
}

TEST(PassThroughRecord, EncodeZeroesStaleBytesAndDecodeReadsBack) {
  uint8_t record[kRecordSize];
  for (auto& b : record) b = 0xEE;
  PassThroughFields in = MakePassThroughFields(kDataIn, kReceiveCdb, kCdbLength, 4096, 0x00400000);
  in.scsiStatus = 2;
  EncodePassThroughRecord(in, record);
  for (size_t i = kDirectSize; i < kRecordSize; ++i) EXPECT_EQ(0, record[i]) << "byte " << i;
  PassThroughFields out = DecodePassThroughRecord(record);
  EXPECT_EQ(44, out.length);
  EXPECT_EQ(2, out.scsiStatus);
  EXPECT_EQ(4096u, out.dataTransferLength);
  EXPECT_EQ(300u, out.timeOutValue);
  EXPECT_EQ(0x00400000u, out.dataBuffer);
  EXPECT_EQ(48u, out.senseInfoOffset);
  EXPECT_EQ(0xF2, out.cdb[0]);
}

TEST(PassThroughRecord, OverlongCdbIsCutToTheField) {
  uint8_t cdb[20];
  for (int i = 0; i < 20; ++i) cdb[i] = static_cast<uint8_t>(i + 1);
  PassThroughFields f = MakePassThroughFields(kDataOut, cdb, sizeof cdb, 0, 0);
  EXPECT_EQ(16, f.cdbLength);
  EXPECT_EQ(16, f.cdb[15]);
}

}  // namespace
}  // namespace tamsu
