#include "installer/aid/setup_checks.h"

#include <sddl.h>
#include <wincrypt.h>

#include <cwchar>

#include "common/protocol/service_names.h"
#include "common/security/low_integrity_security.h"
#include "common/win/unique_resource.h"
#include "sdk/include/tamsu_client.h"

// From XP SP3 on (PROV_RSA_AES); the headers offer it only to builds for later systems.
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

namespace tamsu {
namespace setup {
namespace {

constexpr DWORD kPollMs = 200;

std::wstring Reason(const wchar_t* what, DWORD error) {
  wchar_t text[256];
  swprintf(text, 256, L"%ls (error %lu)", what, static_cast<unsigned long>(error));
  return text;
}

// Milliseconds left of a wait that started at `start`; 0 once it is over.
DWORD Left(DWORD start, DWORD timeoutMs) {
  const DWORD spent = GetTickCount() - start;
  return spent >= timeoutMs ? 0 : timeoutMs - spent;
}

bool QueryState(SC_HANDLE service, DWORD* state) {
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(service, &status)) return false;
  *state = status.dwCurrentState;
  return true;
}

// The monitor the service published, opened for waiting; null when none is published. The service
// keeps the id from being reused while it is published: re-read after the open, it proves the
// handle is that monitor's.
UniqueHandle OpenPublishedMonitor() {
  auto published = [] {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return 0ul;
    UniqueHKey key(raw);
    DWORD id = 0;
    DWORD type = 0;
    DWORD size = sizeof id;
    if (RegQueryValueExW(key.get(), kMonitorProcessIdValue, nullptr, &type, reinterpret_cast<BYTE*>(&id), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof id) {
      return 0ul;
    }
    return static_cast<unsigned long>(id);
  };
  const DWORD id = published();
  if (id == 0) return UniqueHandle();
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  if (process && published() != id) process.reset();
  return process;
}

}  // namespace

std::wstring RemoveServiceAndWait(const wchar_t* name, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Reason(L"the service control manager cannot be opened", GetLastError());
  {
    UniqueServiceHandle service(
        OpenServiceW(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
      const DWORD error = GetLastError();
      return error == ERROR_SERVICE_DOES_NOT_EXIST ? L"" : Reason(L"the service cannot be opened", error);
    }
    UniqueHandle monitor = OpenPublishedMonitor();
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);  // any state: the wait below decides
    DWORD state = 0;
    while (QueryState(service.get(), &state) && state != SERVICE_STOPPED && Left(start, timeoutMs) > 0) Sleep(kPollMs);
    if (state != SERVICE_STOPPED) return L"the service did not stop";
    if (monitor && WaitForSingleObject(monitor.get(), Left(start, timeoutMs)) != WAIT_OBJECT_0) {
      return L"the service stopped, but its monitor did not end";
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return Reason(L"the service cannot be deleted", GetLastError());
    }
  }
  // Marked for deletion, it stays while any program (the Services console) holds a handle to it.
  for (;;) {
    UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return L"";
    if (Left(start, timeoutMs) == 0) return L"the service is marked for deletion but stays registered";
    Sleep(kPollMs);
  }
}

std::wstring VerifyServiceRuns(const wchar_t* name, const wchar_t* program, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Reason(L"the service control manager cannot be opened", GetLastError());
  UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service) return Reason(L"the service is not registered", GetLastError());

  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  UniqueLocalMemory buffer(LocalAlloc(LMEM_ZEROINIT, needed ? needed : 1));
  auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
  if (!config || !QueryServiceConfigW(service.get(), config, needed, &needed)) {
    return Reason(L"the service's configuration cannot be read", GetLastError());
  }
  const std::wstring expected = L"\"" + std::wstring(program) + L"\"";
  if (!config->lpBinaryPathName || lstrcmpiW(config->lpBinaryPathName, expected.c_str()) != 0) {
    return L"the service runs " + std::wstring(config->lpBinaryPathName ? config->lpBinaryPathName : L"nothing") +
           L", not " + expected;
  }
  if (config->dwStartType != SERVICE_AUTO_START) return L"the service does not start automatically";

