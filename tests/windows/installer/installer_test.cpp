// The package's setup program (TamsuSetup_ZUVA.exe, built by makensis beside this test) installed
// silently for real, then uninstalled: what it puts where, what runs, and that nothing is left.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/security/low_integrity_security.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "process/cli_status.h"
#include "process/windows_version.h"
#include "soak/load.h"

#ifndef LABEL_SECURITY_INFORMATION
#define LABEL_SECURITY_INFORMATION 0x00000010L
#endif
#ifndef SYSTEM_MANDATORY_LABEL_ACE_TYPE
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE 0x11
#endif

namespace tamsu {
namespace {

using testing_support::Is64BitWindows;

using testing_support::ChildProcess;
using testing_support::ProcessEntry;
using testing_support::ProcessesNamed;

using testing_support::ProgramFolder;
using testing_support::WaitUntil;

using testing_support::Figure;
using testing_support::HasFinding;

const wchar_t kServiceName[] = L"Tamsu Service _ZUVA";
const wchar_t kProgram[] = L"TamsuSerB.exe";
const wchar_t kUninstaller[] = L"uninstall.exe";
const wchar_t kDataFolder[] = L"Data";
// The files the setup installs: their names in the install folder and in the payload.
struct Deliverable {
  const wchar_t* name;
  const wchar_t* shipped;
};
const Deliverable kDeliverables[] = {{L"TamsuSerB.exe", L"TamsuSerB.exe"},
                                     {L"TamsuVD_ZUVA.dll", L"TamsuVD_ZUVA.dll"},
                                     {L"Plugin_ZUVA.dll", L"Plugin_ZUVA.dll"},
                                     {L"TamsuWebHost.exe", L"TamsuWebHost.exe"},
                                     {L"TamsuCli.exe", L"tools\\TamsuCli.exe"}};
// The browsers' host: its configuration, and where each browser finds its manifest.
const wchar_t kWebHostConfig[] = L"Software\\Varnelle\\Tamsu_ZUVA\\WebHost";
const wchar_t kChromeManifest[] = L"com.varnelle.tamsu_zuva.json";
const wchar_t kFirefoxManifest[] = L"com.varnelle.tamsu_zuva.firefox.json";
const wchar_t* const kBrowserHostKeys[] = {L"Software\\Google\\Chrome\\NativeMessagingHosts\\com.varnelle.tamsu_zuva",
                                           L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.varnelle.tamsu_zuva",
                                           L"Software\\Mozilla\\NativeMessagingHosts\\com.varnelle.tamsu_zuva"};
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamsu_ZUVA";
const wchar_t kVendorKey[] = L"Software\\Varnelle";
const wchar_t kUserKey[] = L"Software\\Varnelle\\Tamsu_ZUVA";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"TamsuReg_ZUVA.exe";
const DWORD kSetupTimeoutMs = 120000;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Where a 32-bit package goes by default: %ProgramFiles% of this 32-bit process ("Program Files
// (x86)" on 64-bit Windows).
std::wstring DefaultInstallFolder() {
  wchar_t folder[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%ProgramFiles%", folder, MAX_PATH);
  return std::wstring(folder) + L"\\Tamsu_ZUVA";
}

// Another place the user may choose (/D=), blanks included.
const wchar_t kChosenFolder[] = L"C:\\Tamsu Chosen Folder";

// The folder the test at hand expects the package in.
std::wstring g_installFolder;

std::wstring InstallFolder() { return g_installFolder; }

std::wstring InInstallFolder(const wchar_t* name) { return InstallFolder() + L"\\" + name; }

// The folder of the files the setup under test carries, as a Windows path (Wine maps Z: to the
// root): dist/, or the folder TAMSU_SETUP_PAYLOAD names, a copy of dist/ with its own
// TamsuSetup_ZUVA.exe (the signing check's signed one), which then stands in for the setup built
// beside this test.
std::string PayloadVariable() {
  std::vector<char> value(32768);  // the longest a variable can be
  const DWORD length = GetEnvironmentVariableA("TAMSU_SETUP_PAYLOAD", value.data(), static_cast<DWORD>(value.size()));
  return std::string(value.data(), length < value.size() ? length : 0);
}
bool PayloadGiven() { return !PayloadVariable().empty(); }
std::wstring PayloadFolder() {
  const std::string unix = (PayloadGiven() ? PayloadVariable() : std::string(TAMSU_DIST_DIR)) + "/";
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

// The shipped files.
std::wstring Shipped(const wchar_t* name) { return PayloadFolder() + name; }

// A build of the package: "TamsuSetup_ZUVA.exe" (the shipped one), "TamsuSetup_dud.exe" whose
// service program cannot serve, "TamsuSetup_newer.exe".
std::wstring SetupProgram(const wchar_t* name) {
  return (PayloadGiven() && lstrcmpW(name, L"TamsuSetup_ZUVA.exe") == 0 ? PayloadFolder() : ProgramFolder()) + name;
}

// Runs a command line exactly as a deployment tool would take it from the registry. Returns the
// whole exit code, or 0xBAD0 when it cannot start and 0xBAD2 on time-out (then it is killed).
DWORD RunCommandLine(std::wstring commandLine, DWORD timeoutMs) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return 0xBAD0;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 0xDEAD);
    WaitForSingleObject(process.get(), 5000);
    return 0xBAD2;
  }
  DWORD code = 0xBAD1;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

// A program with its arguments given as is (NSIS reads "/S" and "_?=" only unquoted).
DWORD RunCommand(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
  return RunCommandLine(L"\"" + program + L"\" " + arguments, timeoutMs);
}

// `options` after /S; NSIS wants /D= last and unquoted. `setup`: the build of the package.
DWORD RunSetup(const std::wstring& options = L"", const wchar_t* setup = L"TamsuSetup_ZUVA.exe") {
  return RunCommand(SetupProgram(setup), L"/S" + options, kSetupTimeoutMs);
}

// Where a run logs without /LOG=: the temporary folder of the user who runs it.
std::wstring DefaultLog(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}
const wchar_t kSetupLog[] = L"TamsuSetup_ZUVA.log";
const wchar_t kUninstallLog[] = L"TamsuUninstall_ZUVA.log";

std::string LogOf(const std::wstring& path) { return testing_support::ReadText(path); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------------------------------------
// Processes and the service

// The monitor children: TamsuSerB.exe processes started by another TamsuSerB.exe (the service).
std::vector<DWORD> MonitorChildren() { return testing_support::ChildrenOfSameName(kProgram); }

// The program file a process was started from.
std::wstring ImagePath(DWORD processId) {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  if (!snapshot || !Module32FirstW(snapshot.get(), &module)) return L"<unknown>";
  return module.szExePath;
}

bool NoServiceProcess() { return ProcessesNamed(kProgram).empty(); }

bool ServiceExists() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return UniqueServiceHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)).valid();
}

DWORD ServiceState() { return testing_support::ServiceState(kServiceName); }

std::wstring ServiceBinaryPath() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  std::vector<BYTE> buffer(8192);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD needed = 0;
  if (!service || !QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
    return L"<no service>";
  }
  return config->lpBinaryPathName ? config->lpBinaryPathName : L"";
}

// ---------------------------------------------------------------------------------------------
// Registry, in one view (KEY_WOW64_32KEY or KEY_WOW64_64KEY)

