// TamsuWebHost: the browsers' native-messaging host. The browser starts it for an extension and
// talks length-prefixed JSON over standard input and output; the keys are reached through
// TamsuClient, the PIN entry through TamsuVD_ZUVA.dll beside this program (client_keys.h).
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "installer/aid/web_host_registration.h"
#include "webhost/client_keys.h"
#include "webhost/framing.h"
#include "webhost/host_core.h"

namespace {

using namespace tamsu::webhost;

// Written by the setup, per machine; only Administrators may change it.
using tamsu::setup::kWebHostConfigKey;
constexpr DWORD kMaxConfigBytes = 64 * 1024;

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
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWebHostConfigKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &raw) != ERROR_SUCCESS) {
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
