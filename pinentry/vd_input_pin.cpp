// vdInputPin: one PIN entry, run by a worker (on the secure desktop when allowed) while the
// calling thread keeps its window messages flowing.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <memory>
#include <new>
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
constexpr DWORD kQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, Vista on
constexpr DWORD kImagePathChars = 32768;            // the longest path Windows names a file by
constexpr DWORD kWakeMask = 0xFF;                   // QS_KEY .. QS_HOTKEY: every message but raw input

// The result store: written once per entry by the worker, read by the export after it.
struct ResultStore {
  CRITICAL_SECTION lock;
  uint32_t resultCode = 0;
} g_results;

LONG g_entryRunning = 0;

// The right to run one entry. One at a time runs in a process (the result store is the module's);
// one secure-desktop entry at a time runs in a logon session, since a second would take the first
// one's picture for the wallpaper and switch the user away from its pinpad.
class EntryClaim {
 public:
  EntryClaim() = default;
  EntryClaim(const EntryClaim&) = delete;
  EntryClaim& operator=(const EntryClaim&) = delete;
  ~EntryClaim() {
    if (sessionGuard_) ReleaseSemaphore(sessionGuard_.get(), 1, nullptr);
    if (inProcess_) InterlockedExchange(&g_entryRunning, 0);
  }

  // False when another entry holds what this one needs.
  bool Take(bool secureDesktop) {
    inProcess_ = InterlockedCompareExchange(&g_entryRunning, 1, 0) == 0;
    if (!inProcess_ || !secureDesktop) return inProcess_;
    // A guard that cannot be had, for whatever reason, counts as held by someone else.
    UniqueHandle guard(CreateSemaphoreA(nullptr, 1, 1, EntryGuardName(CurrentSessionId()).c_str()));
    if (!guard || WaitForSingleObject(guard.get(), 0) != WAIT_OBJECT_0) return false;
    sessionGuard_ = std::move(guard);
    return true;
  }

 private:
  bool inProcess_ = false;
  UniqueHandle sessionGuard_;  // taken: released once
};

// One call, shared by the export and its worker. The stage decides who deletes it: the export,
// unless it left early on WM_QUIT; then the worker, which hands the quit back once the user's
// desktop is restored, so that an application that leaves its loop finds the user back.
struct PinEntryCall {
  enum Stage : LONG { kRunning, kCallerLeft, kWorkerDone };
  volatile LONG stage = kRunning;
  UniqueHandle doneEvent;
  PinEntryRequest request;
  std::wstring libraryPath;  // the caller may free its string once the export has returned
  EntryClaim claim;
  UniqueModule moduleReference;  // the worker's: the caller may free the library under it
  DWORD callerThread = 0;
  UniqueHandle callerThreadHandle;  // held, its id is not given to another thread
  WPARAM quitCode = 0;
};

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

using QueryFullProcessImageNameWFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

// A process's image path, read with the least access that yields it: from Vista on a limited query,
// which also reaches 64-bit processes from this 32-bit module; on XP, which lacks that query, its
// main module's path. Empty when it cannot be read.
std::wstring ImagePathOf(DWORD id, QueryFullProcessImageNameWFunction queryFullName, wchar_t* buffer) {
  DWORD length = 0;
  if (queryFullName) {
    UniqueHandle process(OpenProcess(kQueryLimitedInformation, FALSE, id));
    length = kImagePathChars;
    if (!process || !queryFullName(process.get(), 0, buffer, &length)) length = 0;
  } else {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
    if (process) length = GetModuleFileNameExW(process.get(), nullptr, buffer, kImagePathChars);
  }
  return std::wstring(buffer, length < kImagePathChars ? length : kImagePathChars);
}

bool ExcludedProgramRuns(const char* imageName) {
  std::vector<DWORD> ids;
  {
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      // The snapshot names each image file: a name that matches needs no access to its process.
      entry.szExeFile[MAX_PATH - 1] = 0;
      if (ContainsUpperAscii(entry.szExeFile, imageName)) return true;
      if (entry.th32ProcessID != 0) ids.push_back(entry.th32ProcessID);
    }
  }
  // Looked up, not imported: the module must still load on XP.
  const auto queryFullName = reinterpret_cast<QueryFullProcessImageNameWFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[kImagePathChars]);
  if (!buffer) return false;
  for (DWORD id : ids) {
    if (ContainsUpperAscii(ImagePathOf(id, queryFullName, buffer.get()), imageName)) return true;
  }
  return false;
}

void RunWorker(PinEntryCall* call) {
  DesktopSession session = openDesktopSession(call->request.useSecureDesktop != 0);
  const uint32_t result = session.refused ? kEntryFailed : runPinpadEntry(call->request);
  {
    CriticalSectionLock hold(g_results.lock);
    g_results.resultCode = result;
  }
  closeDesktopSession(session);
  SetEvent(call->doneEvent.get());
  if (InterlockedCompareExchange(&call->stage, PinEntryCall::kWorkerDone, PinEntryCall::kRunning) ==
      PinEntryCall::kCallerLeft) {
    // The call's claim goes first: a caller may answer its quit with a new entry.
    const DWORD thread = call->callerThread;
    const UniqueHandle threadHandle = std::move(call->callerThreadHandle);
    const WPARAM quitCode = call->quitCode;
    delete call;
    PostThreadMessageW(thread, WM_QUIT, quitCode, 0);
  }
}

DWORD WINAPI PinEntryWorker(LPVOID parameter) {
  auto* call = static_cast<PinEntryCall*>(parameter);
  const HMODULE self = call->moduleReference.release();
  RunWorker(call);
  FreeLibraryAndExitThread(self, 0);
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

  std::unique_ptr<PinEntryCall> call(new (std::nothrow) PinEntryCall);
  if (!call || !call->claim.Take(request.useSecureDesktop != 0)) return kEntryFailed;
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&PinEntryWorker),
                          &self)) {
    return kEntryFailed;
  }
  call->moduleReference.reset(self);
  call->doneEvent = std::move(event);
  call->libraryPath = libraryPath ? libraryPath : L"";
  call->request = request;
  call->request.libraryPath = call->libraryPath.c_str();
  call->callerThread = GetCurrentThreadId();
  HANDLE callerThread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &callerThread, SYNCHRONIZE, FALSE,
                       0)) {
    return kEntryFailed;
  }
  call->callerThreadHandle.reset(callerThread);
  UniqueHandle worker(CreateThread(nullptr, 0, PinEntryWorker, call.get(), 0, nullptr));
  if (!worker) return kEntryFailed;

  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message != WM_QUIT) {
        DispatchMessageW(&message);
        continue;
      }
      call->quitCode = message.wParam;
      if (InterlockedCompareExchange(&call->stage, PinEntryCall::kCallerLeft, PinEntryCall::kRunning) ==
          PinEntryCall::kRunning) {
        call.release();  // the worker's now
      } else {
        PostQuitMessage(static_cast<int>(message.wParam));  // the worker has already restored everything
      }
      return kEntryFailed;
    }
    HANDLE doneEvent = call->doneEvent.get();
    if (MsgWaitForMultipleObjects(1, &doneEvent, FALSE, INFINITE, kWakeMask) == WAIT_OBJECT_0) break;
  }
  WaitForSingleObject(worker.get(), INFINITE);
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
  if (reason == DLL_PROCESS_DETACH) {
    // Only a process that ends mid-entry unloads the module under a worker: its picture goes too.
    tamsu::pinentry::deletePictureLeftAtExit();
    DeleteCriticalSection(&tamsu::pinentry::g_results.lock);
  }
  return TRUE;
}
