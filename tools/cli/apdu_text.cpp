#include "apdu_text.h"

#include <cstdio>

namespace tamsu {
namespace cli {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ':'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Shown(char c) { return std::string("'") + (c >= 0x20 && c < 0x7F ? c : '?') + "'"; }

}  // namespace

bool ParseHex(const std::string& text, Bytes* out, std::string* problem, Bytes* mask, size_t firstColumn) {
  out->clear();
  if (mask) mask->clear();
  int high = -1;
  int highBits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const size_t column = firstColumn + i;
    if (IsSeparator(c)) {
      // "0 0A" is more likely a typing slip than the byte 00.
      if (high >= 0) {
        *problem = "separator inside a byte at column " + std::to_string(column);
        return false;
      }
      continue;
    }
    int value = HexDigit(c);
    int bits = 0xF;
    if (value < 0 && mask && c == '?') {
      value = 0;
      bits = 0;
    } else if (value < 0) {
      *problem = Shown(c) + " at column " + std::to_string(column) + (mask ? " is neither a hex digit nor '?'"
                                                                           : " is not a hex digit");
      return false;
    }
    if (high < 0) {
      high = value;
      highBits = bits;
      continue;
    }
    // Counting stops at the limit, so an oversized input never grows the buffer further.
    if (out->size() == kMaxApduBytes) {
      *problem = "longer than " + std::to_string(kMaxApduBytes) + " bytes";
      return false;
    }
    out->push_back(static_cast<unsigned char>(high << 4 | value));
    if (mask) mask->push_back(static_cast<unsigned char>(highBits << 4 | bits));
    high = -1;
  }
  if (high >= 0) *problem = "odd number of hex digits";
  else if (out->empty()) *problem = "no bytes";
  return high < 0 && !out->empty();
}

bool Expectation::Matches(const Bytes& answer) const {
  if (value.size() != mask.size() || answer.size() < value.size()) return false;
  // Two bytes are the status word, whatever data come before it.
  if (value.size() != 2 && answer.size() != value.size()) return false;
  const size_t start = answer.size() - value.size();
  for (size_t i = 0; i < value.size(); ++i) {
    if ((answer[start + i] & mask[i]) != (value[i] & mask[i])) return false;
  }
  return true;
}

std::string Expectation::Text() const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < value.size() && i < mask.size(); ++i) {
    if (i) text += ' ';
    text += (mask[i] & 0xF0) ? kDigits[value[i] >> 4] : '?';
    text += (mask[i] & 0x0F) ? kDigits[value[i] & 0xF] : '?';
  }
  return text;
}

bool ParseScript(const std::string& text, std::vector<ScriptLine>* lines, std::string* problem) {
  lines->clear();
  // Editors may begin a file with the UTF-8 byte order mark.
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (unsigned number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string content = text.substr(start, end - start);
    start = end + 1;
    content = content.substr(0, content.find('#'));
    content = content.substr(0, content.find("//"));
    content.erase(content.find_last_not_of(" \t\r") + 1);
    if (content.find_first_not_of(" \t") == std::string::npos) continue;

    ScriptLine line;
    line.line = number;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t arrow = content.find("->");
    if (arrow != std::string::npos && content.find("->", arrow + 2) != std::string::npos) {
      *problem = where + "more than one \"->\"";
      return false;
    }
    std::string why;
    if (!ParseHex(content.substr(0, arrow), &line.apdu, &why)) {
      *problem = where + "malformed APDU: " + why;
      return false;
    }
    if (arrow != std::string::npos) {
      line.expects = true;
      if (!ParseHex(content.substr(arrow + 2), &line.expected.value, &why, &line.expected.mask, arrow + 3)) {
        *problem = where + "malformed expected answer: " + why;
        return false;
      }
    }
    lines->push_back(line);
  }
  return true;
}

bool WithLe(const Bytes& command, unsigned char le, Bytes* out) {
  const size_t n = command.size();
  if (n < 4) return false;
  *out = command;
  if (n == 4) {  // no body: Le is added
    out->push_back(le);
    return true;
  }
  if (n == 5) {  // Le alone
    (*out)[4] = le;
    return true;
  }
  if (command[4] != 0) {  // short Lc
    const size_t lc = command[4];
    if (n == 5 + lc) out->push_back(le);
    else if (n == 6 + lc) out->back() = le;
    else return false;
    return true;
  }
  // Extended lengths: Le is two bytes, and 256 must be written out (00 00 would ask for 65536).
  if (n < 7) return false;
  const unsigned wanted = le == 0 ? 256u : le;
  const unsigned char extended[2] = {static_cast<unsigned char>(wanted >> 8), static_cast<unsigned char>(wanted)};
  if (n == 7) {
    (*out)[5] = extended[0];
    (*out)[6] = extended[1];
    return true;
  }
  const size_t lc = static_cast<size_t>(command[5]) << 8 | command[6];
  if (lc == 0) return false;
  if (n == 7 + lc) {
    out->insert(out->end(), extended, extended + 2);
  } else if (n == 9 + lc) {
    (*out)[n - 2] = extended[0];
    (*out)[n - 1] = extended[1];
  } else {
    return false;
  }
  return true;
}

std::string HexText(const unsigned char* data, size_t length, const char* separator) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", data[i]);
    if (i) text += separator;
    text += digits;
  }
  return text;
}

std::string JsonString(const std::u16string& text) {
  std::string json = "\"";
  for (char16_t c : text) {
    if (c == u'"') json += "\\\"";
    else if (c == u'\\') json += "\\\\";
    else if (c == u'\n') json += "\\n";
    else if (c == u'\r') json += "\\r";
    else if (c == u'\t') json += "\\t";
    else if (c >= 0x20 && c < 0x7F) json += static_cast<char>(c);
    else {
      // Everything else as \uXXXX keeps the line plain ASCII whatever the console's code page.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      json += escaped;
    }
  }
  return json + "\"";
}

}  // namespace cli
}  // namespace tamsu
