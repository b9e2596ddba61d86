#include "pass_through_record.h"

#include <cstring>

namespace tamsu {
namespace {

using namespace pass_through;

void Put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
         (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

PassThroughFields MakePassThroughFields(uint8_t direction, const uint8_t* cdb, size_t cdbLength, uint32_t dataLength,
                                        uint32_t dataBuffer) {
  PassThroughFields f;
  f.length = kDirectSize;
  f.targetId = kTargetId;
  f.cdbLength = static_cast<uint8_t>(cdbLength > kCdbCapacity ? kCdbCapacity : cdbLength);
  f.senseInfoLength = kSenseInfoLength;
  f.dataIn = direction;
  f.dataTransferLength = dataLength;
  f.timeOutValue = kTimeOutSeconds;
  f.dataBuffer = dataBuffer;
  f.senseInfoOffset = kSenseOffset;
  if (cdb) std::memcpy(f.cdb, cdb, f.cdbLength);
  return f;
}

void EncodePassThroughRecord(const PassThroughFields& f, uint8_t (&record)[kRecordSize]) {
  std::memset(record, 0, sizeof record);
  Put16(record + kLengthOffset, f.length);
  record[kScsiStatusOffset] = f.scsiStatus;
  record[kPathIdOffset] = f.pathId;
  record[kTargetIdOffset] = f.targetId;
  record[kLunOffset] = f.lun;
  record[kCdbLengthOffset] = f.cdbLength;
  record[kSenseInfoLengthOffset] = f.senseInfoLength;
  record[kDataInOffset] = f.dataIn;
  Put32(record + kDataTransferLengthOffset, f.dataTransferLength);
  Put32(record + kTimeOutValueOffset, f.timeOutValue);
  Put32(record + kDataBufferOffset, f.dataBuffer);
  Put32(record + kSenseInfoOffsetOffset, f.senseInfoOffset);
  std::memcpy(record + kCdbOffset, f.cdb, kCdbCapacity);
}

PassThroughFields DecodePassThroughRecord(const uint8_t (&record)[kRecordSize]) {
  PassThroughFields f;
  f.length = Get16(record + kLengthOffset);
  f.scsiStatus = record[kScsiStatusOffset];
  f.pathId = record[kPathIdOffset];
  f.targetId = record[kTargetIdOffset];
  f.lun = record[kLunOffset];
  f.cdbLength = record[kCdbLengthOffset];
  f.senseInfoLength = record[kSenseInfoLengthOffset];
  f.dataIn = record[kDataInOffset];
  f.dataTransferLength = Get32(record + kDataTransferLengthOffset);
  f.timeOutValue = Get32(record + kTimeOutValueOffset);
  f.dataBuffer = Get32(record + kDataBufferOffset);
  f.senseInfoOffset = Get32(record + kSenseInfoOffsetOffset);
  std::memcpy(f.cdb, record + kCdbOffset, kCdbCapacity);
  return f;
}

}  // namespace tamsu
