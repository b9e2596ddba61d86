// Test support: failures the platform gives on no demand, made by replacing one import of a
// loaded module (its import address table entry) for as long as the patch lives.
#pragma once

#include <windows.h>

#include <cstring>

namespace tamsu {
namespace testing_support {

class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress && entry->Name; ++entry) {
      if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
      auto* slots = reinterpret_cast<void**>(base + entry->FirstThunk);
      for (size_t i = 0; names[i].u1.AddressOfData; ++i) {
        if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
        if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) slot_ = &slots[i];
      }
    }
    if (slot_) original_ = Swap(replacement);
  }
  ~ImportPatch() {
    if (slot_) Swap(original_);
  }
  bool applied() const { return slot_ != nullptr; }
  void* original() const { return original_; }

 private:
  void* Swap(void* value) {
    DWORD protection = 0;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    void* previous = *slot_;
    *slot_ = value;
    VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    return previous;
  }
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace testing_support
}  // namespace tamsu
