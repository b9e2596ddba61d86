// TamsuWebHost: the browsers' native-messaging host. The browser starts it for an extension and
// talks length-prefixed JSON over standard input and output; the keys are reached through
// TamsuClient, the PIN entry through TamsuVD_ZUVA.dll beside this program.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "sdk/src/key_paths.h"
#include "tamsu_client.h"
#include "webhost/framing.h"
#include "webhost/host_core.h"

namespace {

using namespace tamsu::webhost;

// Written by the setup, per machine; only Administrators may change it.
constexpr wchar_t kConfigKey[] = L"Software\\Varnelle\\Tamsu_ZUVA\\WebHost";
constexpr DWORD kMaxConfigBytes = 64 * 1024;

static_assert(kResultSuccess == TAMSU_S_SUCCESS && kResultUnknownReader == TAMSU_E_UNKNOWN_READER &&
                  kResultTimeout == TAMSU_E_TIMEOUT && kResultSharingViolation == TAMSU_E_SHARING_VIOLATION &&
                  kResultNoService == TAMSU_E_NO_SERVICE && kResultNoReaders == TAMSU_E_NO_READERS_AVAILABLE &&
                  kResultRemovedCard == TAMSU_W_REMOVED_CARD,
              "the host's codes are TamsuClient's");

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  if (size <= 0) return std::string();
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  return bytes;
}

// A value of the configuration as UTF-16 units, at most kMaxConfigBytes; empty when it is missing
// or of another type.
std::vector<wchar_t> ReadValue(HKEY key, const wchar_t* name, DWORD wantedType) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != wantedType ||
      size > kMaxConfigBytes) {
    return {};
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');  // terminated whatever was stored
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS ||
      type != wantedType) {
    return {};
  }
  data.resize(size / sizeof(wchar_t) + 2, L'\0');
  return data;
}

std::vector<std::string> ReadList(HKEY key, const wchar_t* name) {
  std::vector<std::string> items;
  const std::vector<wchar_t> data = ReadValue(key, name, REG_MULTI_SZ);
  for (size_t start = 0; start < data.size() && data[start];) {
    size_t stop = start;
    while (stop < data.size() && data[stop]) ++stop;
    items.push_back(Utf8(std::wstring(&data[start], stop - start)));
    start = stop + 1;
  }
  return items;
}

// A missing key serves nobody.
WebHostConfig ReadConfig(std::wstring* pinpadLibrary) {
  WebHostConfig config;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &raw) != ERROR_SUCCESS) {
    return config;
  }
  tamsu::UniqueHKey key(raw);
  config.allowedExtensions = ReadList(key.get(), L"AllowedExtensions");
  config.allowedOrigins = ReadList(key.get(), L"AllowedOrigins");
  const std::vector<wchar_t> library = ReadValue(key.get(), L"PinpadLibrary", REG_SZ);
  *pinpadLibrary = library.empty() ? std::wstring() : std::wstring(library.data());
  config.pinpadLibrary = Utf8(*pinpadLibrary);
  DWORD allow = 0;
  DWORD type = 0;
  DWORD size = sizeof allow;
  config.allowDevelopmentOrigins =
      RegQueryValueExW(key.get(), L"AllowDevelopmentOrigins", nullptr, &type, reinterpret_cast<BYTE*>(&allow), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof allow && allow == 1;
  return config;
}

class HandleSource : public ByteSource {
 public:
  explicit HandleSource(HANDLE handle) : handle_(handle) {}
  size_t Read(uint8_t* buffer, size_t size) override {
    DWORD read = 0;
    const DWORD wanted = size > 65536 ? 65536 : static_cast<DWORD>(size);
    return ReadFile(handle_, buffer, wanted, &read, nullptr) ? read : 0;
  }

 private:
  HANDLE handle_;
};

class HandleSink : public ByteSink {
 public:
  explicit HandleSink(HANDLE handle) : handle_(handle) {}
  bool Write(const uint8_t* data, size_t size) override {
    while (size > 0) {
      DWORD written = 0;
      const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
      if (!WriteFile(handle_, data, chunk, &written, nullptr) || written == 0) return false;
      data += written;
      size -= written;
    }
    return true;
  }

 private:
  HANDLE handle_;
};

using InputPin = uint32_t(__cdecl*)(HWND, const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                    uint32_t, uint32_t, uint32_t, uint32_t);

class ClientKeys : public KeyClient {
 public:
  explicit ClientKeys(const std::wstring& pinpadLibrary) : pinpadLibrary_(pinpadLibrary) {}

  int32_t List(std::vector<std::string>* paths) override { return tamsu::ListKeyPaths(paths); }

  int32_t Connect(const std::string& path, uint32_t timeoutMs, KeyConnection* connection) override {
    TAMSU_KEY key = nullptr;
    const LONG result = TamsuConnect(path.c_str(), timeoutMs, &key);
    *connection = reinterpret_cast<KeyConnection>(key);
    return result;
  }

  int32_t Transmit(KeyConnection connection, const std::vector<uint8_t>& command, uint32_t timeoutMs,
                   std::vector<uint8_t>* answer) override {
    answer->assign(TAMSU_MAX_COMMAND, 0);
    DWORD length = static_cast<DWORD>(answer->size());
    const LONG result = TamsuTransmit(reinterpret_cast<TAMSU_KEY>(connection), command.data(),
                                      static_cast<DWORD>(command.size()), answer->data(), &length, timeoutMs);
    answer->resize(result == TAMSU_S_SUCCESS && length <= answer->size() ? length : 0);
    return result;
  }

  int32_t Disconnect(KeyConnection connection) override {
    return TamsuDisconnect(reinterpret_cast<TAMSU_KEY>(connection));
  }

  // The PIN entry of this package, by its full path beside this program: never one found on the
  // search path.
  bool Pin(const PinRequest& request, uint32_t* result) override {
    if (pinpadLibrary_.empty()) return false;
    wchar_t program[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring entry(program);
    entry = entry.substr(0, entry.find_last_of(L'\\') + 1) + L"TamsuVD_ZUVA.dll";
    tamsu::UniqueModule module(LoadLibraryExW(entry.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) return false;
    const auto inputPin = reinterpret_cast<InputPin>(reinterpret_cast<void*>(GetProcAddress(module.get(), "vdInputPin")));
    if (!inputPin) return false;
    *result = inputPin(nullptr, pinpadLibrary_.c_str(), 0, request.indicator, request.layout, request.keySelector,
                       request.words[0], request.words[1], 0, 0, request.words[2], request.words[3]);
    return true;
  }

 private:
  std::wstring pinpadLibrary_;
};

std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* raw = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!raw) return arguments;
  tamsu::UniqueLocalMemory owned(raw);
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8(raw[i]));
  return arguments;
}

}  // namespace

int main() {
  std::wstring pinpadLibrary;
  const WebHostConfig config = ReadConfig(&pinpadLibrary);
  ClientKeys keys(pinpadLibrary);
  WebHost host(config, Arguments(), keys);
  HandleSource input(GetStdHandle(STD_INPUT_HANDLE));
  HandleSink output(GetStdHandle(STD_OUTPUT_HANDLE));
  return RunWebHost(host, input, output);
}
