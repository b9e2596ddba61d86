// The plug-in's decimal and hexadecimal conversions against plain reference readings of the rules.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/plugin_logic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i < size; ++i) text += static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0x100 + data[i]);

  uint64_t value = 0;
  size_t at = text.empty() || text[0] != L'-' ? 0 : 1;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at)
    value = (value * 10 + (text[at] - L'0')) & 0xFFFFFFFFu;
  const uint32_t expected =
      !text.empty() && text[0] == L'-' ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  if (tamsu::plugin::DecimalValue(text) != expected) std::abort();

  const std::vector<uint8_t> bytes = tamsu::plugin::HexBytes(text);
  bool allHex = true;
  for (wchar_t c : text)
    allHex = allHex && ((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'));
  if (!allHex && !bytes.empty()) std::abort();
  if (allHex && bytes.size() != (text.size() + 1) / 2) std::abort();
  if (allHex && text.size() % 2 == 1 && (bytes.back() & 0x0F) != 0) std::abort();
  return 0;
}
