// The 80-byte SCSI pass-through request as bytes (a 32-bit process's SCSI_PASS_THROUGH_DIRECT,
// a 4-byte filler and a 32-byte sense area), and the two vendor commands that reach the key.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsu {

namespace pass_through {
// Offsets within the record, as the platform lays out SCSI_PASS_THROUGH_DIRECT in a 32-bit process.
constexpr size_t kLengthOffset = 0;
constexpr size_t kScsiStatusOffset = 2;
constexpr size_t kPathIdOffset = 3;
constexpr size_t kTargetIdOffset = 4;
constexpr size_t kLunOffset = 5;
constexpr size_t kCdbLengthOffset = 6;
constexpr size_t kSenseInfoLengthOffset = 7;
constexpr size_t kDataInOffset = 8;
constexpr size_t kDataTransferLengthOffset = 12;
constexpr size_t kTimeOutValueOffset = 16;
constexpr size_t kDataBufferOffset = 20;
constexpr size_t kSenseInfoOffsetOffset = 24;
constexpr size_t kCdbOffset = 28;
constexpr size_t kCdbCapacity = 16;
constexpr size_t kDirectSize = 44;   // sizeof(SCSI_PASS_THROUGH_DIRECT)
constexpr size_t kSenseOffset = 48;  // after the 4-byte filler
constexpr size_t kSenseSize = 32;
constexpr size_t kRecordSize = 80;

constexpr uint8_t kTargetId = 1;
constexpr uint8_t kSenseInfoLength = 24;
constexpr uint32_t kTimeOutSeconds = 300;
constexpr uint8_t kDataOut = 0;  // SCSI_IOCTL_DATA_OUT
constexpr uint8_t kDataIn = 1;   // SCSI_IOCTL_DATA_IN
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;

constexpr size_t kCdbLength = 6;
constexpr uint8_t kSendCdb[kCdbLength] = {0xF1, 0, 0, 0, 0, 0};
constexpr uint8_t kReceiveCdb[kCdbLength] = {0xF2, 0, 0, 0, 0, 0};
}  // namespace pass_through

struct PassThroughFields {
  uint16_t length = 0;
  uint8_t scsiStatus = 0;
  uint8_t pathId = 0;
  uint8_t targetId = 0;
  uint8_t lun = 0;
  uint8_t cdbLength = 0;
  uint8_t senseInfoLength = 0;
  uint8_t dataIn = 0;
  uint32_t dataTransferLength = 0;
  uint32_t timeOutValue = 0;
  uint32_t dataBuffer = 0;  // a 32-bit process's pointer
  uint32_t senseInfoOffset = 0;
  uint8_t cdb[pass_through::kCdbCapacity] = {};
};

// The fields the channel sets for one request; a CDB longer than 16 bytes is cut to 16.
PassThroughFields MakePassThroughFields(uint8_t direction, const uint8_t* cdb, size_t cdbLength, uint32_t dataLength,
                                        uint32_t dataBuffer);

// Zeroes the whole record, then writes the fields little-endian at their offsets.
void EncodePassThroughRecord(const PassThroughFields& fields, uint8_t (&record)[pass_through::kRecordSize]);
PassThroughFields DecodePassThroughRecord(const uint8_t (&record)[pass_through::kRecordSize]);

}  // namespace tamsu