UniqueHKey OpenKey(HKEY root, const wchar_t* path, REGSAM view, REGSAM access = KEY_READ) {
  HKEY raw = nullptr;
  return UniqueHKey(RegOpenKeyExW(root, path, 0, access | view, &raw) == ERROR_SUCCESS ? raw : nullptr);
}

bool KeyExists(HKEY root, const wchar_t* path, REGSAM view) { return OpenKey(root, path, view).valid(); }

bool ValueExists(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
  UniqueHKey key = OpenKey(root, path, view);
  return key && RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::wstring ReadString(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
  UniqueHKey key = OpenKey(root, path, view);
  if (!key) return L"<no key>";
  wchar_t data[1024] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return type == REG_SZ ? data : L"<not a string>";
}

// The DWORD's value, or -1 when it is missing or of another type.
long long ReadDword(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
  UniqueHKey key = OpenKey(root, path, view);
  DWORD data = 0;
  DWORD size = sizeof data;
  DWORD type = 0;
  if (!key || RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != 0 ||
      type != REG_DWORD) {
    return -1;
  }
  return data;
}

// A REG_MULTI_SZ's strings; {"<none>"} when it is missing or of another type.
std::vector<std::wstring> ReadList(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
  UniqueHKey key = OpenKey(root, path, view);
  std::vector<wchar_t> data(8192);
  DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
  DWORD type = 0;
  if (!key || RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != 0 ||
      type != REG_MULTI_SZ) {
    return {L"<none>"};
  }
  std::vector<std::wstring> items;
  for (const wchar_t* item = data.data(); *item; item += wcslen(item) + 1) items.push_back(item);
  return items;
}

void WriteDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value, REGSAM view) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &raw, nullptr));
  UniqueHKey key(raw);
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

void WriteString(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text, REGSAM view) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &raw, nullptr));
  UniqueHKey key(raw);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t))));
}

// A REG_MULTI_SZ of non-empty strings.
void WriteList(HKEY root, const wchar_t* path, const wchar_t* name, const std::vector<std::wstring>& items,
               REGSAM view) {
  std::wstring data;
  for (const std::wstring& item : items) data += item + L'\0';
  data += L'\0';
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &raw, nullptr));
  UniqueHKey key(raw);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size() * sizeof(wchar_t))));
}

void DeleteValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
  if (UniqueHKey key = OpenKey(root, path, view, KEY_SET_VALUE)) RegDeleteValueW(key.get(), name);
}

void DeleteKey(HKEY root, const wchar_t* parent, const wchar_t* child, REGSAM view) {
  if (UniqueHKey key = OpenKey(root, parent, view, KEY_ALL_ACCESS)) RegDeleteKeyW(key.get(), child);
}

// ---------------------------------------------------------------------------------------------
// Files

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Contents(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string data;
  if (!file) return "<unreadable>";
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) data.append(buffer, read);
  return data;
}

// Names in a folder, "." and ".." left out.
std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

struct FolderSecurity {
  bool read = false;
  bool nullDacl = false;
  DWORD labelRid = 0;  // 0: no mandatory label
};

FolderSecurity SecurityOf(const std::wstring& path) {
  FolderSecurity result;
  DWORD needed = 0;
  SECURITY_INFORMATION wanted = DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
  GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &needed);
  if (needed == 0) {  // before Vista there are no labels to ask for
    wanted = DACL_SECURITY_INFORMATION;
    GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &needed);
  }
  if (needed == 0) return result;
  std::vector<BYTE> buffer(needed);
  if (!GetFileSecurityW(path.c_str(), wanted, buffer.data(), needed, &needed)) return result;
  result.read = true;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted)) result.nullDacl = present && !dacl;
  PACL sacl = nullptr;
  if (GetSecurityDescriptorSacl(buffer.data(), &present, &sacl, &defaulted) && present && sacl) {
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (!GetAce(sacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) continue;
      // Header, mask, then the label's SID, whose last sub-authority is the level.
      PSID sid = reinterpret_cast<BYTE*>(ace) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
      result.labelRid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    }
  }
  return result;
}

// Whether this system keeps a folder's security as created: Wine, for one, does not keep a null
// DACL given to CreateDirectory, and then no folder's rights can be checked.
bool FolderSecurityIsKept() {
  const std::wstring probe = testing_support::TemporaryFileName(L"sdp") + L".dir";
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  if (!CreateDirectoryW(probe.c_str(), &attributes)) return false;
  const bool kept = SecurityOf(probe).nullDacl;
  RemoveDirectoryW(probe.c_str());
  return kept;
}

// The install folder's rights, ACE by ACE: owned by Administrators, nothing inherited from the
// parent, and exactly full control for LocalSystem and Administrators and read and execute for
// Users, each passed on to files and folders beneath.
void ExpectInstallFolderRights(PSECURITY_DESCRIPTOR descriptor, const char* what) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision)) << what;
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << what << ": the parent's rights are inherited";
  auto sidText = [](PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return std::string("<none>");
    UniqueLocalMemory owned(text);
    return Narrow(text);
  };
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) << what;
  EXPECT_EQ("S-1-5-32-544", sidText(owner)) << what << ": not owned by Administrators";
  BOOL present = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) << what;
  ASSERT_TRUE(present && dacl) << what << ": no DACL, everyone has full control";
  const struct {
    const char* sid;
    ACCESS_MASK mask;
  } expected[] = {{"S-1-5-18", FILE_ALL_ACCESS},
                  {"S-1-5-32-544", FILE_ALL_ACCESS},
                  {"S-1-5-32-545", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  ASSERT_EQ(3u, dacl->AceCount) << what;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace))) << what;
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType) << what << ", ACE " << i;
    EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags) << what << ", ACE " << i;
    EXPECT_EQ(expected[i].mask, ace->Mask) << what << ", ACE " << i;
    EXPECT_EQ(expected[i].sid, sidText(&ace->SidStart)) << what << ", ACE " << i;
  }
}

// What Windows does at the next restart: (source, target) pairs, "" target for a deletion, "!"
// before a target that may be replaced.
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::pair<std::wstring, std::wstring>> PendingRenames() {
  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  UniqueHKey key = OpenKey(HKEY_LOCAL_MACHINE, kSessionManager, KEY_WOW64_64KEY);
  std::vector<wchar_t> data(65536);
  DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
  if (!key || RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return pairs;
  }
  std::vector<std::wstring> strings;
  for (const wchar_t* text = data.data(); text < data.data() + size / sizeof(wchar_t); text += wcslen(text) + 1) {
    strings.push_back(text);
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) pairs.emplace_back(strings[i], strings[i + 1]);
  return pairs;
}