  DWORD state = 0;
  while (QueryState(service.get(), &state) && state != SERVICE_RUNNING && state != SERVICE_STOPPED &&
         Left(start, timeoutMs) > 0) {
    Sleep(kPollMs);
  }
  if (state != SERVICE_RUNNING) return state == SERVICE_STOPPED ? L"the service stopped" : L"the service did not start";

  // The client library's own rule decides whether a monitor is the service's: a list that answers,
  // with or without keys, is served by it.
  for (;;) {
    DWORD length = 0;
    const LONG listed = TamsuListKeys(nullptr, &length);
    if (listed == TAMSU_S_SUCCESS || listed == TAMSU_E_NO_READERS_AVAILABLE) return L"";
    if (Left(start, timeoutMs) == 0) {
      wchar_t text[128];
      swprintf(text, 128, L"the service runs, but no monitor of its serves the list (0x%08lX)",
               static_cast<unsigned long>(listed));
      return text;
    }
    Sleep(kPollMs);
  }
}

std::wstring ProtectInstallFolder(const wchar_t* path) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallFolderSddl, SDDL_REVISION_1, &raw, nullptr)) {
    return Reason(L"the folder's descriptor cannot be made", GetLastError());
  }
  UniqueLocalMemory descriptor(raw);
  // Made with its DACL, so that no other program can open it with the parent's rights in between.
  SECURITY_DESCRIPTOR dacl;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  // A step that fails must not leave a null DACL (everyone full control) on the new folder.
  if (!InitializeSecurityDescriptor(&dacl, SECURITY_DESCRIPTOR_REVISION) ||
      !GetSecurityDescriptorDacl(descriptor.get(), &present, &acl, &defaulted) || !present || !acl ||
      !SetSecurityDescriptorDacl(&dacl, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&dacl, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return Reason(L"the folder's descriptor cannot be made", GetLastError());
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &dacl, FALSE};
  if (!CreateDirectoryW(path, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return Reason(L"the folder cannot be made", GetLastError());
  }
  UniqueFileHandle folder(CreateFileW(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return Reason(L"the folder cannot be opened", GetLastError());
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(folder.get(), &information)) {
    return Reason(L"the folder cannot be read", GetLastError());
  }
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"the folder is a link";
  if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return L"a file has the folder's name";
  // An owner other than Administrators could give itself the rights back.
  if (!SetKernelObjectSecurity(folder.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               descriptor.get())) {
    return Reason(L"the folder's owner and rights cannot be set", GetLastError());
  }
  return L"";
}

std::wstring FileSha256(const wchar_t* path) {
  UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return L"";
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return L"";
  HCRYPTHASH hash = 0;
  bool hashed = false;
  BYTE digest[32] = {};
  if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    BYTE block[65536];
    DWORD read = 0;
    bool readable = true;
    bool more = true;
    while (readable && more) {
      readable = ReadFile(file.get(), block, sizeof block, &read, nullptr) != FALSE;
      more = readable && read > 0;
      if (more) readable = CryptHashData(hash, block, read, 0) != FALSE;
    }
    DWORD size = sizeof digest;
    hashed = readable && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  if (!hashed) return L"";
  std::wstring hex;
  const wchar_t digits[] = L"0123456789abcdef";
  for (BYTE byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

std::wstring MoveRunningProgramAway(const wchar_t* program, const wchar_t* installFolder) {
  // The temporary folder when it is on the same volume, else beside the install folder.
  wchar_t temporary[MAX_PATH] = {};
  const DWORD length = GetTempPathW(MAX_PATH, temporary);
  const std::wstring places[2] = {length > 0 && length < MAX_PATH ? temporary : L"",
                                  std::wstring(installFolder) + L"\\..\\"};
  DWORD error = ERROR_PATH_NOT_FOUND;
  for (const std::wstring& place : places) {
    if (place.empty()) continue;
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
      wchar_t name[64];
      swprintf(name, 64, L"~TamsuUninstall_%lu_%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()), attempt);
      const std::wstring target = place + name;
      if (MoveFileExW(program, target.c_str(), 0)) {
        MoveFileExW(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return L"";
      }
      error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    }
  }
  return Reason(L"the running uninstaller cannot be moved", error);
}

}  // namespace setup
}  // namespace tamsu
