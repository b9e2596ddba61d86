// TamsuWebHost's registration: its configuration (per machine, 32-bit view), the host manifests in
// the install folder, and the keys through which Chrome, Edge and Firefox find them.
#pragma once

#include <string>
#include <vector>

namespace tamsu {
namespace setup {

constexpr wchar_t kWebHostName[] = L"com.varnelle.tamsu_zuva";
constexpr wchar_t kWebHostProgram[] = L"TamsuWebHost.exe";
constexpr wchar_t kWebHostConfigKey[] = L"Software\\Varnelle\\Tamsu_ZUVA\\WebHost";
constexpr wchar_t kChromeManifest[] = L"com.varnelle.tamsu_zuva.json";    // Chrome and Edge
constexpr wchar_t kFirefoxManifest[] = L"com.varnelle.tamsu_zuva.firefox.json";
constexpr wchar_t kChromeExtensionScheme[] = L"chrome-extension://";
// Where Chrome, Edge and Firefox (in this order) look for a host registered per machine.
constexpr const wchar_t* kBrowserHostKeys[] = {L"Software\\Google\\Chrome\\NativeMessagingHosts\\",
                                               L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\",
                                               L"Software\\Mozilla\\NativeMessagingHosts\\"};

// A setup option: given (possibly empty) or not; one not given keeps what the machine has.
struct WebHostOption {
  bool given = false;
  std::wstring value;
};

// "a, b,,c" -> {"a", "b", "c"}: blanks around entries and empty entries dropped.
std::vector<std::wstring> SplitList(const std::wstring& commaSeparated);

// A JSON string literal, quotes included.
std::string JsonString(const std::wstring& text);

// The manifest a browser reads: Chrome's and Edge's name the extensions' origins
// ("allowed_origins"), Firefox's the extension IDs ("allowed_extensions").
std::string HostManifest(const std::wstring& program, const std::vector<std::wstring>& extensions, bool firefox);

// Empty when done, else the reason.
std::wstring RegisterWebHost(const std::wstring& installFolder, const WebHostOption& extensions,
                             const WebHostOption& origins, const WebHostOption& pinpad);
// Removes what RegisterWebHost added; empty when done, else what stays.
std::wstring UnregisterWebHost(const std::wstring& installFolder);

}  // namespace setup
}  // namespace tamsu
