#include "pinpad_binding.h"

#include <memory>
#include <new>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace pinentry {
namespace {

using IndicatorFunction = uint32_t(WINAPI*)(uint32_t, uint32_t, uint32_t, void*);
using GetKeyInfoFunction = uint32_t(WINAPI*)(uint32_t);

struct PinpadBinding {
  FARPROC indicator = nullptr;
  FARPROC unused = nullptr;
  FARPROC createKeyEx = nullptr;
  FARPROC getKeyInfo = nullptr;
  FARPROC param = nullptr;
  FARPROC verifyData = nullptr;
  FARPROC setHwnd = nullptr;
  UniqueModule library;
  PinpadParams params{};
};

}  // namespace

uint32_t runPinpadEntry(const PinEntryRequest& request) {
  std::unique_ptr<PinpadBinding> binding(new (std::nothrow) PinpadBinding);
  if (!binding) return kEntryFailed;
  binding->library.reset(LoadLibraryW(request.libraryPath));
  if (HMODULE library = binding->library.get()) {
    binding->indicator = GetProcAddress(library, "Pinpad_Indicator");
    binding->createKeyEx = GetProcAddress(library, "Pinpad_CreateKeyEx");
    binding->getKeyInfo = GetProcAddress(library, "Pinpad_GetKeyInfo");
    binding->param = GetProcAddress(library, "Pinpad_Param");
    binding->verifyData = GetProcAddress(library, "Pinpad_VerifyData");
    binding->setHwnd = GetProcAddress(library, "Pinpad_SetHwnd");
  }
  binding->params = BuildPinpadParams(request);
  if (!binding->indicator || !binding->getKeyInfo) return kPinpadMissing;
  auto getKeyInfo = reinterpret_cast<GetKeyInfoFunction>(reinterpret_cast<void*>(binding->getKeyInfo));
  auto indicator = reinterpret_cast<IndicatorFunction>(reinterpret_cast<void*>(binding->indicator));
  const uint32_t keyInfo = getKeyInfo(request.keySelector);
  return indicator(0, request.indicatorArg, keyInfo, binding->params.data());
}

}  // namespace pinentry
}  // namespace tamsu
