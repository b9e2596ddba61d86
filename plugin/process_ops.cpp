// FindProc, KillProcessWithName and GetDllOwnerProcName: running programs and the modules they hold.
#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

#include "call_frame.h"
#include "common/win/unique_resource.h"

namespace tamsu {
namespace plugin {
namespace {

constexpr size_t kNameSize = 260;
constexpr DWORD kFindProcIdentifiers = 1000;
constexpr DWORD kKillIdentifiers = 1024;
constexpr DWORD kOwnerIdentifiers = 1024;
constexpr DWORD kModulesPerProcess = 100;
constexpr DWORD kQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x0410
constexpr DWORD kFullAccess = 0x1F0FFF;                       // PROCESS_ALL_ACCESS as defined before Vista
constexpr UINT kOwnerBoxStyle = MB_RETRYCANCEL | MB_TOPMOST;  // 0x00040005
constexpr DWORD kNoBoxPauseMs = 1000;

enum FindProcResult : int {
  kNotRunning = 0,
  kRunning = 1,
  kUnavailable = 605,
  kNoVersion = 606,
  kUnknownPlatform = 607,
  kBadName = 632,
};

UniqueHandle OpenProcessHandle(DWORD access, DWORD id) { return UniqueHandle(OpenProcess(access, FALSE, id)); }

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int FindOnNt(const wchar_t* target) {
  using EnumProcessesFunction = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
  using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
  using GetModuleBaseNameFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
  UniqueModule psapi(LoadLibraryW(L"PSAPI.DLL"));
  if (!psapi) return kUnavailable;
  auto enumProcesses = Lookup<EnumProcessesFunction>(psapi.get(), "EnumProcesses");
  auto enumProcessModules = Lookup<EnumProcessModulesFunction>(psapi.get(), "EnumProcessModules");
  auto getModuleBaseName = Lookup<GetModuleBaseNameFunction>(psapi.get(), "GetModuleBaseNameW");
  if (!enumProcesses || !enumProcessModules || !getModuleBaseName) return kUnavailable;
  UniqueLocalMemory memory(LocalAlloc(LMEM_ZEROINIT, kFindProcIdentifiers * sizeof(DWORD)));
  if (!memory) return kUnavailable;
  auto* ids = static_cast<DWORD*>(memory.get());
  DWORD bytes = 0;
  if (!enumProcesses(ids, kFindProcIdentifiers * sizeof(DWORD), &bytes)) return kUnavailable;
  for (DWORD i = 0; i < bytes / sizeof(DWORD) && i < kFindProcIdentifiers; ++i) {
    wchar_t name[kNameSize] = L"Unknown";
    if (UniqueHandle process = OpenProcessHandle(kQueryAccess, ids[i])) {
      HMODULE first = nullptr;
      DWORD needed = 0;
      if (enumProcessModules(process.get(), &first, sizeof first, &needed)) {
        getModuleBaseName(process.get(), first, name, kNameSize);
        name[kNameSize - 1] = 0;
      }
    }
    CharUpperW(name);
    if (lstrcmpW(name, target) == 0) return kRunning;
  }
  return kNotRunning;
}

// Only for platform 1, which none of the supported systems reports.
int FindOn9x(const wchar_t* target) {
  using SnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
  using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32W*);
  using ModuleWalkFunction = BOOL(WINAPI*)(HANDLE, MODULEENTRY32W*);
  UniqueModule kernel(LoadLibraryW(L"Kernel32.DLL"));
  if (!kernel) return kUnavailable;
  auto snapshot = Lookup<SnapshotFunction>(kernel.get(), "CreateToolhelp32Snapshot");
  auto processFirst = Lookup<ProcessWalkFunction>(kernel.get(), "Process32First");
  auto processNext = Lookup<ProcessWalkFunction>(kernel.get(), "Process32Next");
  auto moduleFirst = Lookup<ModuleWalkFunction>(kernel.get(), "Module32First");
  auto moduleNext = Lookup<ModuleWalkFunction>(kernel.get(), "Module32Next");
  if (!snapshot || !processFirst || !processNext || !moduleFirst || !moduleNext) return kUnavailable;
  UniqueFileHandle processes(snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes) return kUnavailable;
  PROCESSENTRY32W process = {};
  process.dwSize = sizeof process;
  for (BOOL more = processFirst(processes.get(), &process); more; more = processNext(processes.get(), &process)) {
    UniqueFileHandle modules(snapshot(TH32CS_SNAPMODULE, process.th32ProcessID));
    if (!modules) return kUnavailable;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL next = moduleFirst(modules.get(), &module); next; next = moduleNext(modules.get(), &module)) {
      if (lstrcmpW(module.szModule, target) == 0) return kRunning;
      module.dwSize = sizeof module;
    }
    process.dwSize = sizeof process;
  }
  return kNotRunning;
}

int FindProcess(const wchar_t* name) {
  const int length = lstrlenW(name);
  if (length < 1 || length > static_cast<int>(kNameSize)) return kBadName;
  wchar_t target[kNameSize + 1] = {};
  for (int i = 0; i < length; ++i) {
    target[i] = static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<unsigned short>(name[i]))))));
  }
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version)) return kNoVersion;
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) return FindOnNt(target);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return FindOn9x(target);
  return kUnknownPlatform;
}