void ForgetPendingRenames() {
  DeleteValue(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", KEY_WOW64_64KEY);
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && lstrcmpiW(text.c_str() + text.size() - end.size(), end.c_str()) == 0;
}

// A client program holding the installed library, as a bank's front end would.
bool HoldsModule(DWORD processId, const wchar_t* name) {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  for (BOOL more = snapshot && Module32FirstW(snapshot.get(), &module); more;
       more = Module32NextW(snapshot.get(), &module)) {
    if (lstrcmpiW(module.szModule, name) == 0) return true;
  }
  return false;
}

// A top-level window of the process with that button: the installer's own window has OK (its
// Install and Close), GetDllOwnerProcName's box has Retry.
struct WindowSearch {
  DWORD processId;
  int buttonId;
  HWND found;
};
BOOL CALLBACK FindWindowWithButton(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->processId && GetDlgItem(window, search->buttonId)) search->found = window;
  return search->found == nullptr;
}
HWND WindowWithButton(DWORD processId, int buttonId) {
  WindowSearch search = {processId, buttonId, nullptr};
  EnumWindows(FindWindowWithButton, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// ---------------------------------------------------------------------------------------------

class PackageInstaller : public ::testing::Test {
 protected:
  // Runs the registered quiet uninstall exactly as written: when it returns, everything is gone.
  // The running uninstaller moves itself out of its folder; where the system cannot move a running
  // program (Wine cannot), it and its folder go at the next restart, with 3010.
  static void UninstallAsRegistered() {
    DeleteFileW(DefaultLog(kUninstallLog).c_str());
    ForgetPendingRenames();
    const std::wstring quiet = ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString", KEY_WOW64_32KEY);
    const DWORD start = GetTickCount();
    const DWORD code = RunCommandLine(quiet, kSetupTimeoutMs);
    std::printf("[figure] quiet uninstall: %lu ms\n", GetTickCount() - start);
    const std::string log = LogOf(DefaultLog(kUninstallLog));
    const bool moved = !Contains(log, "the running uninstaller cannot be moved");
    EXPECT_EQ(moved ? 0u : 3010u, code) << log;
    ExpectRemoved(!moved);
    EXPECT_TRUE(Contains(log, "Service stopped and removed: ok") && Contains(log, "Exit code ")) << log;
    ForgetPendingRenames();
  }

  void SetUp() override {
    ASSERT_TRUE(IsFile(SetupProgram(L"TamsuSetup_ZUVA.exe"))) << "makensis did not build the setup program";
    RemoveEverywhere();
    g_installFolder = DefaultInstallFolder();
    ASSERT_FALSE(ServiceExists()) << "a service is left from before";
    ASSERT_FALSE(Exists(DefaultInstallFolder())) << "the install folder is left from before";
    ASSERT_FALSE(Exists(kChosenFolder)) << "the chosen folder is left from before";
  }

  static void RemoveEverywhere() {
    for (const std::wstring& folder : {DefaultInstallFolder(), std::wstring(kChosenFolder)}) {
      g_installFolder = folder;
      RemoveEverything();
    }
  }

  void TearDown() override {
    RemoveEverywhere();
    DeleteValue(HKEY_CURRENT_USER, kVendorKey, L"OtherProduct", KEY_WOW64_32KEY);
    DeleteKey(HKEY_CURRENT_USER, L"Software", L"Varnelle", KEY_WOW64_32KEY);
  }

  // Whatever a failed run left: the service, its processes, files and the package's registry data.
  static void RemoveEverything() {
    if (IsFile(InInstallFolder(kProgram))) RunCommand(InInstallFolder(kProgram), L"-k -u", 30000);
    testing_support::KillProcessesNamed(kProgram);
    for (const Deliverable& file : kDeliverables) {
      DeleteFileW(InInstallFolder(file.name).c_str());
      DeleteFileW((InInstallFolder(file.name) + L".new").c_str());
    }
    DeleteFileW(InInstallFolder(kUninstaller).c_str());
    DeleteFileW(InInstallFolder(kChromeManifest).c_str());
    DeleteFileW(InInstallFolder(kFirefoxManifest).c_str());
    const std::wstring data = InInstallFolder(kDataFolder);
    for (const std::wstring& name : FolderEntries(data)) DeleteFileW((data + L"\\" + name).c_str());
    RemoveDirectoryW(data.c_str());
    RemoveDirectoryW(InstallFolder().c_str());
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      DeleteKey(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", L"Tamsu_ZUVA", view);
      DeleteValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, view);
      for (const wchar_t* browserKey : kBrowserHostKeys) {
        const std::wstring key = browserKey;
        DeleteKey(HKEY_LOCAL_MACHINE, key.substr(0, key.rfind(L'\\')).c_str(), L"com.varnelle.tamsu_zuva", view);
      }
      DeleteKey(HKEY_LOCAL_MACHINE, L"Software\\Varnelle\\Tamsu_ZUVA", L"WebHost", view);
    }
    DeleteValue(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", KEY_WOW64_32KEY);
    DeleteKey(HKEY_CURRENT_USER, kVendorKey, L"Tamsu_ZUVA", KEY_WOW64_32KEY);
  }

  // `enableDesktop`: the user's own choice, which an upgrade keeps; `version`: the uninstall
  // entry's, which a failed upgrade leaves as it was.
  static void ExpectInstalled(long long enableDesktop = 1, const wchar_t* version = L"1.0.0.0") {
    const std::wstring folder = InstallFolder();
    const std::wstring program = InInstallFolder(kProgram);

    // The service, running from the install folder, and its monitor child from there too.
    ASSERT_TRUE(ServiceExists()) << "no service \"" << Narrow(kServiceName) << "\"";
    EXPECT_TRUE(WaitUntil(10000, [] { return ServiceState() == SERVICE_RUNNING; })) << "state " << ServiceState();
    EXPECT_EQ(L"\"" + program + L"\"", ServiceBinaryPath()) << "the binary path must be quoted (blanks in it)";
    ASSERT_TRUE(WaitUntil(15000, [] { return !MonitorChildren().empty(); })) << "no monitor child";
    const std::vector<DWORD> children = MonitorChildren();
    EXPECT_EQ(1u, children.size()) << "one service, one monitor";
    EXPECT_EQ(0, lstrcmpiW(program.c_str(), ImagePath(children[0]).c_str()))
        << "the monitor runs " << Narrow(ImagePath(children[0]));

    // The deliverables as shipped, and the uninstaller; nothing staged or kept is left over.
    for (const Deliverable& file : kDeliverables) {
      EXPECT_TRUE(IsFile(InInstallFolder(file.name))) << Narrow(file.name) << " is missing";
      EXPECT_TRUE(Contents(Shipped(file.shipped)) == Contents(InInstallFolder(file.name)))
          << Narrow(file.name) << " differs from dist/";
    }
    EXPECT_TRUE(IsFile(InInstallFolder(kUninstaller)));
    for (const std::wstring& name : FolderEntries(folder)) {
      bool pending = false;  // a replacement waiting for the restart
      for (const auto& rename : PendingRenames()) pending = pending || EndsWith(rename.first, L"\\" + name);
      EXPECT_FALSE((EndsWith(name, L".new") && !pending) || EndsWith(name, L".old")) << Narrow(name) << " is left over";
    }

    // The folder low-integrity clients write to: open to all (a null DACL), labelled low if at all.
    const std::wstring data = InInstallFolder(kDataFolder);
    ASSERT_TRUE(IsFolder(data)) << "no folder " << Narrow(data);
    if (FolderSecurityIsKept()) {
      const FolderSecurity security = SecurityOf(data);
      ASSERT_TRUE(security.read) << "the folder's security cannot be read: " << GetLastError();
      EXPECT_TRUE(security.nullDacl) << "the folder was not made by RWCreate (its DACL is not null)";
      // Whether the plug-in adds the low label depends on the version the installer is told.
      if (security.labelRid != 0) {
        EXPECT_EQ(static_cast<DWORD>(SECURITY_MANDATORY_LOW_RID), security.labelRid) << "labelled, but not low";
      }
    } else {
      std::printf("[note] this system does not keep folder security: the data folder's rights are not checked\n");
    }

    // The uninstall entry: in the 32-bit view only.
    const REGSAM view32 = KEY_WOW64_32KEY;
    EXPECT_EQ(L"Tamsu ZUVA", ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName", view32));
    // Run in place, so that whoever runs them waits for the whole uninstall.
    EXPECT_EQ(L"\"" + InInstallFolder(kUninstaller) + L"\" _?=" + folder,
              ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"UninstallString", view32));
    EXPECT_EQ(L"\"" + InInstallFolder(kUninstaller) + L"\" /S _?=" + folder,
              ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString", view32));
    EXPECT_EQ(folder, ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation", view32));
    EXPECT_EQ(version, ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", view32));
    EXPECT_EQ(L"Varnelle", ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"Publisher", view32));
    EXPECT_EQ(1, ReadDword(HKEY_LOCAL_MACHINE, kUninstallKey, L"NoModify", view32));
    EXPECT_EQ(1, ReadDword(HKEY_LOCAL_MACHINE, kUninstallKey, L"NoRepair", view32));
    EXPECT_EQ(Is64BitWindows() ? L"1" : L"0", ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"Is64BitWindows", view32));
    // The installer's manifest declares every Windows up to 10: it is told the true version.
    EXPECT_EQ(Narrow(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"SysVersion", view32)),
              testing_support::SysVersionWord(testing_support::TrueVersion()));
    if (Is64BitWindows()) {
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY)) << "the entry is in the 64-bit view";
    }

    EXPECT_EQ(enableDesktop, ReadDword(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", KEY_WOW64_32KEY))
        << "not the DWORD expected: an upgrade keeps the user's value, a first install writes 1";

    // Every browser finds the web host's manifest, in either registry view.
    for (const wchar_t* browserKey : kBrowserHostKeys) {
      const bool firefox = wcsstr(browserKey, L"Mozilla") != nullptr;
      for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        EXPECT_EQ(InInstallFolder(firefox ? kFirefoxManifest : kChromeManifest),
                  ReadString(HKEY_LOCAL_MACHINE, browserKey, nullptr, view))
            << Narrow(browserKey) << ", view " << view;
      }
    }
    std::string escaped;  // the host's path as JSON writes it
    for (wchar_t c : InInstallFolder(L"TamsuWebHost.exe")) escaped += c == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
    for (const wchar_t* manifest : {kChromeManifest, kFirefoxManifest}) {
      const std::string text = Contents(InInstallFolder(manifest));
      EXPECT_TRUE(Contains(text, "\"name\": \"com.varnelle.tamsu_zuva\"") && Contains(text, "\"type\": \"stdio\"") &&
                  Contains(text, "\"path\": \"" + escaped + "\""))
          << Narrow(manifest) << ":\n" << text;
    }

    // The service's own Run value, so that its removal below means something.
    const REGSAM serviceView = Is64BitWindows() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    EXPECT_TRUE(WaitUntil(10000, [serviceView] {
      return ReadString(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, serviceView) == kRunValue;
    })) << "the service did not write its Run value";
  }

  // The web host serves the extensions and origins the setup was given (both empty: nobody);
  // each browser's manifest names only its own kind of extension.
  static void ExpectWebHostLists(const std::vector<std::wstring>& extensions, const std::vector<std::wstring>& origins,
                                 const char* chromeExtensions, const char* firefoxExtensions) {
    EXPECT_EQ(extensions, ReadList(HKEY_LOCAL_MACHINE, kWebHostConfig, L"AllowedExtensions", KEY_WOW64_32KEY));
    EXPECT_EQ(origins, ReadList(HKEY_LOCAL_MACHINE, kWebHostConfig, L"AllowedOrigins", KEY_WOW64_32KEY));
    const std::string chrome = Contents(InInstallFolder(kChromeManifest));
    const std::string firefox = Contents(InInstallFolder(kFirefoxManifest));
    EXPECT_TRUE(Contains(chrome, std::string("\"allowed_origins\": [") + chromeExtensions + "]")) << chrome;
    EXPECT_TRUE(Contains(firefox, std::string("\"allowed_extensions\": [") + firefoxExtensions + "]")) << firefox;
  }

  // Everything of the package gone, the uninstaller and the install folder too; where
  // `uninstallerAtRestart`, those two go at the next restart.
  static void ExpectRemoved(bool uninstallerAtRestart = false) {
    EXPECT_FALSE(ServiceExists()) << "the service is still there";
    EXPECT_TRUE(WaitUntil(10000, NoServiceProcess)) << "a TamsuSerB.exe still runs";
    for (const Deliverable& file : kDeliverables) {
      EXPECT_FALSE(Exists(InInstallFolder(file.name))) << Narrow(file.name) << " is left";
    }
    EXPECT_FALSE(Exists(InInstallFolder(kDataFolder))) << "the data folder is left";
    if (uninstallerAtRestart) {
      EXPECT_EQ(std::vector<std::wstring>{kUninstaller}, FolderEntries(InstallFolder()));
      bool uninstaller = false;
      bool folder = false;
      std::wstring pending;
      for (const auto& rename : PendingRenames()) {
        uninstaller = uninstaller || (EndsWith(rename.first, InInstallFolder(kUninstaller)) && rename.second.empty());
        folder = folder || ((EndsWith(rename.first, InstallFolder()) || EndsWith(rename.first, InstallFolder() + L"\\")) &&
                            rename.second.empty());
        pending += L" [" + rename.first + L" -> " + rename.second + L"]";
      }
      EXPECT_TRUE(uninstaller && folder) << "the uninstaller and its folder are not deleted at the restart:"
                                         << Narrow(pending);
    } else {
      EXPECT_FALSE(Exists(InstallFolder())) << "the install folder is left";
    }
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, view)) << "the uninstall entry is left";
      EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, view)) << "the Run value is left, view " << view;
    }
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", KEY_WOW64_32KEY));
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      for (const wchar_t* browserKey : kBrowserHostKeys) {
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, browserKey, view)) << Narrow(browserKey) << " is left";
      }
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kWebHostConfig, view)) << "the web host's configuration is left";
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserKey, KEY_WOW64_32KEY)) << "the product's HKCU key is left";
  }
};

