// The only code that talks to a key: open it by path, SCSI pass-through requests, transactions.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/win/unique_resource.h"
#include "key_io.h"
#include "key_transaction.h"

namespace tamsu {

constexpr size_t kDevicePathAnsiCapacity = 256;  // at most 255 ANSI characters and the terminator

class DeviceChannel final : public PassThroughPort {
 public:
  DeviceChannel() = default;
  DeviceChannel(const DeviceChannel&) = delete;
  DeviceChannel& operator=(const DeviceChannel&) = delete;

  // 0, or kScardEUnknownReader when the path is missing, too long or cannot be opened.
  uint32_t Open(const wchar_t* devicePath);
  uint32_t Close();
  bool IsOpen() const { return handle_.valid(); }

  uint32_t PassThroughOut(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, const void* data) override;
  uint32_t PassThroughIn(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, void* data,
                         uint32_t* delivered) override;

  // *answerLength: the capacity of `answer` in, the answer length L out.
  uint32_t Transact(const uint8_t* command, uint32_t commandLength, uint8_t* answer, uint32_t* answerLength);

 private:
  // *moved: the bytes the driver reports it transferred.
  uint32_t PassThrough(uint8_t direction, const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, void* data,
                       uint32_t* moved);

  // A key opened through the seam; zero while no key is held.
  UniqueResource<traits::NullIsEmpty<HANDLE, &keyio::CloseHandle>> handle_;
};

}  // namespace tamsu