void KillByName(const wchar_t* name) {
  DWORD ids[kKillIdentifiers] = {};
  DWORD bytes = 0;
  if (!EnumProcesses(ids, sizeof ids, &bytes)) return;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    wchar_t path[kNameSize] = {};
    UniqueHandle process = OpenProcessHandle(kFullAccess, ids[i]);
    if (!process || !GetModuleFileNameExW(process.get(), nullptr, path, kNameSize)) continue;
    path[kNameSize - 1] = 0;
    if (lstrcmpiW(PathFindFileNameW(path), name) == 0) TerminateProcess(process.get(), 0);
  }
}

struct ProcessModules {
  DWORD id;
  std::vector<std::wstring> names;  // distinct, in order of discovery
};

std::vector<ProcessModules> BuildProcessModuleTable() {
  std::vector<ProcessModules> table;
  DWORD ids[kOwnerIdentifiers] = {};
  DWORD bytes = 0;
  if (!EnumProcesses(ids, sizeof ids, &bytes)) return table;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    table.push_back({ids[i], {}});
    UniqueHandle process = OpenProcessHandle(kFullAccess, ids[i]);
    HMODULE modules[kModulesPerProcess] = {};
    DWORD needed = 0;
    if (!process || !EnumProcessModules(process.get(), modules, sizeof modules, &needed)) continue;
    const DWORD count = needed / sizeof(HMODULE) < kModulesPerProcess ? needed / sizeof(HMODULE) : kModulesPerProcess;
    for (DWORD m = 0; m < count; ++m) {
      wchar_t name[kNameSize] = {};
      const DWORD length = GetModuleBaseNameW(process.get(), modules[m], name, kNameSize);
      if (length == 0) continue;
      const std::wstring text(name, length < kNameSize ? length : kNameSize - 1);
      std::vector<std::wstring>& names = table.back().names;
      bool known = false;
      for (const std::wstring& seen : names) known = known || seen == text;
      if (!known) names.push_back(text);
    }
  }
  return table;
}

// One pass: the paths of the processes that hold the module, traced as they are found.
std::vector<std::wstring> OwnerPaths(const wchar_t* fileName) {
  const std::vector<ProcessModules> table = BuildProcessModuleTable();
  Trace(L"In GetDllOwnerNameList");
  Trace(L"In GetDllOwnerList");
  std::vector<DWORD> owners;
  for (const ProcessModules& record : table) {
    for (const std::wstring& name : record.names) {
      if (!TokenEquals(name, fileName)) continue;
      bool known = false;
      for (DWORD id : owners) known = known || id == record.id;
      if (!known) owners.push_back(record.id);
    }
  }
  std::vector<std::wstring> paths;
  for (DWORD id : owners) {
    Trace(L"GetProcessName");
    wchar_t path[kNameSize] = {};
    if (UniqueHandle process = OpenProcessHandle(kFullAccess, id)) {
      GetModuleFileNameExW(process.get(), nullptr, path, kNameSize);
      path[kNameSize - 1] = 0;
    }
    Trace(path);
    paths.push_back(path);
    Trace(path);
  }
  return paths;
}

void WaitUntilModuleIsFree() {
  wchar_t fileName[kParameterSize] = {};
  wchar_t title[kParameterSize] = {};
  wchar_t textInfo[kParameterSize] = {};
  PopArgument(fileName, kParameterSize);
  PopArgument(title, kParameterSize);
  PopArgument(textInfo, kParameterSize);
  ProcessPrivilege().Enable(SE_DEBUG_NAME);
  for (;;) {
    Trace(L"GetDllOwnerProcName::param");
    Trace(fileName);
    Trace(title);
    Trace(textInfo);
    const std::vector<std::wstring> paths = OwnerPaths(fileName);
    const std::wstring message = OwnerMessage(textInfo, paths);
    Trace(message.c_str());
    if (paths.empty()) {
      StoreVariable(kVariableR0, L"OK");
      return;
    }
    // Retry, Cancel or closing the box: each leads to the next look. With no desktop to show it on
    // (a service's session) the box fails at once: the next look waits, not to spin at full speed.
    if (MessageBoxW(nullptr, message.c_str(), title, kOwnerBoxStyle) == 0) {
      Trace(L"GetDllOwnerProcName::no message box, next look in 1 s");
      Sleep(kNoBoxPauseMs);
    }
  }
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu

using namespace tamsu::plugin;

PLUGIN_EXPORT(FindProc) {
  BeginCall(string_size, variables, stacktop);
  wchar_t name[kParameterSize] = {};
  PopArgument(name, kParameterSize);
  const int result = FindProcess(name);
  _snwprintf(name, kParameterSize, L"%d", result);
  name[kParameterSize - 1] = 0;
  StoreVariable(kVariableR0, name);
}

PLUGIN_EXPORT(KillProcessWithName) {
  BeginCall(string_size, variables, stacktop);
  wchar_t name[kNameSize] = {};
  PopArgument(name, kNameSize);
  // The service's own processes run as LocalSystem: an administrator's installer opens them only
  // with the debug privilege enabled.
  ProcessPrivilege().Enable(SE_DEBUG_NAME);
  KillByName(name);
}

PLUGIN_EXPORT(GetDllOwnerProcName) {
  BeginCall(string_size, variables, stacktop);
  WaitUntilModuleIsFree();
}