TEST_F(PackageInstaller, InstallsRunsAndUninstallsInPlaceKeepingOtherProducts) {
  // The unnamed value first, so that it is the one enumerated at index 0 however values are ordered.
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kVendorKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &raw, nullptr));
  UniqueHKey vendor(raw);
  const BYTE binary[] = {1, 2, 3};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(vendor.get(), nullptr, 0, REG_BINARY, binary, sizeof binary));
  WriteDword(HKEY_CURRENT_USER, kVendorKey, L"OtherProduct", 1, KEY_WOW64_32KEY);
  DeleteFileW(DefaultLog(kSetupLog).c_str());
  DWORD start = GetTickCount();
  ASSERT_EQ(0u, RunSetup(L" /WEBEXTENSIONS=chrome-extension://abcdefghijklmnopabcdefghijklmnop/, tamsu@bank.example"
                         L" /WEBORIGINS=https://bank.example,https://www.bank.example:8443 /PINPAD=C:\\Pads\\pad.dll"));
  std::printf("[figure] first install: %lu ms\n", GetTickCount() - start);
  ExpectInstalled();
  if (HasFatalFailure()) return;
  ExpectWebHostLists({L"chrome-extension://abcdefghijklmnopabcdefghijklmnop/", L"tamsu@bank.example"},
                     {L"https://bank.example", L"https://www.bank.example:8443"},
                     "\"chrome-extension://abcdefghijklmnopabcdefghijklmnop/\"", "\"tamsu@bank.example\"");
  EXPECT_EQ(L"C:\\Pads\\pad.dll", ReadString(HKEY_LOCAL_MACHINE, kWebHostConfig, L"PinpadLibrary", KEY_WOW64_32KEY));
  if (PayloadGiven()) {
    // The uninstaller as the setup wrote it, for the signing check to verify.
    EXPECT_TRUE(CopyFileW(InInstallFolder(kUninstaller).c_str(), Shipped(kUninstaller).c_str(), FALSE));
  }
  EXPECT_EQ(0u, testing_support::RunProgram(Shipped(L"tools\\TamsuCli.exe"), {L"list"}))
      << "the client library does not take the installed service for the genuine server";
  const std::string setupLog = LogOf(DefaultLog(kSetupLog));
  EXPECT_TRUE(Contains(setupLog, "Tamsu ZUVA setup 1.0.0.0") && Contains(setupLog, "Found: no earlier installation") &&
              Contains(setupLog, "Service registered, running and serving: ok") && Contains(setupLog, "Exit code 0"))
      << "the default log in the temporary folder lacks the versions, a step or the exit code:\n" << setupLog;

  UninstallAsRegistered();
  EXPECT_EQ(1, ReadDword(HKEY_CURRENT_USER, kVendorKey, L"OtherProduct", KEY_WOW64_32KEY))
      << "another product's value under the shared vendor key was removed";
}

