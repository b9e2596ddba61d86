// WriteRegStr, WriteRegDWORD, WriteRegBin, DeleteRegKey, DeleteRegValue: registry changes in the
// 32-bit and the 64-bit view, driven by tokens from the installer's stack.
#include <windows.h>

#include <string>

#include "call_frame.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace plugin {
namespace {

constexpr REGSAM kAccess32 = KEY_ALL_ACCESS | KEY_WOW64_32KEY;  // 0xF023F
constexpr REGSAM kAccess64 = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F
constexpr DWORD kWriteDword = 0;
constexpr DWORD kWriteString = 1;
constexpr DWORD kWriteBinary = 2;

void BeginRegistryCall(int stringSize, wchar_t* variables, StackItem** stackTop) {
  BeginCall(stringSize, variables, stackTop);
  OsVersion version;
  ProcessPrivilege().Enable(SE_DEBUG_NAME);
}

// Pops and classifies tokens until the list ends; false when the operation is to do nothing more.
bool ReadArguments(RegistryOperation operation, RegistryArguments* arguments) {
  RegistryArgumentReader reader(operation, IsWow64(), Trace);
  wchar_t parameter[kParameterSize] = {};
  for (;;) {
    const bool popped = PopArgument(parameter, kParameterSize) == 0;
    switch (reader.Feed(parameter, popped)) {
      case ReadStatus::kMore:
        continue;
      case ReadStatus::kParameterError:
        StoreVariable(kVariableR0, L"0");
        return false;
      case ReadStatus::kUnknownRoot:
        return false;
      case ReadStatus::kComplete:
        *arguments = reader.arguments();
        return true;
    }
  }
}

HKEY RootOf(const RegistryArguments& arguments) {
  return arguments.root ? reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(arguments.root->handle)) : nullptr;
}

bool SetValue(HKEY key, DWORD type, const std::wstring& name, const std::wstring& text) {
  if (type == kWriteString) {
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  if (type == kWriteDword) {
    const DWORD value = DecimalValue(text);
    return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
  }
  const std::vector<uint8_t> bytes = HexBytes(text);
  return RegSetValueExW(key, name.c_str(), 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size())) ==
         ERROR_SUCCESS;
}

// Creates the key in one view and sets the value; false when the key cannot be created.
bool WriteInView(const RegistryArguments& arguments, DWORD type, REGSAM access) {
  HKEY raw = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(RootOf(arguments), arguments.slots[0].c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                      nullptr, &raw, &disposition) != ERROR_SUCCESS) {
    Trace(L"Reg Create ERROR");
    return false;
  }
  UniqueHKey key(raw);
  Trace(arguments.slots[0].c_str());
  if (!SetValue(key.get(), type, arguments.slots[1], arguments.slots[2])) Trace(L"Could not set the Key Value.");
  return true;
}

void WriteRegistryValue(DWORD type) {
  RegistryArguments arguments;
  if (!ReadArguments(RegistryOperation::kWriteValue, &arguments)) return;
  if (arguments.view32 && !WriteInView(arguments, type, kAccess32)) return;
  if (arguments.view64) WriteInView(arguments, type, kAccess64);
}

UniqueHKey OpenKey(HKEY root, const wchar_t* subKey, REGSAM access) {
  HKEY raw = nullptr;
  return UniqueHKey(RegOpenKeyExW(root, subKey, 0, access, &raw) == ERROR_SUCCESS ? raw : nullptr);
}

// The number of subkeys of `subKey` under `parent`, when it opens.
void CountSubKeys(HKEY parent, const std::wstring& subKey, REGSAM access, DWORD* count) {
  if (!parent) return;
  UniqueHKey key = OpenKey(parent, subKey.c_str(), access);
  if (key) {
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
  }
}

// RegDeleteKeyExW exists from Vista on; looked up here so the plug-in still loads on XP.
LONG DeleteKeyIn64BitView(HKEY root, const wchar_t* subKey) {
  using RegDeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
  UniqueModule advapi(LoadLibraryA("Advapi32.dll"));
  if (!advapi) return 0;
  auto deleteKeyEx = reinterpret_cast<RegDeleteKeyExFunction>(
      reinterpret_cast<void*>(GetProcAddress(advapi.get(), "RegDeleteKeyExW")));
  return deleteKeyEx ? deleteKeyEx(root, subKey, KEY_WOW64_64KEY, 0) : 0;
}

