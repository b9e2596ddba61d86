#include "installer/aid/web_host_registration.h"

#include <windows.h>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace setup {
namespace {

// Browsers of either bitness read the registrations: both registry views get them.
const REGSAM kViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
constexpr DWORD kMaxListBytes = 64 * 1024;

std::wstring Reason(const std::wstring& what, LONG error) {
  return what + L" (error " + std::to_wstring(static_cast<unsigned long>(error)) + L")";
}

std::vector<std::wstring> ReadList(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ ||
      size > kMaxListBytes) {
    return {};
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<std::wstring> items;
  for (size_t start = 0; start < data.size() && data[start]; start += items.back().size() + 1) {
    items.emplace_back(&data[start]);
  }
  return items;
}

LONG WriteList(HKEY key, const wchar_t* name, const std::vector<std::wstring>& items) {
  std::wstring data;
  for (const std::wstring& item : items) data += item + L'\0';
  data += L'\0';
  return RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool WriteFileWhole(const std::wstring& path, const std::string& text) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

// Deletes `path` when it holds neither values nor subkeys.
void DeleteKeyIfEmpty(const wchar_t* parent, const wchar_t* child, REGSAM view) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(parent) + L"\\" + child).c_str(), 0, KEY_READ | view, &raw) !=
      ERROR_SUCCESS) {
    return;
  }
  UniqueHKey key(raw);
  DWORD subkeys = 1;
  DWORD values = 1;
  if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0) {
    return;
  }
  key.reset();
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | view, &raw) == ERROR_SUCCESS) {
    UniqueHKey parentKey(raw);
    RegDeleteKeyW(parentKey.get(), child);
  }
}

}  // namespace

std::wstring RegisterWebHost(const std::wstring& installFolder, const WebHostOption& extensions,
                             const WebHostOption& origins, const WebHostOption& pinpad) {
  HKEY raw = nullptr;
  LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWebHostConfigKey, 0, nullptr, 0,
                               KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &raw, nullptr);
  if (error != ERROR_SUCCESS) return Reason(L"the host's configuration key cannot be made", error);
  UniqueHKey config(raw);
  // An option not given keeps what the machine has (an upgrade); a first install serves nobody.
  const std::vector<std::wstring> extensionList =
      extensions.given ? SplitList(extensions.value) : ReadList(config.get(), L"AllowedExtensions");
  const std::vector<std::wstring> originList =
      origins.given ? SplitList(origins.value) : ReadList(config.get(), L"AllowedOrigins");
  error = WriteList(config.get(), L"AllowedExtensions", extensionList);
  if (error == ERROR_SUCCESS) error = WriteList(config.get(), L"AllowedOrigins", originList);
  if (error == ERROR_SUCCESS && pinpad.given) error = WriteString(config.get(), L"PinpadLibrary", pinpad.value);
  if (error != ERROR_SUCCESS) return Reason(L"the host's configuration cannot be written", error);

  const std::wstring program = installFolder + L"\\" + kWebHostProgram;
  const std::wstring chrome = installFolder + L"\\" + kChromeManifest;
  const std::wstring firefox = installFolder + L"\\" + kFirefoxManifest;
  if (!WriteFileWhole(chrome, HostManifest(program, extensionList, false)) ||
      !WriteFileWhole(firefox, HostManifest(program, extensionList, true))) {
    return Reason(L"the host's manifests cannot be written", static_cast<LONG>(GetLastError()));
  }
  for (const wchar_t* browser : kBrowserHostKeys) {
    const std::wstring manifest = std::wstring(browser).find(L"Mozilla") != std::wstring::npos ? firefox : chrome;
    for (REGSAM view : kViews) {
      error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(browser) + kWebHostName).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | view, nullptr, &raw, nullptr);
      if (error != ERROR_SUCCESS) return Reason(std::wstring(L"the host cannot be registered under ") + browser, error);
      UniqueHKey key(raw);
      error = WriteString(key.get(), nullptr, manifest);
      if (error != ERROR_SUCCESS) return Reason(std::wstring(L"the host cannot be registered under ") + browser, error);
    }
  }
  return L"";
}

std::wstring UnregisterWebHost(const std::wstring& installFolder) {
  std::wstring left;
  for (const wchar_t* browser : kBrowserHostKeys) {
    for (REGSAM view : kViews) {
      HKEY raw = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, browser, 0, KEY_ALL_ACCESS | view, &raw) != ERROR_SUCCESS) continue;
      UniqueHKey key(raw);
      const LONG error = RegDeleteKeyW(key.get(), kWebHostName);
      if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) left += std::wstring(L" ") + browser + kWebHostName;
    }
  }
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Varnelle\\Tamsu_ZUVA", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                    &raw) == ERROR_SUCCESS) {
    UniqueHKey product(raw);
    const LONG error = RegDeleteKeyW(product.get(), L"WebHost");
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) left += std::wstring(L" ") + kWebHostConfigKey;
  }
  // The shared vendor keys go only when nothing of another product is left in them.
  DeleteKeyIfEmpty(L"Software\\Varnelle", L"Tamsu_ZUVA", KEY_WOW64_32KEY);
  DeleteKeyIfEmpty(L"Software", L"Varnelle", KEY_WOW64_32KEY);
  for (const wchar_t* manifest : {kChromeManifest, kFirefoxManifest}) {
    const std::wstring path = installFolder + L"\\" + manifest;
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) left += L" " + path;
  }
  return left;
}

}  // namespace setup
}  // namespace tamsu
