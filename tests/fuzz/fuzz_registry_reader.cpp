// The plug-in's registry argument reader on any stack: it always ends, within a few repeats of the
// last token once the stack is dry, and a complete list has its root and every slot.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/plugin_logic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  using tamsu::plugin::ReadStatus;
  using tamsu::plugin::RegistryOperation;
  const RegistryOperation operation = static_cast<RegistryOperation>(data[0] % 3);
  const bool wow64 = data[0] & 0x80;
  std::vector<std::wstring> tokens(1);
  static const wchar_t* const kWords[] = {L"/x64", L"/X86", L"/ifempty", L"HKLM", L"hkcu", L"HKU", L"HKCC", L"HKCR"};
  for (size_t i = 1; i < size; ++i) {
    const uint8_t byte = data[i];
    if (byte == 0xFF) {
      tokens.emplace_back();
    } else if (byte >= 0xF0 && byte < 0xF8) {
      tokens.back() += kWords[byte - 0xF0];
    } else {
      tokens.back() += static_cast<wchar_t>(byte);
    }
  }
  tamsu::plugin::RegistryArgumentReader reader(operation, wow64, [](const wchar_t*) {});
  std::wstring buffer;
  ReadStatus status = ReadStatus::kMore;
  size_t feeds = 0;
  for (; status == ReadStatus::kMore; ++feeds) {
    const bool popped = feeds < tokens.size();
    if (popped) buffer = tokens[feeds];
    status = reader.Feed(buffer, popped);
    if (feeds > tokens.size() + 4) std::abort();  // a dry stack must end the reading
  }
  if (status == ReadStatus::kComplete) {
    const auto& arguments = reader.arguments();
    const int slots = operation == RegistryOperation::kWriteValue  ? 3
                      : operation == RegistryOperation::kDeleteKey ? 1
                                                                   : 2;
    if (!arguments.root || arguments.filled != slots) std::abort();
    for (int i = 0; i < slots; ++i) {
      if (arguments.slots[i].empty()) std::abort();
    }
  }
  return 0;
}