// The two views are deleted in two ways, and the oddities are meant: installer scripts rely on
// them. The 64-bit view goes through the root with the view flag (its opened handle serves only
// the subkey count), a missing RegDeleteKeyExW (XP) counts as success there, and its failure is
// reported only when no subkeys were counted; a count taken there stays in force for the 32-bit
// step, which skips a key with subkeys instead of trying it. Neither call deletes a tree.
void DeleteKey() {
  RegistryArguments arguments;
  if (!ReadArguments(RegistryOperation::kDeleteKey, &arguments)) return;
  const HKEY root = RootOf(arguments);
  const std::wstring& subKey = arguments.slots[0];
  DWORD subKeys = 0;
  if (arguments.view64 && IsWow64()) {
    UniqueHKey base = OpenKey(root, nullptr, kAccess64);
    if (!base) Trace(L"64bit  Reg open ERROR");
    if (arguments.ifEmpty) CountSubKeys(base.get(), subKey, kAccess64, &subKeys);
    const LONG status = DeleteKeyIn64BitView(root, subKey.c_str());
    if (subKeys == 0 && status != 0) {
      StoreVariable(kVariableR0, L"0");
      Trace(L"64bit  Reg del ERROR");
      return;
    }
  }
  if (arguments.view32) {
    UniqueHKey base = OpenKey(root, nullptr, kAccess32);
    if (!base) Trace(L"32 bit Reg open ERROR");
    if (arguments.ifEmpty) CountSubKeys(base.get(), subKey, kAccess32, &subKeys);
    Trace(L"RegDeleteKey 32 BIt ");
    if (subKeys == 0 && (!base || RegDeleteKeyW(base.get(), subKey.c_str()) != ERROR_SUCCESS)) {
      StoreVariable(kVariableR0, L"0");
      return;
    }
  }
  StoreVariable(kVariableR0, L"1");
}

void DeleteValue() {
  RegistryArguments arguments;
  if (!ReadArguments(RegistryOperation::kDeleteValue, &arguments)) return;
  const HKEY root = RootOf(arguments);
  if (arguments.view64 && IsWow64()) {
    Trace(L"RegOpenKeyEx 64");
    Trace(arguments.slots[1].c_str());
    UniqueHKey key = OpenKey(root, arguments.slots[0].c_str(), kAccess64);
    if (!key) Trace(L"64bit  Reg open ERROR");
    Trace(L"64 Value");
    if (!key || RegDeleteValueW(key.get(), arguments.slots[1].c_str()) != ERROR_SUCCESS) {
      StoreVariable(kVariableR0, L"0");
      Trace(L"64bit  Reg del ERROR");
      return;
    }
  }
  if (arguments.view32) {
    UniqueHKey key = OpenKey(root, arguments.slots[0].c_str(), kAccess32);
    if (!key) Trace(L"32 bit Reg open ERROR");
    Trace(L"32 bit Value");
    if (!key || RegDeleteValueW(key.get(), arguments.slots[1].c_str()) != ERROR_SUCCESS) {
      StoreVariable(kVariableR0, L"0");
      return;
    }
  }
  StoreVariable(kVariableR0, L"1");
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu

using namespace tamsu::plugin;

PLUGIN_EXPORT(WriteRegStr) {
  BeginRegistryCall(string_size, variables, stacktop);
  WriteRegistryValue(kWriteString);
}

PLUGIN_EXPORT(WriteRegDWORD) {
  BeginRegistryCall(string_size, variables, stacktop);
  WriteRegistryValue(kWriteDword);
}

PLUGIN_EXPORT(WriteRegBin) {
  BeginRegistryCall(string_size, variables, stacktop);
  WriteRegistryValue(kWriteBinary);
}

PLUGIN_EXPORT(DeleteRegKey) {
  BeginRegistryCall(string_size, variables, stacktop);
  DeleteKey();
}

PLUGIN_EXPORT(DeleteRegValue) {
  BeginRegistryCall(string_size, variables, stacktop);
  DeleteValue();
}