TEST_F(PackageInstaller, UpgradeWithAClientHoldingTheLibraryAsksAtTheScreenAndNeverWaitsSilently) {
  ASSERT_EQ(0u, RunSetup());
  WriteDword(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", 0, KEY_WOW64_32KEY);
  const std::wstring library = InInstallFolder(L"TamsuVD_ZUVA.dll");
  auto holdLibrary = [&library](ChildProcess& client) {
    ASSERT_TRUE(client.Start(ProgramFolder() + L"target_process.exe", {L"--load", library}));
    ASSERT_TRUE(WaitUntil(10000, [&client] { return HoldsModule(client.id(), L"TamsuVD_ZUVA.dll"); }));
  };
  ForgetPendingRenames();

  // At the screen: the owner box names the client; the upgrade goes on once it has closed.
  {
    ChildProcess client;
    holdLibrary(client);
    ChildProcess setup;
    ASSERT_TRUE(setup.Start(SetupProgram(L"TamsuSetup_ZUVA.exe"), {}));
    HWND main = nullptr;
    ASSERT_TRUE(WaitUntil(30000, [&] { return (main = WindowWithButton(setup.id(), IDOK)) != nullptr; }));
    PostMessageW(main, WM_COMMAND, IDOK, 0);  // the folder page's Install
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil(60000, [&] { return (box = WindowWithButton(setup.id(), IDRETRY)) != nullptr; }))
        << "no owner box while a client holds the library";
    client.Kill();
    PostMessageW(box, WM_COMMAND, IDRETRY, 0);
    // Close, once the installation has run to its end.
    ASSERT_TRUE(WaitUntil(kSetupTimeoutMs, [&] {
      if (IsWindowEnabled(GetDlgItem(main, IDOK))) PostMessageW(main, WM_COMMAND, IDOK, 0);
      return !setup.Running();
    }));
    DWORD code = 1;
    EXPECT_TRUE(setup.Wait(1000, &code));
    EXPECT_EQ(0u, code) << "an interactive upgrade whose client closed needs no restart";
    EXPECT_TRUE(PendingRenames().empty());
  }

  // Silent: nobody is asked; the library in use is replaced at the next restart, exit code 3010.
  ChildProcess client;
  holdLibrary(client);
  const DWORD start = GetTickCount();
  EXPECT_EQ(3010u, RunCommand(SetupProgram(L"TamsuSetup_ZUVA.exe"), L"/S", 60000));
  std::printf("[figure] silent upgrade with the library in use: %lu ms\n", GetTickCount() - start);
  ExpectInstalled(0);
  auto pending = PendingRenames();
  ASSERT_EQ(1u, pending.size()) << "only the library in use waits for the restart";
  EXPECT_TRUE(EndsWith(pending[0].first, L"\\TamsuVD_ZUVA.dll.new"));
  EXPECT_TRUE(EndsWith(pending[0].second, L"\\TamsuVD_ZUVA.dll") && pending[0].second[0] == L'!')
      << "not a replacement of the library";

  // Uninstalled in place while it is still held: removed at the next restart, exit code 3010.
  ForgetPendingRenames();
  EXPECT_EQ(3010u, RunCommand(InInstallFolder(kUninstaller), L"/S _?=" + InstallFolder(), 60000));
  pending = PendingRenames();
  ASSERT_FALSE(pending.empty());
  EXPECT_TRUE(EndsWith(pending[0].first, L"\\TamsuVD_ZUVA.dll") && pending[0].second.empty())
      << "no deletion of the library at the restart";
  EXPECT_FALSE(ServiceExists());
  EXPECT_FALSE(Exists(InInstallFolder(L"TamsuVD_ZUVA.dll.new"))) << "the waiting replacement would bring it back";
  client.Kill();
  ForgetPendingRenames();
}

TEST_F(PackageInstaller, InstallsOverAnEarlierInstallationThenUninstallsEverything) {
  ASSERT_EQ(0u, RunSetup(L" /WEBORIGINS=https://bank.example /WEBEXTENSIONS=tamsu@bank.example"));
  ASSERT_TRUE(WaitUntil(15000, [] { return !MonitorChildren().empty(); })) << "first install: no monitor child";
  const std::vector<ProcessEntry> before = ProcessesNamed(kProgram);
  // A client's file in the data folder: an upgrade keeps it.
  const std::wstring clientFile = InInstallFolder(kDataFolder) + L"\\client.dat";
  {
    UniqueFileHandle file(CreateFileW(clientFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.valid()) << GetLastError();
  }

  ASSERT_EQ(0u, RunSetup()) << "the second install failed";
  ExpectInstalled();
  if (HasFatalFailure()) return;
  for (const ProcessEntry& old : before) {
    for (const ProcessEntry& now : ProcessesNamed(kProgram)) {
      EXPECT_NE(old.id, now.id) << "a process of the first installation still runs: files were replaced under it";
    }
  }
  EXPECT_TRUE(IsFile(clientFile)) << "the reinstall wiped the clients' data";
  // Options not given again keep the machine's lists.
  ExpectWebHostLists({L"tamsu@bank.example"}, {L"https://bank.example"}, "", "\"tamsu@bank.example\"");

  // A stray copy of the Run value in the other view goes too.
  WriteString(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, kRunValue, KEY_WOW64_32KEY);

  // The ordinary way: the uninstaller copies itself away, returns, and removes the whole folder.
  ASSERT_EQ(0u, RunCommand(InInstallFolder(kUninstaller), L"/S", kSetupTimeoutMs));
  EXPECT_TRUE(WaitUntil(kSetupTimeoutMs, [] { return !Exists(InstallFolder()); })) << "the install folder stays";
  ExpectRemoved();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kVendorKey, KEY_WOW64_32KEY))
      << "the vendor key, empty once the product's key went, is left";
}

