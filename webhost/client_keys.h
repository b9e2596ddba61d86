// The host's keys on Windows: TamsuClient linked in, the PIN entry from TamsuVD_ZUVA.dll beside the
// running program.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "webhost/host_core.h"

namespace tamsu {
namespace webhost {

class ClientKeys : public KeyClient {
 public:
  // `pinpadLibrary`: the configured pinpad library; empty when none is.
  explicit ClientKeys(const std::wstring& pinpadLibrary) : pinpadLibrary_(pinpadLibrary) {}

  int32_t List(std::vector<std::string>* paths) override;
  int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) override;
  int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                   std::vector<uint8_t>* answer) override;
  int32_t Disconnect(KeyConnection connection) override;
  bool Pin(const PinRequest& request, uint32_t* result) override;

 private:
  std::wstring pinpadLibrary_;
};

}  // namespace webhost
}  // namespace tamsu
