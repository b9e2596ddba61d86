// TamsuSerB's command-line grammar on any text, against a plain reading of the rule: a switch is a
// '-' followed by one of the letters, wherever it stands.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/host/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (c) text += c;
  }
  const tamsu::CommandLineOptions options = tamsu::ParseCommandLine(text.c_str());
  auto has = [&](wchar_t lower) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == L'-' && (text[i + 1] == lower || text[i + 1] == lower - 32)) return 1u;
    }
    return 0u;
  };
  if (options.install != has(L'i') || options.start != has(L's') || options.stop != has(L'k') ||
      options.uninstall != has(L'u') || options.monitor != has(L'm')) {
    std::abort();
  }
  return 0;
}
