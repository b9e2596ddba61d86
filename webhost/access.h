// Who may use the host: the calling extension (from the browser's arguments) and the page's origin
// (from each request). No platform calls here.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace tamsu {
namespace webhost {

// `scheme://host[:port]` with scheme and host in lower case and the scheme's default port left
// out, so that one origin has one spelling. Only http and https origins with a host of letters,
// digits, '.', '-' (or a bracketed IPv6 address) and a port of 1 to 65535 are read; a single
// trailing '/' is taken as the bare origin. Userinfo, paths, queries, fragments, '%' escapes and
// anything else are refused (false).
bool CanonicalOrigin(const std::string& text, std::string* canonical);

class AccessRules {
 public:
  // allowedExtensions: `chrome-extension://ID/` origins (the final '/' may be left out; IDs in any
  // case) and Firefox extension IDs (exact). allowedOrigins: https origins; other entries, and
  // entries that are not origins, serve nothing.
  AccessRules(const std::vector<std::string>& allowedExtensions, const std::vector<std::string>& allowedOrigins,
              bool allowDevelopmentOrigins);

  // `arguments` are the program's, without its own name. Chrome and Edge pass the caller's
  // `chrome-extension://ID/` first; Firefox passes the manifest's path, then the extension's ID.
  // Arguments starting with "--" (Chrome's --parent-window=N on Windows) are skipped.
  bool CallerAllowed(const std::vector<std::string>& arguments) const;

  // The origin as served (canonical), or false when the page may not use the host: listed https
  // origins, and http://localhost and http://127.0.0.1 on any port when development origins are
  // allowed.
  bool OriginAllowed(const std::string& origin, std::string* canonical) const;

 private:
  std::set<std::string> chromeCallers_;
  std::set<std::string> firefoxCallers_;
  std::set<std::string> origins_;
  bool development_;
};

}  // namespace webhost
}  // namespace tamsu
