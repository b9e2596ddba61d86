// The Windows-free part of the web host's registration: the setup's lists and the manifests.
#include <cstdio>
#include <cwchar>

#include "installer/aid/web_host_registration.h"

namespace tamsu {
namespace setup {

std::vector<std::wstring> SplitList(const std::wstring& commaSeparated) {
  std::vector<std::wstring> items;
  size_t start = 0;
  while (start <= commaSeparated.size()) {
    size_t stop = commaSeparated.find(L',', start);
    if (stop == std::wstring::npos) stop = commaSeparated.size();
    size_t first = start;
    size_t last = stop;
    while (first < last && (commaSeparated[first] == L' ' || commaSeparated[first] == L'\t')) ++first;
    while (last > first && (commaSeparated[last - 1] == L' ' || commaSeparated[last - 1] == L'\t')) --last;
    if (last > first) items.push_back(commaSeparated.substr(first, last - first));
    start = stop + 1;
  }
  return items;
}

// ASCII out, whatever the text: anything else as \u escapes (UTF-16 units, as JSON has them).
std::string JsonString(const std::wstring& text) {
  std::string json = "\"";
  auto escape = [&json](unsigned unit) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
    json += buffer;
  };
  for (wchar_t c : text) {
    const unsigned long code = static_cast<unsigned long>(c);
    if (c == L'"' || c == L'\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (code >= 0x20 && code < 0x7F) {
      json += static_cast<char>(c);
    } else if (code > 0xFFFF && code <= 0x10FFFF) {  // 32-bit wchar_t: a surrogate pair
      escape(static_cast<unsigned>(0xD800 + ((code - 0x10000) >> 10)));
      escape(static_cast<unsigned>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      escape(code > 0xFFFF ? 0xFFFD : static_cast<unsigned>(code));
    }
  }
  return json + "\"";
}

std::string HostManifest(const std::wstring& program, const std::vector<std::wstring>& extensions, bool firefox) {
  std::string json = "{\n  \"name\": " + JsonString(kWebHostName) + ",\n  \"description\": \"Tamsu ZUVA\",\n" +
                     "  \"path\": " + JsonString(program) + ",\n  \"type\": \"stdio\",\n  " +
                     (firefox ? "\"allowed_extensions\": [" : "\"allowed_origins\": [");
  bool first = true;
  for (const std::wstring& extension : extensions) {
    const bool chrome = extension.compare(0, wcslen(kChromeExtensionScheme), kChromeExtensionScheme) == 0;
    if (chrome == firefox) continue;  // each browser's manifest names only its own kind
    json += (first ? "" : ", ") + JsonString(extension);
    first = false;
  }
  return json + "]\n}\n";
}

}  // namespace setup
}  // namespace tamsu
