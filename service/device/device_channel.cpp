#include "device_channel.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#include "device_result.h"
#include "pass_through_record.h"

namespace tamsu {
namespace {

// The byte layout the channel writes must be the platform's own structure.
static_assert(sizeof(void*) == 4, "the pass-through record carries a 32-bit process's data pointer");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == pass_through::kDirectSize, "SCSI_PASS_THROUGH_DIRECT size");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == pass_through::kDataTransferLengthOffset, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == pass_through::kTimeOutValueOffset, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == pass_through::kDataBufferOffset, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == pass_through::kSenseInfoOffsetOffset, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == pass_through::kCdbOffset, "");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == pass_through::kIoctlScsiPassThroughDirect, "");
static_assert(SCSI_IOCTL_DATA_OUT == pass_through::kDataOut && SCSI_IOCTL_DATA_IN == pass_through::kDataIn, "");
static_assert(static_cast<uint32_t>(SCARD_E_UNKNOWN_READER) == kScardEUnknownReader, "");
static_assert(static_cast<uint32_t>(SCARD_E_NOT_READY) == kScardENotReady, "");

}  // namespace

uint32_t DeviceChannel::Open(const wchar_t* devicePath) {
  Close();
  if (!devicePath) return kScardEUnknownReader;
  char path[kDevicePathAnsiCapacity];
  // Fails when the path with its terminator does not fit: such a path is refused, never cut.
  if (!WideCharToMultiByte(CP_ACP, 0, devicePath, -1, path, sizeof path, nullptr, nullptr)) {
    return kScardEUnknownReader;
  }
  HANDLE key = keyio::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (key == INVALID_HANDLE_VALUE || key == nullptr) return kScardEUnknownReader;
  handle_.reset(key);
  return kDeviceSuccess;
}

uint32_t DeviceChannel::Close() {
  handle_.reset();
  return kDeviceSuccess;
}

uint32_t DeviceChannel::PassThroughOut(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, const void* data) {
  uint32_t moved = 0;
  // The platform only reads an outgoing buffer.
  return PassThrough(pass_through::kDataOut, cdb, cdbLength, dataLength, const_cast<void*>(data), &moved);
}

uint32_t DeviceChannel::PassThroughIn(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, void* data,
                                      uint32_t* delivered) {
  return PassThrough(pass_through::kDataIn, cdb, cdbLength, dataLength, data, delivered);
}

uint32_t DeviceChannel::PassThrough(uint8_t direction, const uint8_t* cdb, size_t cdbLength, uint32_t dataLength,
                                    void* data, uint32_t* moved) {
  *moved = 0;
  if (!handle_) return kScardENotReady;
  alignas(8) uint8_t record[pass_through::kRecordSize];
  EncodePassThroughRecord(MakePassThroughFields(direction, cdb, cdbLength, dataLength,
                                                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data))),
                          record);
  DWORD returned = 0;
  if (!keyio::DeviceIoControl(handle_.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, record, sizeof record, record,
                              sizeof record, &returned, nullptr)) {
    return kScardENotReady;
  }
  // The driver writes back what it transferred: less than asked when the key had less to give.
  const PassThroughFields done = DecodePassThroughRecord(record);
  if (done.scsiStatus != 0) return kScardENotReady;
  *moved = done.dataTransferLength;
  return kDeviceSuccess;
}

uint32_t DeviceChannel::Transact(const uint8_t* command, uint32_t commandLength, uint8_t* answer,
                                 uint32_t* answerLength) {
  return tamsu::Transact(*this, command, commandLength, answer, answerLength);
}

}  // namespace tamsu
