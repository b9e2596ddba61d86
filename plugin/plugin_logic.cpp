#include "plugin_logic.h"

namespace tamsu {
namespace plugin {
namespace {

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

}  // namespace

bool TokenEquals(const std::wstring& token, const wchar_t* word) {
  size_t i = 0;
  for (; word && word[i]; ++i) {
    if (i >= token.size() || UpperAscii(token[i]) != UpperAscii(word[i])) return false;
  }
  return word && i == token.size();
}

uint32_t DecimalValue(const std::wstring& text) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == L'-';
  if (negative) ++at;
  uint32_t value = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
    value = value * 10u + static_cast<uint32_t>(text[at] - L'0');
  }
  return negative ? 0u - value : value;
}

std::vector<uint8_t> HexBytes(const std::wstring& text) {
  std::vector<uint8_t> bytes((text.size() + 1) / 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return {};
    if (i % 2 == 0) {
      bytes[i / 2] = static_cast<uint8_t>(digit * 16);
    } else {
      bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] + digit);
    }
  }
  return bytes;
}

FolderSecurity RWCreateSecurity(const VersionFields& now, const VersionFields& atLoad) {
  if (now.IsNt4OrOlder()) return FolderSecurity::kDefault;
  const bool labelled = atLoad.IsNt() && (atLoad.major > 6 || (atLoad.major == 6 && atLoad.minor >= 1));
  return labelled ? FolderSecurity::kNullDaclAndLowLabel : FolderSecurity::kNullDacl;
}

const wchar_t* SysVersionWord(const VersionFields& v) {
  if (v.IsNt4OrOlder()) return L"98";
  if (v.IsWin2000()) return L"2K";
  if (v.IsWinXP()) return L"XP";
  if (v.IsServer2003()) return L"2003";
  if (v.IsNt6()) return L"Vista";
  if (v.IsWin7OrLater()) return L"Win7";
  return L"unknown";
}

GarbageWindowTitles GarbageWindowTitlesFor(uint16_t systemDefaultLangId) {
  switch (systemDefaultLangId) {
    case 0x0404:
      return {L"QuillmarkHant", L"QuillmarkHantK\u5BF6"};
    case 0x0804:
      return {L"QuillmarkHans", L"QuillmarkHansK\u5B9D"};
    default:
      return {L"Internet Banking of Quillmark", L"Internet Banking of Quillmark Key"};
  }
}

std::wstring OwnerMessage(const std::wstring& textInfo, const std::vector<std::wstring>& paths) {
  std::wstring message = textInfo + L"\n\n";
  for (const std::wstring& path : paths) message += path + L"\n";
  return message;
}

RegistryArgumentReader::RegistryArgumentReader(RegistryOperation operation, bool wow64, Trace trace)
    : operation_(operation), wow64_(wow64), trace_(std::move(trace)) {}

int RegistryArgumentReader::SlotCount() const {
  switch (operation_) {
    case RegistryOperation::kWriteValue:
      return 3;
    case RegistryOperation::kDeleteKey:
      return 1;
    case RegistryOperation::kDeleteValue:
      return 2;
  }
  return 0;
}

bool RegistryArgumentReader::TakeSwitch(const std::wstring& token) {
  const bool writing = operation_ == RegistryOperation::kWriteValue;
  if (TokenEquals(token, L"/x64") && (!writing || wow64_)) {
    arguments_.view64 = true;
    trace_(L"IN /x64");
    return true;
  }
  if (TokenEquals(token, L"/x86")) {
    arguments_.view32 = true;
    trace_(L"IN /x86");
    return true;
  }
  if (operation_ == RegistryOperation::kDeleteKey && TokenEquals(token, L"/ifempty")) {
    arguments_.ifEmpty = true;
    trace_(L"IN /ifempty");
    return true;
  }
  return false;
}

ReadStatus RegistryArgumentReader::TakeRoot(const std::wstring& token) {
  for (const RootKey& root : kRootKeys) {
    if (TokenEquals(token, root.name)) {
      arguments_.root = &root;
      if (operation_ != RegistryOperation::kWriteValue) arguments_.mainKey = token;
      phase_ = Phase::kSlots;
      return ReadStatus::kMore;
    }
  }
  return ReadStatus::kUnknownRoot;
}

ReadStatus RegistryArgumentReader::TakeSlot(const std::wstring& token) {
  if (operation_ == RegistryOperation::kWriteValue) {
    trace_(arguments_.filled == 0 ? L"/SUB " : L"/Key ");
  } else {
    trace_(token.c_str());
    if (arguments_.filled == 0) trace_(L"/SUB ");
  }
  arguments_.slots[arguments_.filled++] = token;
  if (arguments_.filled == SlotCount()) phase_ = Phase::kEnd;
  return ReadStatus::kMore;
}

ReadStatus RegistryArgumentReader::Feed(const std::wstring& token, bool popped) {
  trace_(token.c_str());
  if (!popped && afterSwitch_) {
    trace_(L"IN para error ");
    return ReadStatus::kParameterError;
  }
  afterSwitch_ = TakeSwitch(token);
  if (afterSwitch_) return ReadStatus::kMore;
  if (token.empty()) {
    trace_(L"IN para error ");
    return ReadStatus::kParameterError;
  }
  trace_(L"IN 1");
  switch (phase_) {
    case Phase::kRoot:
      return TakeRoot(token);
    case Phase::kSlots:
      return TakeSlot(token);
    case Phase::kEnd:
      break;
  }
  if (operation_ == RegistryOperation::kDeleteKey) trace_(L"/over ");
  return ReadStatus::kComplete;
}

}  // namespace plugin
}  // namespace tamsu