TEST_F(PackageInstaller, InstallingToAnotherFolderProtectsItKeepsTheSettingsAndRemovesTheEarlierInstallation) {
  // The descriptor the setup gives its folder, whatever the folder.
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallFolderSddl, SDDL_REVISION_1, &raw, nullptr));
  UniqueLocalMemory descriptor(raw);
  ExpectInstallFolderRights(descriptor.get(), "the install folder's descriptor");

  ASSERT_EQ(0u, RunSetup());
  ASSERT_TRUE(WaitUntil(15000, [] { return !MonitorChildren().empty(); })) << "first install: no monitor child";
  WriteDword(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", 0, KEY_WOW64_32KEY);

  g_installFolder = kChosenFolder;
  const std::wstring log = testing_support::TemporaryFileName(L"log") + L".log";
  const DWORD start = GetTickCount();
  ASSERT_EQ(0u, RunSetup(L" /LOG=" + log + L" /D=" + kChosenFolder));
  std::printf("[figure] upgrade into another folder: %lu ms\n", GetTickCount() - start);
  ExpectInstalled(0);  // the service and its monitor run the new folder's program; the user's 0 stays
  if (HasFatalFailure()) return;
  EXPECT_FALSE(Exists(DefaultInstallFolder())) << "the earlier installation's folder is left";

  // Wine keeps no folder's security (it reads back its default): there the log shows the call.
  const std::string text = LogOf(log);
  EXPECT_TRUE(Contains(text, "Found: Tamsu ZUVA 1.0.0.0 in " + Narrow(DefaultInstallFolder())) &&
              Contains(text, "Install folder " + Narrow(kChosenFolder) + " protected: ok"))
      << "/LOG= names neither the version found nor the folder's protection:\n" << text;
  if (FolderSecurityIsKept()) {
    DWORD needed = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetFileSecurityW(kChosenFolder, wanted, nullptr, 0, &needed);
    std::vector<BYTE> folderDescriptor(needed ? needed : 1);
    ASSERT_TRUE(GetFileSecurityW(kChosenFolder, wanted, folderDescriptor.data(), needed, &needed));
    ExpectInstallFolderRights(folderDescriptor.data(), "the install folder");
  }
  DeleteFileW(log.c_str());

  UninstallAsRegistered();
}

TEST_F(PackageInstaller, AFailedInstallLeavesNothingAndAFailedUpgradeRestoresTheWorkingInstallation) {
  // A first install whose service cannot serve: 1603, and nothing is left.
  EXPECT_EQ(1603u, RunSetup(L"", L"TamsuSetup_dud.exe"));
  EXPECT_FALSE(ServiceExists());
  EXPECT_FALSE(Exists(DefaultInstallFolder())) << "the failed first install left its folder: "
                                               << Narrow(FolderEntries(DefaultInstallFolder()).empty()
                                                             ? L"(empty)"
                                                             : FolderEntries(DefaultInstallFolder())[0]);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY)) << "the failed install left an entry";

  // Over a working installation, in place and into another folder: 1603, and the earlier
  // installation registered, running, serving, its entry and its user's settings unchanged.
  ASSERT_EQ(0u, RunSetup());
  WriteDword(HKEY_CURRENT_USER, kUserKey, L"EnableDesktop", 0, KEY_WOW64_32KEY);
  for (const std::wstring& options : {std::wstring(), L" /D=" + std::wstring(kChosenFolder)}) {
    SCOPED_TRACE(Narrow(L"options:" + options));
    const std::wstring log = testing_support::TemporaryFileName(L"log") + L".log";
    const DWORD start = GetTickCount();
    EXPECT_EQ(1603u, RunSetup(L" /LOG=" + log + options, L"TamsuSetup_dud.exe"));
    std::printf("[figure] failed upgrade with its rollback: %lu ms\n", GetTickCount() - start);
    ExpectInstalled(0);
    if (HasFatalFailure()) return;
    EXPECT_EQ(0u, testing_support::RunProgram(Shipped(L"tools\\TamsuCli.exe"), {L"list"}))
        << "the restored service does not serve";
    EXPECT_FALSE(Exists(kChosenFolder)) << "the failed upgrade left the folder it made";
    const std::string text = LogOf(log);
    EXPECT_TRUE(Contains(text, "Tamsu ZUVA setup 1.0.1.0") && Contains(text, "Found: Tamsu ZUVA 1.0.0.0") &&
                Contains(text, "The service could not be installed: ") &&
                Contains(text, "The earlier installation's service runs again: ok") && Contains(text, "Exit code 1603"))
        << "the log lacks the reason or the rollback:\n" << text;
    DeleteFileW(log.c_str());
  }
}

TEST_F(PackageInstaller, DeploymentToolsReadTheOutcomeFromTheExitCode) {
  // A newer version installed: refused unless asked for.
  ASSERT_EQ(0u, RunSetup(L"", L"TamsuSetup_newer.exe"));
  EXPECT_EQ(1638u, RunSetup());
  EXPECT_EQ(L"9.0.0.0", ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", KEY_WOW64_32KEY));
  EXPECT_EQ(0u, RunSetup(L" /ALLOWDOWNGRADE"));
  ExpectInstalled();

  // One run at a time: while a setup waits at its first page, another run ends with 1618; the
  // waiting one, cancelled, with 1602.
  ChildProcess waiting;
  ASSERT_TRUE(waiting.Start(SetupProgram(L"TamsuSetup_ZUVA.exe"), {}));
  HWND main = nullptr;
  ASSERT_TRUE(WaitUntil(30000, [&] { return (main = WindowWithButton(waiting.id(), IDCANCEL)) != nullptr; }));
  EXPECT_EQ(1618u, RunSetup());
  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  DWORD code = 0;
  EXPECT_TRUE(waiting.Wait(30000, &code));
  EXPECT_EQ(1602u, code) << "a setup cancelled by the user";

  // A program of another user that took the name first keeps no setup out.
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1, &raw,
                                                                   nullptr));
  UniqueLocalMemory usersOwn(raw);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, usersOwn.get(), FALSE};
  UniqueHandle squatter(CreateMutexW(&attributes, TRUE, L"Global\\TamsuSetup_ZUVA"));
  ASSERT_EQ(std::wstring(L"S-1-5-32-545"), ObjectOwnerSid(squatter.get())) << "the test could not make the squatter";
  EXPECT_EQ(0u, RunSetup());
  squatter.reset();

  // A Windows the package does not support (Wine told to report Windows NT 4.0 to the setup).
  const wchar_t appDefaults[] = L"Software\\Wine\\AppDefaults\\TamsuSetup_ZUVA.exe";
  WriteString(HKEY_CURRENT_USER, appDefaults, L"Version", L"nt40", KEY_WOW64_64KEY);
  const DWORD unsupported = RunSetup();
  DeleteKey(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults", L"TamsuSetup_ZUVA.exe", KEY_WOW64_64KEY);
  EXPECT_EQ(1633u, unsupported);
  ExpectInstalled();  // untouched
}

// ---------------------------------------------------------------------------------------------
// TamsuCli status against the installed package, healthy and broken by the test.

