#include "webhost/client_keys.h"

#include "common/win/unique_resource.h"
#include "sdk/src/key_paths.h"
#include "tamsu_client.h"

namespace tamsu {
namespace webhost {
namespace {

static_assert(kResultSuccess == TAMSU_S_SUCCESS && kResultUnknownReader == TAMSU_E_UNKNOWN_READER &&
                  kResultTimeout == TAMSU_E_TIMEOUT && kResultSharingViolation == TAMSU_E_SHARING_VIOLATION &&
                  kResultNoService == TAMSU_E_NO_SERVICE && kResultNoReaders == TAMSU_E_NO_READERS_AVAILABLE &&
                  kResultRemovedCard == TAMSU_W_REMOVED_CARD,
              "the host's codes are TamsuClient's");

using InputPin = uint32_t(__cdecl*)(HWND, const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                    uint32_t, uint32_t, uint32_t, uint32_t);

}  // namespace

int32_t ClientKeys::List(std::vector<std::string>* paths) { return ListKeyPaths(paths); }

int32_t ClientKeys::Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) {
  TAMSU_KEY key = nullptr;
  const LONG result = TamsuConnect(path.c_str(), timeoutMs, &key);
  *connection = reinterpret_cast<KeyConnection>(key);
  return result;
}

int32_t ClientKeys::Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                             std::vector<uint8_t>* answer) {
  answer->assign(TAMSU_MAX_COMMAND, 0);
  DWORD length = static_cast<DWORD>(answer->size());
  const LONG result = TamsuTransmit(reinterpret_cast<TAMSU_KEY>(connection), command.data(),
                                    static_cast<DWORD>(command.size()), answer->data(), &length, timeoutMs);
  answer->resize(result == TAMSU_S_SUCCESS && length <= answer->size() ? length : 0);
  return result;
}

int32_t ClientKeys::Disconnect(KeyConnection connection) {
  return TamsuDisconnect(reinterpret_cast<TAMSU_KEY>(connection));
}

// The PIN entry of this package, by its full path beside this program: never one found on the
// search path.
bool ClientKeys::Pin(const PinRequest& request, uint32_t* result) {
  if (pinpadLibrary_.empty()) return false;
  wchar_t program[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring entry(program);
  entry = entry.substr(0, entry.find_last_of(L'\\') + 1) + L"TamsuVD_ZUVA.dll";
  UniqueModule module(LoadLibraryExW(entry.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return false;
  const auto inputPin = reinterpret_cast<InputPin>(reinterpret_cast<void*>(GetProcAddress(module.get(), "vdInputPin")));
  if (!inputPin) return false;
  *result = inputPin(nullptr, pinpadLibrary_.c_str(), 0, request.indicator, request.layout, request.keySelector,
                     request.words[0], request.words[1], 0, 0, request.words[2], request.words[3]);
  return true;
}

}  // namespace webhost
}  // namespace tamsu
