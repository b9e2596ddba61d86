#include "webhost/access.h"

#include <cstdint>

namespace tamsu {
namespace webhost {
namespace {

constexpr char kChromeScheme[] = "chrome-extension://";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(const std::string& text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::string(prefix).size(), prefix) == 0; }

bool IsHostChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

bool IsBracketedHostChar(char c) { return (c >= 'a' && c <= 'f') || (c >= '0' && c <= '9') || c == ':' || c == '.'; }

// `chrome-extension://id/`, or empty when `text` is not such an origin.
std::string CanonicalChromeCaller(const std::string& text) {
  std::string lower = Lower(text);
  if (!StartsWith(lower, kChromeScheme)) return std::string();
  std::string id = lower.substr(sizeof kChromeScheme - 1);
  if (!id.empty() && id.back() == '/') id.pop_back();
  if (id.empty()) return std::string();
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return std::string();
  }
  return kChromeScheme + id + "/";
}

}  // namespace

bool CanonicalOrigin(const std::string& text, std::string* canonical) {
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return false;
  const std::string scheme = Lower(text.substr(0, schemeEnd));
  if (scheme != "https" && scheme != "http") return false;
  std::string rest = Lower(text.substr(schemeEnd + 3));
  if (!rest.empty() && rest.back() == '/') rest.pop_back();

  size_t hostEnd = 0;
  if (!rest.empty() && rest[0] == '[') {
    hostEnd = rest.find(']');
    if (hostEnd == std::string::npos || hostEnd < 2) return false;
    for (size_t i = 1; i < hostEnd; ++i) {
      if (!IsBracketedHostChar(rest[i])) return false;
    }
    ++hostEnd;
  } else {
    while (hostEnd < rest.size() && IsHostChar(rest[hostEnd])) ++hostEnd;
    if (hostEnd == 0) return false;
  }
  const std::string host = rest.substr(0, hostEnd);

  uint32_t port = 0;
  if (hostEnd < rest.size()) {
    if (rest[hostEnd] != ':') return false;
    const std::string digits = rest.substr(hostEnd + 1);
    if (digits.empty() || digits.size() > 5) return false;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
  }
  const uint32_t defaultPort = scheme == "https" ? 443 : 80;
  *canonical = scheme + "://" + host;
  if (port != 0 && port != defaultPort) *canonical += ":" + std::to_string(port);
  return true;
}

AccessRules::AccessRules(const std::vector<std::string>& allowedExtensions,
                         const std::vector<std::string>& allowedOrigins, bool allowDevelopmentOrigins)
    : development_(allowDevelopmentOrigins) {
  for (const std::string& entry : allowedExtensions) {
    if (StartsWith(Lower(entry), kChromeScheme)) {
      const std::string caller = CanonicalChromeCaller(entry);
      if (!caller.empty()) chromeCallers_.insert(caller);
    } else if (!entry.empty()) {
      firefoxCallers_.insert(entry);
    }
  }
  for (const std::string& entry : allowedOrigins) {
    std::string origin;
    if (CanonicalOrigin(entry, &origin) && StartsWith(origin, "https://")) origins_.insert(origin);
  }
}

bool AccessRules::CallerAllowed(const std::vector<std::string>& arguments) const {
  std::vector<const std::string*> positional;
  for (const std::string& argument : arguments) {
    if (!StartsWith(argument, "--")) positional.push_back(&argument);
  }
  if (positional.empty()) return false;
  // A first argument of the Chrome form decides alone: it never falls back to being read as Firefox's.
  if (StartsWith(Lower(*positional[0]), kChromeScheme)) {
    const std::string caller = CanonicalChromeCaller(*positional[0]);
    return !caller.empty() && chromeCallers_.count(caller) != 0;
  }
  return positional.size() >= 2 && firefoxCallers_.count(*positional[1]) != 0;
}

bool AccessRules::OriginAllowed(const std::string& origin, std::string* canonical) const {
  std::string served;
  if (!CanonicalOrigin(origin, &served)) return false;
  bool allowed = origins_.count(served) != 0;
  if (!allowed && development_) {
    const std::string hostAndPort = served.substr(0, served.find(':', 7));
    allowed = hostAndPort == "http://localhost" || hostAndPort == "http://127.0.0.1";
  }
  if (allowed) *canonical = served;
  return allowed;
}

}  // namespace webhost
}  // namespace tamsu