// What a customer's Windows has and Wine lacks, so that a healthy installation reports nothing: the
// Smart Card service (a stand-in the setup starts) and the program the service's Run entry names (a
// copy of target_process.exe, found through App Paths as the shell finds it). Removed on destruction.
class CustomersMachine {
 public:
  CustomersMachine() {
    RemoveSmartCardService();
    const std::wstring command =
        L"\"" + ProgramFolder() + L"scard_standin.exe\" \"" + testing_support::TemporaryFileName(L"scl") + L"\" 0";
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    UniqueServiceHandle service(CreateServiceW(manager.get(), L"SCardSvr", L"Smart Card (stand-in)", SERVICE_START,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(service.valid()) << GetLastError();
    CreateDirectoryW(kCompanionFolder, nullptr);
    EXPECT_TRUE(CopyFileW((ProgramFolder() + L"target_process.exe").c_str(), Companion().c_str(), FALSE));
    for (REGSAM view : Views()) WriteString(HKEY_LOCAL_MACHINE, kCompanionAppPath, nullptr, Companion().c_str(), view);
  }
  ~CustomersMachine() {
    RemoveSmartCardService();
    for (REGSAM view : Views()) {
      DeleteKey(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths", kRunValue, view);
    }
    DeleteFileW(Companion().c_str());
    RemoveDirectoryW(kCompanionFolder);
  }

 private:
  static constexpr wchar_t kCompanionFolder[] = L"C:\\TamsuCompanion";
  static constexpr wchar_t kCompanionAppPath[] =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TamsuReg_ZUVA.exe";
  static std::wstring Companion() { return std::wstring(kCompanionFolder) + L"\\" + kRunValue; }
  static std::vector<REGSAM> Views() {
    return Is64BitWindows() ? std::vector<REGSAM>{KEY_WOW64_32KEY, KEY_WOW64_64KEY} : std::vector<REGSAM>{0};
  }
  static void RemoveSmartCardService() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), L"SCardSvr", SERVICE_STOP | DELETE));
    if (!service) return;
    SERVICE_STATUS state;
    WaitUntil(15000, [&] {
      ControlService(service.get(), SERVICE_CONTROL_STOP, &state);
      return testing_support::ServiceState(L"SCardSvr") == SERVICE_STOPPED;
    }, 100);
    testing_support::KillProcessesNamed(L"scard_standin.exe");
    DeleteService(service.get());
  }
};

const wchar_t kListPipe[] = L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_List";

// The status report, its exit code and findings checked; each run must end within the 10 s promised.
testing_support::StatusRun Status(unsigned exitCode, const char* situation, const std::wstring& program = L"") {
  testing_support::StatusRun status = testing_support::RunStatus({}, program);
  EXPECT_FALSE(status.report.is_discarded()) << situation << ":\n" << status.run.out << status.run.err;
  EXPECT_EQ(exitCode, status.run.code) << situation << ":\n" << status.run.out;
  EXPECT_EQ(static_cast<int>(exitCode), status.report.value("exitCode", -1)) << situation;
  EXPECT_LT(status.run.ms, 10000u) << situation;
  Figure("status on an installation with %s: %lu ms, exit code %lu", situation, status.run.ms, status.run.code);
  return status;
}

// Appends an Authenticode-shaped entry (not a valid signature) to a PE and points its security
// directory at it: what "signed" means to the status report.
bool AddCertificateEntry(const std::wstring& path) {
  std::string image = Contents(path);
  if (image.size() < 0x40) return false;
  const uint32_t pe = *reinterpret_cast<const uint32_t*>(&image[0x3C]);
  const size_t directory = pe + 24 + 128;  // PE32: the fifth data directory
  if (image.size() < directory + 8 || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
  image.resize((image.size() + 7) & ~size_t{7}, '\0');
  const uint32_t entry[2] = {static_cast<uint32_t>(image.size()), 16};
  std::memcpy(&image[directory], entry, sizeof entry);
  const uint8_t certificate[16] = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 0x30, 0x82};
  image.append(reinterpret_cast<const char*>(certificate), sizeof certificate);
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &written, nullptr) &&
         written == image.size();
}

TEST_F(PackageInstaller, StatusReportsAHealthyInstallationAndEachBrokenPartWithItsFinding) {
  CustomersMachine machine;
  ASSERT_EQ(0u, RunSetup(L" /WEBEXTENSIONS=chrome-extension://abcdefghijklmnopabcdefghijklmnop/, tamsu@bank.example"
                         L" /WEBORIGINS=https://bank.example"));
  ExpectInstalled();
  if (HasFatalFailure()) return;
  ForgetPendingRenames();  // an earlier test's uninstaller waits for a restart Wine never makes

  // The copy the setup installed, as a customer runs it.
  testing_support::StatusRun status = Status(0, "nothing wrong", InInstallFolder(L"TamsuCli.exe"));
  const nlohmann::json& report = status.report;
  for (const auto& finding : report["findings"]) {
    EXPECT_EQ("info", finding.value("severity", "")) << finding.dump();
  }
  EXPECT_EQ("ok", report.value("result", ""));
  EXPECT_EQ(1, report.value("schema", 0));
  EXPECT_EQ(Is64BitWindows(), report["system"].value("wow64", !Is64BitWindows()));
  const nlohmann::json& installation = report["installation"];
  EXPECT_EQ(true, installation["installed"]);
  EXPECT_EQ("1.0.0.0", installation.value("version", ""));
  EXPECT_EQ(Narrow(InstallFolder()), installation.value("folder", ""));
  ASSERT_EQ(6u, installation["files"].size());
  for (const auto& file : installation["files"]) {
    EXPECT_EQ(true, file["present"]) << file.dump();
    EXPECT_EQ(false, file["signed"]) << "this build signs nothing: " << file.dump();
    if (file.value("name", "") != "uninstall.exe") {
      EXPECT_EQ("1.0.0.0", file.value("version", "")) << file.dump();
    }
  }
  const nlohmann::json& service = report["service"];
  EXPECT_EQ("running", service.value("state", ""));
  EXPECT_EQ("automatically", service.value("startType", ""));
  EXPECT_EQ(Narrow(ServiceBinaryPath()), service.value("binaryPath", ""));
  EXPECT_EQ(true, service["programPresent"]);
  if (service["recovery"].value("reported", false)) {  // Wine cannot report them
    ASSERT_EQ(3u, service["recovery"]["actions"].size());
    EXPECT_EQ(30000, service["recovery"]["actions"][2].value("delayMs", 0));
  }
  const std::vector<DWORD> children = MonitorChildren();
  ASSERT_EQ(1u, children.size());
  const nlohmann::json& monitor = report["monitor"];
  EXPECT_EQ(children[0], monitor.value("processId", 0u));
  EXPECT_EQ(true, monitor["running"]);
  EXPECT_EQ("served", monitor.value("listPipe", ""));
  EXPECT_EQ(true, monitor["genuine"]) << "the client library does not take the installed service for genuine";
  EXPECT_GE(monitor.value("listRoundTripMs", -1.0), 0.0);
  Figure("status: the key list's round trip through the installed service: %.1f ms",
         monitor.value("listRoundTripMs", -1.0));
  EXPECT_EQ("present", report.value("mutex", ""));
  EXPECT_TRUE(report["keys"].is_array() && report["keys"].empty()) << "Wine has no key";
  EXPECT_EQ(1, report["enableDesktop"].value("value", -1));
  EXPECT_EQ("running", report["smartCardService"].value("state", "")) << "the setup starts the Smart Card service";
  EXPECT_EQ(2, report["webHost"].value("allowedExtensions", -1));
  EXPECT_EQ(1, report["webHost"].value("allowedOrigins", -1));
  for (const auto& browser : report["webHost"]["browsers"]) {
    EXPECT_TRUE(browser.value("registered32", false) && browser.value("manifestPresent", false) &&
                browser.value("programPresent", false))
        << browser.dump();
    EXPECT_EQ(Is64BitWindows(), browser.value("registered64", false)) << browser.dump();
  }
  EXPECT_EQ(Is64BitWindows(), report["runEntry"].value("present64", false));
  EXPECT_EQ(true, report["runEntry"]["programFound"]);
  EXPECT_TRUE(report["pendingRestartFiles"].empty());
  const testing_support::ProgramRun text =
      testing_support::RunProgramWithOutput(testing_support::DistPath(L"tools\\TamsuCli.exe"), {L"status"});
  EXPECT_EQ(0u, text.code);
  EXPECT_TRUE(Contains(text.out, "Result: ok (exit code 0)")) << text.out;

  // A binary missing.
  const std::wstring library = InInstallFolder(L"TamsuVD_ZUVA.dll");
  ASSERT_TRUE(MoveFileW(library.c_str(), (library + L".away").c_str()));
  status = Status(2, "a binary missing");
  EXPECT_TRUE(HasFinding(status.report, "install.file-missing")) << status.run.out;
  EXPECT_TRUE(Contains(status.run.out, "TamsuVD_ZUVA.dll is missing from")) << status.run.out;
  ASSERT_TRUE(MoveFileW((library + L".away").c_str(), library.c_str()));

  // One program replaced by a signed one: the others are not.
  const std::wstring plugin = InInstallFolder(L"Plugin_ZUVA.dll");
  ASSERT_TRUE(AddCertificateEntry(plugin));
  status = Status(1, "one file signed, the others not");
  EXPECT_TRUE(HasFinding(status.report, "install.signature-mixed")) << status.run.out;
  for (const auto& file : status.report["installation"]["files"]) {
    EXPECT_EQ(file.value("name", "") == "Plugin_ZUVA.dll", file.value("signed", false)) << file.dump();
  }
  ASSERT_TRUE(CopyFileW(Shipped(L"Plugin_ZUVA.dll").c_str(), plugin.c_str(), FALSE));

  // The web host serving no page, then a restart pending for one of the package's files.
  DeleteValue(HKEY_LOCAL_MACHINE, kWebHostConfig, L"AllowedOrigins", KEY_WOW64_32KEY);
  status = Status(1, "the web host's origins missing");
  EXPECT_TRUE(HasFinding(status.report, "webhost.no-origins")) << status.run.out;
  WriteList(HKEY_LOCAL_MACHINE, kWebHostConfig, L"AllowedOrigins", {L"https://bank.example"}, KEY_WOW64_32KEY);
  const std::wstring pending = L"\\??\\" + library;
  WriteList(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", {pending + L".new", L"!" + pending},
            KEY_WOW64_64KEY);
  status = Status(1, "a restart pending for its files");
  EXPECT_TRUE(HasFinding(status.report, "restart.pending")) << status.run.out;
  EXPECT_EQ(2u, status.report["pendingRestartFiles"].size()) << status.run.out;
  ForgetPendingRenames();

  // The web host registered for no browser.
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    for (const wchar_t* browserKey : kBrowserHostKeys) {
      const std::wstring key = browserKey;
      DeleteKey(HKEY_LOCAL_MACHINE, key.substr(0, key.rfind(L'\\')).c_str(), L"com.varnelle.tamsu_zuva", view);
    }
  }
  status = Status(2, "the web host registered for no browser");
  EXPECT_TRUE(HasFinding(status.report, "webhost.unregistered")) << status.run.out;
}

