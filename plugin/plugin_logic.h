// The plug-in's decisions that need no platform: token comparison, the number conversions, the
// registry argument reader and the version words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tamsu {
namespace plugin {

// Equal apart from the case of the ASCII letters; no locale is consulted.
bool TokenEquals(const std::wstring& token, const wchar_t* word);

// Optional '-', then decimal digits up to the first other character, modulo 2^32.
uint32_t DecimalValue(const std::wstring& text);

// Two hexadecimal digits a byte, (n + 1) / 2 bytes; any other character gives no bytes at all.
std::vector<uint8_t> HexBytes(const std::wstring& text);

// The version fields the plug-in's predicates look at.
struct VersionFields {
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t productType = 0;

  bool IsNt() const { return platformId == 2; }
  bool IsNt4OrOlder() const { return IsNt() && major <= 4; }
  bool IsWin2000() const { return IsNt() && major == 5 && minor == 0; }
  bool IsWinXP() const { return IsNt() && major == 5 && minor == 1; }
  bool IsServer2003() const { return IsNt() && major == 5 && minor == 2 && productType == 3; }
  bool IsNt6() const { return IsNt() && major == 6; }
  bool IsWin7OrLater() const { return IsNt() && major >= 6 && minor >= 1; }
};

// What RWCreate gives its folders and files: nothing of its own on NT 4 and older (asked of the
// version each call reads), otherwise a null DACL, and the low label from 6.1 on, any later major
// version included (asked of the version read at load). Windows 8 to 11 report 6.2, 6.3 or 10.0,
// and low-integrity clients must be able to write there.
enum class FolderSecurity { kDefault, kNullDacl, kNullDaclAndLowLabel };
FolderSecurity RWCreateSecurity(const VersionFields& now, const VersionFields& atLoad);

// The word of the first predicate that holds, in the fixed row order.
const wchar_t* SysVersionWord(const VersionFields& version);

// The two window titles of another bank's key software, by the system's default language.
struct GarbageWindowTitles {
  const wchar_t* first;
  const wchar_t* second;
};
GarbageWindowTitles GarbageWindowTitlesFor(uint16_t systemDefaultLangId);

// The owner message: the text, an empty line, then each path on a line of its own.
std::wstring OwnerMessage(const std::wstring& textInfo, const std::vector<std::wstring>& paths);

enum class RegistryOperation { kWriteValue, kDeleteKey, kDeleteValue };

struct RootKey {
  const wchar_t* name;
  uint32_t handle;  // the predefined HKEY value
};
constexpr RootKey kRootKeys[] = {{L"HKLM", 0x80000002u},
                                 {L"HKCU", 0x80000001u},
                                 {L"HKU", 0x80000003u},
                                 {L"HKCC", 0x80000005u},
                                 {L"HKCR", 0x80000000u}};

struct RegistryArguments {
  bool view32 = false;
  bool view64 = false;
  bool ifEmpty = false;
  const RootKey* root = nullptr;
  std::wstring mainKey;   // the root token, kept by the delete operations
  std::wstring slots[3];  // sub-key, then value name, then data, as far as the operation has them
  int filled = 0;
};

enum class ReadStatus {
  kMore,            // take the next token
  kParameterError,  // "0" in $R0, nothing done
  kUnknownRoot,     // nothing done, $R0 unchanged
  kComplete,        // the list has ended: execute
};

// Classifies the tokens of one registry call, one at a time, tracing as it goes.
class RegistryArgumentReader {
 public:
  using Trace = std::function<void(const wchar_t*)>;
  // `wow64` decides whether "/x64" is a switch of the write routine.
  RegistryArgumentReader(RegistryOperation operation, bool wow64, Trace trace);

  // `token` is the argument buffer after a pop; `popped` is false when the stack was empty and the
  // buffer still holds the previous token. A dry stack right after a switch is a parameter error:
  // the switch would otherwise be seen again without end.
  ReadStatus Feed(const std::wstring& token, bool popped);

  const RegistryArguments& arguments() const { return arguments_; }

 private:
  // The root comes first, then the operation's slots in order, then one further token ends the
  // list (a dry stack shows the last one again, which is how a list without it ends). Switches
  // may come anywhere and leave the phase as it was.
  enum class Phase { kRoot, kSlots, kEnd };

  bool TakeSwitch(const std::wstring& token);
  ReadStatus TakeRoot(const std::wstring& token);
  ReadStatus TakeSlot(const std::wstring& token);
  int SlotCount() const;

  RegistryOperation operation_;
  bool wow64_;
  Trace trace_;
  RegistryArguments arguments_;
  Phase phase_ = Phase::kRoot;
  bool afterSwitch_ = false;
};

}  // namespace plugin
}  // namespace tamsu
