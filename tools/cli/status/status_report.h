// `TamsuCli status`, the part free of platform calls: what the probes found (the facts), the
// findings drawn from them and their severity, and the text and JSON reports. The Win32 side only
// fills StatusFacts; every judgement is made here, where the native tier tests it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tamsu {
namespace status {

// JSON reports carry this in "schema"; a field's meaning never changes under one number.
constexpr int kSchemaVersion = 1;

// What the package installs in its folder, in the order the report lists them.
constexpr const char* kInstalledFiles[] = {"TamsuSerB.exe",    "TamsuVD_ZUVA.dll", "Plugin_ZUVA.dll",
                                           "TamsuWebHost.exe", "TamsuCli.exe",     "uninstall.exe"};
constexpr char kUninstaller[] = "uninstall.exe";  // signed, when the release is, before the setup embeds it
constexpr char kRunValue[] = "TamsuReg_ZUVA.exe";
constexpr const char* kBrowsers[] = {"Chrome", "Edge", "Firefox"};

// The service manager's numbers, as Windows defines them.
enum ServiceStateCode : uint32_t {
  kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4, kContinuePending = 5, kPausePending = 6, kPaused = 7
};
enum StartTypeCode : uint32_t { kBootStart = 0, kSystemStart = 1, kAutoStart = 2, kDemandStart = 3, kDisabled = 4 };
enum RecoveryActionType : uint32_t { kActionNone = 0, kActionRestart = 1, kActionReboot = 2, kActionRunCommand = 3 };

enum class Severity { kInfo = 0, kWarning = 1, kFailure = 2 };

struct Finding {
  Severity severity;
  std::string id;    // stable, for tools: "service.not-running"
  std::string text;  // for people
};

struct SystemFacts {
  bool versionKnown = false;
  uint32_t major = 0, minor = 0, build = 0;
  bool workstation = true;
  std::string servicePack;
  bool wow64 = false;                    // this 32-bit program on 64-bit Windows
  std::optional<uint32_t> integrityRid;  // the caller's mandatory level; none before Vista
  bool anyServerAllowed = false;         // TAMSU_ALLOW_ANY_SERVER=1 in the caller's environment
};

struct FileFacts {
  std::string name;
  bool present = false;
  std::string version;           // "a.b.c.d"; empty when it carries none
  std::optional<bool> signature;  // an Authenticode entry in its security directory; none: unreadable
};

struct InstallFacts {
  bool checked = false;
  bool entry = false;  // the uninstall entry
  std::string version;
  std::string folder;  // InstallLocation, else the service program's folder
  std::vector<FileFacts> files;
};

struct RecoveryAction {
  uint32_t type = kActionNone;
  uint32_t delayMs = 0;
};

enum class Presence { kNotChecked, kAbsent, kPresent, kUnreadable };

struct ServiceFacts {
  Presence presence = Presence::kNotChecked;
  uint32_t error = 0;  // why it is unreadable
  uint32_t state = 0;
  uint32_t processId = 0;
  bool configKnown = false;
  uint32_t startType = 0;
  std::string binaryPath;  // as configured: quoted, with arguments
  std::optional<bool> programPresent;
  bool recoveryReported = false;  // some systems (Wine) accept failure actions but cannot report them
  uint32_t resetSeconds = 0;
  std::vector<RecoveryAction> recovery;
};

enum class ListPipe { kNotChecked, kAbsent, kBusy, kServed, kError };
enum class ListRequest { kNotChecked, kAnswered, kNoService, kRefused, kFailed, kNoAnswer };

struct MonitorFacts {
  bool checked = false;
  uint32_t publishedId = 0;                // MonitorProcessId under the service's key; 0: none
  std::optional<bool> processRunning;      // the published process
  std::string processImage;                // its program's file name, where the process list has it
  ListPipe pipe = ListPipe::kNotChecked;
  uint32_t pipeError = 0;
  uint32_t pipeServerId = 0;  // 0: the system cannot tell (before Vista) or the pipe was not opened
  ListRequest request = ListRequest::kNotChecked;
  std::string requestError;  // the client library's text
  double roundTripMs = -1;
  uint32_t requestTimeoutMs = 0;
};

enum class MutexState { kNotChecked, kAbsent, kPresent, kOtherObject, kError };

struct MutexFacts {
  MutexState state = MutexState::kNotChecked;
  uint32_t error = 0;
};

enum class KeyPipe { kNotChecked, kOpen, kBusy, kAbsent, kForeign, kBadPath, kError };

struct KeyFacts {
  std::string path;
  KeyPipe pipe = KeyPipe::kNotChecked;
  uint32_t serverId = 0;  // the pipe's server, where the system tells
  uint32_t error = 0;
};

struct DesktopFacts {
  bool checked = false;
  bool valuePresent = false;
  bool isDword = false;
  uint32_t value = 0;
};

struct BrowserFacts {
  std::string name;
  bool registered32 = false;
  bool registered64 = false;  // 64-bit Windows only
  std::string manifest;       // the registered manifest's path (the first view that names one)
  std::optional<bool> manifestPresent;
  std::string program;  // what the manifest names as its "path"
  std::optional<bool> programPresent;
};

struct WebHostFacts {
  bool checked = false;
  bool configPresent = false;
  std::optional<size_t> extensions;  // entries in AllowedExtensions; none: missing or not a list
  std::optional<size_t> origins;
  std::vector<BrowserFacts> browsers;
};

struct RunEntryFacts {
  bool checked = false;
  bool present32 = false;
  bool present64 = false;
  std::string command;
  std::optional<bool> programFound;
};

struct PendingFacts {
  bool checked = false;
  std::vector<std::string> files;  // ours, to be replaced or removed at the next restart
};

struct StatusFacts {
  SystemFacts system;
  InstallFacts install;
  ServiceFacts service;
  MonitorFacts monitor;
  MutexFacts mutex;
  bool keysChecked = false;
  std::vector<KeyFacts> keys;
  DesktopFacts desktop;
  ServiceFacts smartCard;
  WebHostFacts webHost;
  RunEntryFacts runEntry;
  PendingFacts pending;
  std::vector<std::string> unfinished;  // steps the run's deadline cut short
  uint32_t elapsedMs = 0;
  uint32_t deadlineMs = 0;
  std::string toolVersion;
};

// Every finding the facts give, failures first; contradictions between sections included.
std::vector<Finding> Evaluate(const StatusFacts& facts);
// 0 with nothing worse than information, 1 with warnings, 2 with failures.
int ExitCodeOf(const std::vector<Finding>& findings);

struct RenderOptions {
  bool full = false;  // device paths as they are, serial numbers included
};
std::string RenderText(const StatusFacts& facts, const std::vector<Finding>& findings, const RenderOptions& options);
// One JSON object ("schema": 1), ASCII only, ending in a line feed.
std::string RenderJson(const StatusFacts& facts, const std::vector<Finding>& findings, const RenderOptions& options);

// ---- Helpers the Win32 side and the rules share ----

// A key's device path without its serial number: the instance segment of
// "\\?\usbstor#cdrom&ven_..&prod_..&rev_..#SERIAL&0#{guid}" becomes "<serial>". A path of any
// other form keeps only what precedes its first '#'.
std::string ShortDevicePath(const std::string& path);
// Whether a listed path may name a pipe: printable ASCII, no separator, not empty.
bool SafeKeyPath(const std::string& path);

// "Windows 7", "Windows Server 2008 R2", "Windows 10"...; "Windows NT a.b" when unknown.
std::string WindowsName(uint32_t major, uint32_t minor, uint32_t build, bool workstation);
// "untrusted", "low", "medium", "medium plus", "high", "system", "protected"; else the number.
std::string IntegrityName(uint32_t rid);
std::string ServiceStateName(uint32_t state);
std::string StartTypeName(uint32_t startType);
std::string FileVersionText(uint32_t mostSignificant, uint32_t leastSignificant);

// UTF-16 code units (little-endian bytes as the registry holds them) to UTF-8; a lone surrogate
// becomes U+FFFD. An odd last byte is dropped.
std::string Utf8FromUtf16(const uint16_t* units, size_t count);
// A REG_MULTI_SZ's strings, read from raw bytes of any size: stops at the empty string that ends
// the list or at the end of the data, whichever comes first; a last string without its zero counts.
std::vector<std::string> MultiStrings(const uint8_t* data, size_t size);

// Every zero-terminated string of the data, empty ones included (PendingFileRenameOperations holds
// pairs whose target is empty for a deletion); a last string without its zero counts.
std::vector<std::string> AllStrings(const uint8_t* data, size_t size);

// The program of a command line as the service manager and the Run key hold it: the quoted part,
// or up to the first blank (for an unquoted path with blanks the first existing prefix is what
// Windows runs; this returns the whole text up to ".exe" then).
std::string ProgramOfCommandLine(const std::string& commandLine);
// "C:\a\b.exe" -> "C:\a"; "" when it has no folder.
std::string FolderOf(const std::string& path);
bool SamePath(const std::string& a, const std::string& b);  // ASCII letters without case, '/' as '\'

// Where the PE's security directory points: its file offset and size, when the headers in `head`
// (the file's first bytes) hold one that lies inside a file of `fileSize` bytes.
struct SecurityDirectory {
  uint32_t offset = 0;
  uint32_t size = 0;
};
std::optional<SecurityDirectory> SecurityDirectoryOf(const uint8_t* head, size_t headSize, uint64_t fileSize);
// Whether the WIN_CERTIFICATE at the directory's start is an Authenticode (PKCS #7) entry.
bool IsAuthenticodeEntry(const uint8_t* entry, size_t entrySize, const SecurityDirectory& directory);

// Pending renames are pairs (source, target; "" target: deletion). The files among them that lie in
// `folder` or carry the name of one of the package's files, as plain paths ("\??\" and "!" removed).
std::vector<std::string> PendingFilesOfOurs(const std::vector<std::string>& operations, const std::string& folder);

// The "path" member of a native-messaging manifest; empty when the text is no such manifest.
std::string ManifestProgram(const std::string& manifestText);

}  // namespace status
}  // namespace tamsu