TEST_F(PackageInstaller, StatusReportsAHeldListAKilledMonitorAndAStoppedServiceWithinTenSeconds) {
  CustomersMachine machine;
  ASSERT_EQ(0u, RunSetup(L" /WEBEXTENSIONS=tamsu@bank.example /WEBORIGINS=https://bank.example"));
  ASSERT_TRUE(WaitUntil(15000, [] { return MonitorChildren().size() == 1; })) << "no monitor child";
  ForgetPendingRenames();
  Status(0, "nothing wrong (before the process faults)");

  // The list pipe held open by another program.
  {
    testing_support::PipeClient holder({L"openlist", L"sleep:60000"});
    ASSERT_TRUE(WaitUntil(10000, [&holder] {
      const std::vector<std::string> lines = holder.Lines();
      return !lines.empty() && lines[0] == "open ok";
    })) << "the holder could not open the list pipe";
    const testing_support::StatusRun status = Status(2, "the list pipe held by another program");
    EXPECT_TRUE(HasFinding(status.report, "monitor.list-busy")) << status.run.out;
  }

  // The monitor killed, again as soon as each new one starts, until the service pauses for several
  // seconds between two starts: then there is no monitor to report.
  DWORD pause = 0;
  int kills = 0;
  for (; kills < 8 && pause < 4000; ++kills) {
    const std::vector<DWORD> before = MonitorChildren();
    ASSERT_EQ(1u, before.size());
    UniqueHandle monitor(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, before[0]));
    ASSERT_TRUE(monitor && TerminateProcess(monitor.get(), 1)) << GetLastError();
    WaitForSingleObject(monitor.get(), 10000);
    const DWORD killed = GetTickCount();
    ASSERT_TRUE(WaitUntil(60000, [&before] {
      const std::vector<DWORD> now = MonitorChildren();
      return now.size() == 1 && now[0] != before[0];
    })) << "the service did not start a new monitor";
    pause = GetTickCount() - killed;
  }
  ASSERT_GE(pause, 4000u) << "the service's restart pause did not grow";
  Figure("status: the monitor killed %d times, until the service paused %lu ms before starting the next", kills,
         pause);
  {
    UniqueHandle monitor(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, MonitorChildren()[0]));
    ASSERT_TRUE(monitor && TerminateProcess(monitor.get(), 1));
    WaitForSingleObject(monitor.get(), 10000);
  }
  testing_support::StatusRun status = Status(2, "its monitor killed");
  EXPECT_TRUE(HasFinding(status.report, "monitor.none") || HasFinding(status.report, "monitor.gone"))
      << status.run.out;
  EXPECT_EQ("running", status.report["service"].value("state", ""));

  // The service stopped, and another program serving the list pipe's name and never answering: the
  // client library refuses it, so it receives nothing.
  {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle tamsu(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP));
    SERVICE_STATUS state;
    ASSERT_TRUE(tamsu && ControlService(tamsu.get(), SERVICE_CONTROL_STOP, &state)) << GetLastError();
  }
  ASSERT_TRUE(WaitUntil(30000, [] { return ServiceState() == SERVICE_STOPPED && MonitorChildren().empty(); }));
  ASSERT_TRUE(WaitUntil(10000, [] { return !WaitNamedPipeW(kListPipe, 1) && GetLastError() == ERROR_FILE_NOT_FOUND; }));
  status = Status(2, "the service stopped");
  EXPECT_TRUE(HasFinding(status.report, "service.not-running")) << status.run.out;
  testing_support::SilentPipeServer squatter(kListPipe);
  ASSERT_TRUE(squatter.valid());
  status = Status(2, "the service stopped and its list pipe's name taken");
  EXPECT_TRUE(HasFinding(status.report, "service.not-running") && HasFinding(status.report, "monitor.foreign-server"))
      << status.run.out;
  EXPECT_EQ(GetCurrentProcessId(), status.report["monitor"].value("listServerProcessId", 0u));
  EXPECT_EQ("refused", status.report["monitor"].value("listRequest", ""));
  EXPECT_EQ(0, squatter.messages()) << "the list request went to a program that is not the service";
}

}  // namespace
}  // namespace tamsu
