// vdInputPin: one PIN entry, run by a worker (on the secure desktop when allowed) while the
// calling thread keeps its window messages flowing.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "desktop_session.h"
#include "pinentry_logic.h"
#include "pinpad_binding.h"

namespace tamsu {
namespace pinentry {
namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Varnelle\\Tamsu_ZUVA";
constexpr wchar_t kEnableDesktopValue[] = L"EnableDesktop";
constexpr DWORD kFullAccess = 0x1F0FFF;  // PROCESS_ALL_ACCESS as defined before Vista
constexpr DWORD kWakeMask = 0xFF;        // QS_KEY .. QS_HOTKEY: every message but raw input

// The result store: written once per entry by the worker, read by the export after it.
struct ResultStore {
  CRITICAL_SECTION lock;
  uint32_t resultCode = 0;
} g_results;

// One call's state, shared by the export and its worker; whoever is last releases it, so that an
// export that returns early on WM_QUIT leaves nothing dangling for the worker.
struct PinEntryCall {
  LONG references = 2;
  UniqueHandle doneEvent;
  PinEntryRequest request;
  std::wstring libraryPath;  // the caller may free its string once the export has returned
};

void Release(PinEntryCall* call) {
  if (InterlockedDecrement(&call->references) == 0) delete call;
}

// Only one entry at a time runs in a process: the desktop session and the result store are shared.
LONG g_entryRunning = 0;

bool EnableDesktopSetting() {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return true;
  UniqueHKey key(raw);
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  const bool read = RegQueryValueExW(key.get(), kEnableDesktopValue, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                     &size) == ERROR_SUCCESS;
  return DesktopAllowed(read, type == REG_DWORD && size == sizeof value, value);
}

bool ExcludedProgramRuns(const char* imageName) {
  std::vector<DWORD> ids;
  {
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID != 0) ids.push_back(entry.th32ProcessID);
    }
  }
  for (DWORD id : ids) {
    UniqueHandle process(OpenProcess(kFullAccess, FALSE, id));
    char path[MAX_PATH] = {};
    if (!process || !GetModuleFileNameExA(process.get(), nullptr, path, MAX_PATH)) continue;
    path[MAX_PATH - 1] = 0;
    if (ContainsUpperAscii(path, imageName)) return true;
  }
  return false;
}

DWORD WINAPI PinEntryWorker(LPVOID parameter) {
  auto* call = static_cast<PinEntryCall*>(parameter);
  openDesktopSession(call->request.useSecureDesktop != 0);
  const uint32_t result = runPinpadEntry(call->request);
  {
    CriticalSectionLock hold(g_results.lock);
    g_results.resultCode = result;
  }
  closeDesktopSession();
  SetEvent(call->doneEvent.get());
  Release(call);
  InterlockedExchange(&g_entryRunning, 0);
  return 0;
}

uint32_t RunEntry(HWND ownerWindow, const wchar_t* libraryPath, uint32_t indicatorArg, uint32_t layoutBytes,
                  uint32_t keySelector, uint32_t blockWordA, uint32_t blockWordB, uint32_t blockWordC,
                  uint32_t blockWordD) {
  char excluded[128] = {};
  memcpy(excluded, kExcludedImage, sizeof kExcludedImage);
  UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!event || !ResetEvent(event.get())) return kEntryFailed;

  PinEntryRequest request;
  request.libraryPath = libraryPath;
  request.layoutLow = static_cast<uint8_t>(layoutBytes);
  request.layoutHigh = static_cast<uint8_t>(layoutBytes >> 8);
  request.indicatorArg = indicatorArg;
  request.keySelector = keySelector;
  request.blockWordA = blockWordA;
  request.blockWordB = blockWordB;
  request.blockWordC = blockWordC;
  request.blockWordD = blockWordD;
  request.useSecureDesktop = EnableDesktopSetting() ? 1 : 0;
  if (request.useSecureDesktop && ExcludedProgramRuns(excluded)) request.useSecureDesktop = 0;
  request.ownerWindow = request.useSecureDesktop ? 0 : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ownerWindow));

  if (InterlockedCompareExchange(&g_entryRunning, 1, 0) != 0) return kEntryFailed;
  auto* call = new PinEntryCall;
  call->doneEvent = std::move(event);
  call->request = request;
  call->libraryPath = libraryPath ? libraryPath : L"";
  call->request.libraryPath = call->libraryPath.c_str();
  UniqueHandle worker(CreateThread(nullptr, 0, PinEntryWorker, call, 0, nullptr));
  if (!worker) {
    delete call;
    InterlockedExchange(&g_entryRunning, 0);
    return kEntryFailed;
  }

  for (bool done = false; !done;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // The caller's own loop must still see it, or the application could not quit.
        PostQuitMessage(static_cast<int>(message.wParam));
        Release(call);
        return kEntryFailed;
      }
      DispatchMessageW(&message);
    }
    HANDLE done_event = call->doneEvent.get();
    done = MsgWaitForMultipleObjects(1, &done_event, FALSE, INFINITE, kWakeMask) == WAIT_OBJECT_0;
  }
  for (DWORD code = STILL_ACTIVE; GetExitCodeThread(worker.get(), &code) && code != 0;) Sleep(1);
  Release(call);
  CriticalSectionLock hold(g_results.lock);
  return g_results.resultCode;
}

}  // namespace
}  // namespace pinentry
}  // namespace tamsu

extern "C" __declspec(dllexport) uint32_t
    __cdecl vdInputPin(HWND ownerWindow, const wchar_t* libraryPath, uint32_t, uint32_t indicatorArg,
                       uint32_t layoutBytes, uint32_t keySelector, uint32_t blockWordA, uint32_t blockWordB, uint32_t,
                       uint32_t, uint32_t blockWordC, uint32_t blockWordD) {
  return tamsu::pinentry::RunEntry(ownerWindow, libraryPath, indicatorArg, layoutBytes, keySelector, blockWordA,
                                   blockWordB, blockWordC, blockWordD);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&tamsu::pinentry::g_results.lock);
  if (reason == DLL_PROCESS_DETACH) DeleteCriticalSection(&tamsu::pinentry::g_results.lock);
  return TRUE;
}
