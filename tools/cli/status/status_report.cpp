// The findings of `TamsuCli status` and the byte-level readers its probes hand their data to.
#include "tools/cli/status/status_report.h"

#include <nlohmann/json.hpp>

#include "common/protocol/pipe_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tamsu {
namespace status {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && EqualsIgnoringCase(text.substr(text.size() - end.size()), end);
}

std::string Number(uint64_t value) { return std::to_string(static_cast<unsigned long long>(value)); }

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Findings in the order they are found; sorted by severity at the end.
class Findings {
 public:
  void Add(Severity severity, const char* id, const std::string& text) { list_.push_back({severity, id, text}); }
  bool Has(const char* id) const {
    return std::any_of(list_.begin(), list_.end(), [id](const Finding& f) { return f.id == id; });
  }
  std::vector<Finding> Sorted() {
    std::stable_sort(list_.begin(), list_.end(),
                     [](const Finding& a, const Finding& b) { return a.severity > b.severity; });
    return list_;
  }

 private:
  std::vector<Finding> list_;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
}

bool Installed(const StatusFacts& f) { return f.install.entry || f.service.presence == Presence::kPresent; }
bool ServiceRunning(const StatusFacts& f) {
  return f.service.presence == Presence::kPresent && f.service.state == kRunning;
}
bool ServiceNotRunning(const StatusFacts& f) {
  return f.service.presence == Presence::kAbsent ||
         (f.service.presence == Presence::kPresent && f.service.state == kStopped);
}

void InstallFindings(const StatusFacts& f, Findings* out) {
  const InstallFacts& install = f.install;
  if (!install.checked) return;
  if (!install.entry) {
    if (f.service.presence == Presence::kAbsent) {
      out->Add(Severity::kFailure, "install.missing", "Tamsu ZUVA is not installed: no uninstall entry, no service.");
    } else if (f.service.presence == Presence::kPresent) {
      out->Add(Severity::kWarning, "install.entry-missing",
               "The service is registered but the uninstall entry is missing: an installation or removal did not "
               "finish.");
    }
  }
  if (install.folder.empty()) return;
  std::vector<std::string> signedFiles, unsignedFiles;
  for (const FileFacts& file : install.files) {
    if (!file.present) {
      const bool uninstaller = EqualsIgnoringCase(file.name, kUninstaller);
      out->Add(uninstaller ? Severity::kWarning : Severity::kFailure, "install.file-missing",
               file.name + " is missing from " + install.folder +
                   (uninstaller ? ": the package cannot be removed." : "."));
      continue;
    }
    if (install.entry && !install.version.empty() && !file.version.empty() && file.version != install.version) {
      out->Add(Severity::kWarning, "install.version-mismatch",
               file.name + " is version " + file.version + ", the installation " + install.version +
                   ": files of different versions are mixed.");
    }
    if (file.signature) {
      (*file.signature ? signedFiles : unsignedFiles).push_back(file.name);
    }
  }
  if (!signedFiles.empty() && !unsignedFiles.empty()) {
    out->Add(Severity::kWarning, "install.signature-mixed",
             JoinNames(unsignedFiles) + (unsignedFiles.size() == 1 ? " is" : " are") + " not signed while " +
                 JoinNames(signedFiles) + (signedFiles.size() == 1 ? " is" : " are") +
                 ": a file may have been replaced.");
  }
}

void ServiceFindings(const StatusFacts& f, Findings* out) {
  const ServiceFacts& service = f.service;
  if (service.presence == Presence::kUnreadable) {
    out->Add(Severity::kWarning, "service.unreadable",
             "The service's registration cannot be read (error " + Number(service.error) + ").");
    return;
  }
  if (service.presence == Presence::kAbsent) {
    if (f.install.entry) {
      out->Add(Severity::kFailure, "service.missing",
               "The service is not registered: no program can reach a key.");
    }
    return;
  }
  if (service.presence != Presence::kPresent) return;
  if (service.state == kStopped || service.state == kPaused) {
    out->Add(Severity::kFailure, "service.not-running",
             "The service is " + ServiceStateName(service.state) + ": no program can reach a key.");
  } else if (service.state != kRunning) {
    out->Add(Severity::kWarning, "service.pending", "The service is " + ServiceStateName(service.state) + ".");
  }
  if (service.configKnown && service.startType == kDisabled) {
    out->Add(Severity::kFailure, "service.start-type", "The service is disabled: it cannot be started.");
  } else if (service.configKnown && service.startType != kAutoStart) {
    out->Add(Severity::kWarning, "service.start-type",
             "The service starts " + StartTypeName(service.startType) +
                 ", not automatically: after a restart no key is served until someone starts it.");
  }
  const std::string program = ProgramOfCommandLine(service.binaryPath);
  if (service.programPresent && !*service.programPresent) {
    out->Add(Severity::kFailure, "service.program-missing",
             "The service's program " + program + " is missing: the service cannot start it (again).");
  }
  if (!program.empty() && !f.install.folder.empty() && !SamePath(FolderOf(program), f.install.folder)) {
    out->Add(Severity::kWarning, "service.program-elsewhere",
             "The service runs " + program + ", outside the installation folder " + f.install.folder + ".");
  }
  if (service.configKnown && service.recoveryReported &&
      std::none_of(service.recovery.begin(), service.recovery.end(),
                   [](const RecoveryAction& a) { return a.type == kActionRestart; })) {
    out->Add(Severity::kWarning, "service.no-recovery",
             "No recovery action restarts the service: after a crash it stays stopped.");
  }
}

void MonitorFindings(const StatusFacts& f, Findings* out) {
  const MonitorFacts& monitor = f.monitor;
  if (!monitor.checked) return;
  const bool running = ServiceRunning(f);
  if (running && monitor.publishedId == 0) {
    out->Add(Severity::kFailure, "monitor.none",
             "The service runs without a monitor: it is pausing between two starts of its monitor, or cannot "
             "start one.");
  } else if (running && monitor.processRunning && !*monitor.processRunning) {
    out->Add(Severity::kFailure, "monitor.gone",
             "The monitor the service published (process " + Number(monitor.publishedId) + ") is not running.");
  }
  const bool noMonitor = out->Has("monitor.none") || out->Has("monitor.gone");
  bool foreign = false;
  switch (monitor.pipe) {
    case ListPipe::kAbsent:
      if (running && !noMonitor) {
        out->Add(Severity::kFailure, "monitor.not-serving", "Nothing serves the key list: the monitor does not serve.");
      }
      break;
    case ListPipe::kBusy:
      out->Add(Severity::kFailure, "monitor.list-busy",
               "The key list's pipe stayed busy: another program holds it open, and every client waits for it.");
      break;
    case ListPipe::kError:
      out->Add(Severity::kWarning, "monitor.list-error",
               "The key list's pipe cannot be opened (error " + Number(monitor.pipeError) + ").");
      break;
    case ListPipe::kServed:
      if (ServiceNotRunning(f)) {
        foreign = true;
        out->Add(Severity::kFailure, "monitor.foreign-server",
                 "A program" +
                     (monitor.pipeServerId ? " (process " + Number(monitor.pipeServerId) + ")" : std::string()) +
                     " serves the key list's pipe while the service is not running: it has taken the service's "
                     "name.");
      } else if (monitor.pipeServerId != 0 && monitor.publishedId != 0 && monitor.pipeServerId != monitor.publishedId) {
        foreign = true;
        out->Add(Severity::kFailure, "monitor.foreign-server",
                 "The key list's pipe is served by process " + Number(monitor.pipeServerId) +
                     ", not by the service's monitor (process " + Number(monitor.publishedId) + ").");
      }
      break;
    case ListPipe::kNotChecked:
      break;
  }
  switch (monitor.request) {
    case ListRequest::kRefused:
      if (!foreign) {
        out->Add(Severity::kFailure, "monitor.refused",
                 "The client library refuses the key list's server as not the Tamsu service; nothing was sent to "
                 "it.");
      }
      break;
    case ListRequest::kNoAnswer:
      out->Add(Severity::kFailure, "monitor.no-answer",
               "The key list did not answer within " + Number(monitor.requestTimeoutMs / 1000) + " s.");
      break;
    case ListRequest::kFailed:
      out->Add(Severity::kFailure, "monitor.list-failed", "The key list failed: " + monitor.requestError);
      break;
    case ListRequest::kNoService:
      // The pipe was there a moment before: it went between two looks (a monitor ending).
      if (monitor.pipe == ListPipe::kServed) {
        out->Add(Severity::kWarning, "monitor.list-failed", "The key list went away: " + monitor.requestError);
      }
      break;
    default:
      break;
  }
}

void MutexFindings(const StatusFacts& f, Findings* out) {
  switch (f.mutex.state) {
    case MutexState::kOtherObject:
      out->Add(Severity::kFailure, "mutex.other-object",
               "Another kind of object holds the service's mutex name: no monitor can start.");
      break;
    case MutexState::kAbsent:
      if (ServiceRunning(f)) {
        out->Add(Severity::kFailure, "mutex.missing", "The service runs, but its mutex does not exist.");
      }
      break;
    case MutexState::kPresent:
      if (ServiceNotRunning(f)) {
        out->Add(Severity::kWarning, "mutex.held-without-service",
                 "The service's mutex exists while the service is not running: another program holds its name, "
                 "and a starting monitor will back off.");
      }
      break;
    case MutexState::kError:
      out->Add(Severity::kInfo, "mutex.unreadable",
               "Whether the service's mutex exists cannot be told (error " + Number(f.mutex.error) + ").");
      break;
    case MutexState::kNotChecked:
      break;
  }
}

void KeyFindings(const StatusFacts& f, Findings* out) {
  if (!f.keysChecked) return;
  if (f.keys.empty() && f.monitor.request == ListRequest::kAnswered) {
    out->Add(Severity::kInfo, "keys.none", "No key is present.");
  }
  for (size_t i = 0; i < f.keys.size(); ++i) {
    const KeyFacts& key = f.keys[i];
    const std::string name = "Key " + Number(i);
    switch (key.pipe) {
      case KeyPipe::kAbsent:
        out->Add(Severity::kWarning, "key.pipe-missing", name + " is listed, but its pipe does not exist.");
        break;
      case KeyPipe::kForeign:
        out->Add(Severity::kFailure, "key.foreign-server",
                 name + "'s pipe is served by process " + Number(key.serverId) + ", not by the monitor.");
        break;
      case KeyPipe::kBadPath:
        out->Add(Severity::kWarning, "key.bad-path", name + "'s path cannot name a pipe.");
        break;
      case KeyPipe::kError:
        out->Add(Severity::kWarning, "key.pipe-error",
                 name + "'s pipe cannot be opened (error " + Number(key.error) + ").");
        break;
      default:
        break;
    }
  }
}

void SettingFindings(const StatusFacts& f, Findings* out) {
  const DesktopFacts& desktop = f.desktop;
  if (desktop.checked && desktop.valuePresent && !desktop.isDword) {
    out->Add(Severity::kWarning, "desktop.ignored",
             "EnableDesktop is not a DWORD and is ignored: PINs are entered on the secure desktop.");
  } else if (desktop.checked && desktop.valuePresent && desktop.value != 1) {
    out->Add(Severity::kInfo, "desktop.off",
             "EnableDesktop is " + Number(desktop.value) +
                 ": PINs are entered on the user's own desktop, not on the secure one.");
  }
  const ServiceFacts& card = f.smartCard;
  if (card.presence == Presence::kAbsent) {
    out->Add(Severity::kWarning, "smartcard.missing", "The Smart Card service (SCardSvr) is not registered.");
  } else if (card.presence == Presence::kPresent && card.configKnown && card.startType == kDisabled) {
    out->Add(Severity::kWarning, "smartcard.disabled", "The Smart Card service (SCardSvr) is disabled.");
  } else if (card.presence == Presence::kPresent && card.state != kRunning) {
    out->Add(Severity::kInfo, "smartcard.stopped",
             "The Smart Card service (SCardSvr) is " + ServiceStateName(card.state) + "; Windows starts it when needed.");
  }
}

void WebHostFindings(const StatusFacts& f, Findings* out) {
  const WebHostFacts& web = f.webHost;
  if (!web.checked) return;
  if (!web.configPresent) {
    out->Add(Severity::kFailure, "webhost.config-missing",
             "The web host has no configuration: it serves no page.");
  } else {
    if (!web.extensions || *web.extensions == 0) {
      out->Add(Severity::kWarning, "webhost.no-extensions",
               "The web host serves no browser extension (AllowedExtensions is empty): pages cannot use the key.");
    }
    if (!web.origins || *web.origins == 0) {
      out->Add(Severity::kWarning, "webhost.no-origins",
               "The web host serves no page origin (AllowedOrigins is empty): pages cannot use the key.");
    }
  }
  std::vector<std::string> unregistered;
  for (const BrowserFacts& browser : web.browsers) {
    if (!browser.registered32 && !browser.registered64) {
      unregistered.push_back(browser.name);
      continue;
    }
    if (browser.manifestPresent && !*browser.manifestPresent) {
      out->Add(Severity::kFailure, "webhost.manifest-missing",
               browser.name + " is pointed to " + browser.manifest + ", which is missing.");
    } else if (browser.manifestPresent && browser.program.empty()) {
      out->Add(Severity::kWarning, "webhost.manifest-invalid",
               browser.manifest + " (for " + browser.name + ") names no program.");
    } else if (browser.programPresent && !*browser.programPresent) {
      out->Add(Severity::kFailure, "webhost.program-missing",
               browser.manifest + " (for " + browser.name + ") names " + browser.program + ", which is missing.");
    }
  }
  if (!web.browsers.empty() && unregistered.size() == web.browsers.size()) {
    out->Add(Severity::kFailure, "webhost.unregistered",
             "The web host is registered for no browser: pages cannot use the key.");
  } else if (!unregistered.empty()) {
    out->Add(Severity::kWarning, "webhost.browser-unregistered",
             "The web host is not registered for " + JoinNames(unregistered) + ".");
  }
}

void ContradictionFindings(const StatusFacts& f, Findings* out) {
  const RunEntryFacts& run = f.runEntry;
  if (run.checked && (run.present32 || run.present64) && run.programFound && !*run.programFound) {
    out->Add(Severity::kWarning, "run.program-missing",
             "The Run entry " + Quoted(kRunValue) + " starts " + Quoted(run.command) +
                 ", which is not found: Windows fails to start it at each logon.");
  } else if (run.checked && !run.present32 && !run.present64 && ServiceRunning(f)) {
    out->Add(Severity::kInfo, "run.absent",
             "The Run entry " + Quoted(kRunValue) + " is missing; the service writes it again when its monitor "
             "next starts.");
  }
  if (f.pending.checked && !f.pending.files.empty()) {
    out->Add(Severity::kWarning, "restart.pending",
             "Windows must restart to finish replacing or removing " + Number(f.pending.files.size()) +
                 " of the package's files: " + JoinNames(f.pending.files) + ".");
  }
}

}  // namespace

std::vector<Finding> Evaluate(const StatusFacts& facts) {
  Findings out;
  if (facts.system.anyServerAllowed) {
    out.Add(Severity::kWarning, "system.any-server-allowed",
            "TAMSU_ALLOW_ANY_SERVER=1 is set: while the service is stopped, clients take any program serving the "
            "pipes for it. It is meant for developers only.");
  }
  InstallFindings(facts, &out);
  ServiceFindings(facts, &out);
  MonitorFindings(facts, &out);
  MutexFindings(facts, &out);
  KeyFindings(facts, &out);
  if (Installed(facts)) {
    SettingFindings(facts, &out);
    WebHostFindings(facts, &out);
  }
  ContradictionFindings(facts, &out);
  if (!facts.unfinished.empty()) {
    out.Add(Severity::kWarning, "status.incomplete",
            "Not determined within the run's " + Number(facts.deadlineMs / 1000) + " s: " +
                JoinNames(facts.unfinished) + ".");
  }
  return out.Sorted();
}

int ExitCodeOf(const std::vector<Finding>& findings) {
  int code = 0;
  for (const Finding& finding : findings) code = std::max(code, static_cast<int>(finding.severity));
  return code;
}

std::string ShortDevicePath(const std::string& path) {
  // \\?\ enumerator # device # instance # {interface class}
  std::vector<size_t> hashes;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '#') hashes.push_back(i);
  }
  if (hashes.size() == 3 && path.size() > hashes[2] + 1 && path[hashes[2] + 1] == '{' &&
      hashes[2] > hashes[1] + 1) {
    return path.substr(0, hashes[1] + 1) + "<serial>" + path.substr(hashes[2]);
  }
  if (hashes.empty()) return path.substr(0, std::min<size_t>(path.size(), 4)) + "<hidden>";
  return path.substr(0, hashes[0] + 1) + "<hidden>";
}

bool SafeKeyPath(const std::string& path) {
  if (path.size() <= kDevicePathPrefixLength || path.size() > 1024) return false;
  for (size_t i = kDevicePathPrefixLength; i < path.size(); ++i) {
    const char c = path[i];
    if (c < 0x20 || c > 0x7E || c == '\\' || c == '/') return false;
  }
  return true;
}

std::string WindowsName(uint32_t major, uint32_t minor, uint32_t build, bool workstation) {
  const uint32_t version = major * 100 + minor;
  switch (version) {
    case 500: return workstation ? "Windows 2000" : "Windows 2000 Server";
    case 501: return "Windows XP";
    case 502: return workstation ? "Windows XP x64" : "Windows Server 2003";
    case 600: return workstation ? "Windows Vista" : "Windows Server 2008";
    case 601: return workstation ? "Windows 7" : "Windows Server 2008 R2";
    case 602: return workstation ? "Windows 8" : "Windows Server 2012";
    case 603: return workstation ? "Windows 8.1" : "Windows Server 2012 R2";
    case 1000:
      if (!workstation) return "Windows Server";
      return build >= 22000 ? "Windows 11" : "Windows 10";
    default: return "Windows NT " + Number(major) + "." + Number(minor);
  }
}

std::string IntegrityName(uint32_t rid) {
  switch (rid) {
    case 0x0000: return "untrusted";
    case 0x1000: return "low";
    case 0x2000: return "medium";
    case 0x2100: return "medium plus";
    case 0x3000: return "high";
    case 0x4000: return "system";
    case 0x5000: return "protected";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(rid));
      return text;
    }
  }
}

std::string ServiceStateName(uint32_t state) {
  switch (state) {
    case kStopped: return "stopped";
    case kStartPending: return "starting";
    case kStopPending: return "stopping";
    case kRunning: return "running";
    case kContinuePending: return "continuing";
    case kPausePending: return "pausing";
    case kPaused: return "paused";
    default: return "in state " + Number(state);
  }
}

std::string StartTypeName(uint32_t startType) {
  switch (startType) {
    case kBootStart: return "at boot";
    case kSystemStart: return "with the system";
    case kAutoStart: return "automatically";
    case kDemandStart: return "on demand";
    case kDisabled: return "never (disabled)";
    default: return "by type " + Number(startType);
  }
}

std::string FileVersionText(uint32_t mostSignificant, uint32_t leastSignificant) {
  return Number(mostSignificant >> 16) + "." + Number(mostSignificant & 0xFFFF) + "." + Number(leastSignificant >> 16) +
         "." + Number(leastSignificant & 0xFFFF);
}

std::string Utf8FromUtf16(const uint16_t* units, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00), &out);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

std::vector<std::string> MultiStrings(const uint8_t* data, size_t size) {
  std::vector<std::string> strings;
  const size_t count = data ? size / 2 : 0;
  std::vector<uint16_t> units(count);
  for (size_t i = 0; i < count; ++i) units[i] = Read16(data + 2 * i);
  size_t start = 0;
  while (start < count && units[start] != 0) {
    size_t stop = start;
    while (stop < count && units[stop] != 0) ++stop;
    strings.push_back(Utf8FromUtf16(units.data() + start, stop - start));
    start = stop + 1;
  }
  return strings;
}

std::vector<std::string> AllStrings(const uint8_t* data, size_t size) {
  std::vector<std::string> strings;
  const size_t count = data ? size / 2 : 0;
  std::vector<uint16_t> units(count);
  for (size_t i = 0; i < count; ++i) units[i] = Read16(data + 2 * i);
  for (size_t start = 0; start < count;) {
    size_t stop = start;
    while (stop < count && units[stop] != 0) ++stop;
    strings.push_back(Utf8FromUtf16(units.data() + start, stop - start));
    start = stop + 1;
  }
  return strings;
}

std::string ProgramOfCommandLine(const std::string& commandLine) {
  size_t start = 0;
  while (start < commandLine.size() && (commandLine[start] == ' ' || commandLine[start] == '\t')) ++start;
  if (start < commandLine.size() && commandLine[start] == '"') {
    const size_t end = commandLine.find('"', start + 1);
    return commandLine.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  }
  const std::string rest = commandLine.substr(start);
  // Unquoted: up to ".exe" when the text has one followed by a blank or the end, else to the blank.
  for (size_t at = 0; (at = rest.find('.', at)) != std::string::npos; ++at) {
    if (EqualsIgnoringCase(rest.substr(at, 4), ".exe") && (at + 4 == rest.size() || rest[at + 4] == ' ')) {
      return rest.substr(0, at + 4);
    }
  }
  return rest.substr(0, rest.find_first_of(" \t"));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool SamePath(const std::string& a, const std::string& b) {
  auto normal = [](std::string text) {
    for (char& c : text) c = c == '/' ? '\\' : LowerAscii(c);
    while (text.size() > 3 && text.back() == '\\') text.pop_back();
    return text;
  };
  return normal(a) == normal(b);
}

std::optional<SecurityDirectory> SecurityDirectoryOf(const uint8_t* head, size_t headSize, uint64_t fileSize) {
  constexpr size_t kPeOffsetAt = 0x3C;
  constexpr size_t kFileHeaderSize = 20;
  constexpr uint32_t kSecurityIndex = 4;
  if (!head || headSize < kPeOffsetAt + 4 || head[0] != 'M' || head[1] != 'Z') return std::nullopt;
  const uint32_t pe = Read32(head + kPeOffsetAt);
  if (pe > headSize || headSize - pe < 4 + kFileHeaderSize + 2) return std::nullopt;
  if (std::memcmp(head + pe, "PE\0\0", 4) != 0) return std::nullopt;
  const uint16_t optionalSize = Read16(head + pe + 4 + 16);
  const size_t optional = pe + 4 + kFileHeaderSize;
  if (headSize - optional < optionalSize) return std::nullopt;
  const uint16_t magic = Read16(head + optional);
  size_t countAt = 0;
  if (magic == 0x10B) countAt = 92;        // PE32
  else if (magic == 0x20B) countAt = 108;  // PE32+
  else return std::nullopt;
  if (optionalSize < countAt + 4) return std::nullopt;
  const uint32_t count = Read32(head + optional + countAt);
  const size_t entryAt = countAt + 4 + 8 * kSecurityIndex;
  if (count <= kSecurityIndex || optionalSize < entryAt + 8) return std::nullopt;
  SecurityDirectory directory;
  directory.offset = Read32(head + optional + entryAt);  // a file offset, not an address
  directory.size = Read32(head + optional + entryAt + 4);
  if (directory.offset == 0 || directory.size < 8) return std::nullopt;
  if (static_cast<uint64_t>(directory.offset) + directory.size > fileSize) return std::nullopt;
  return directory;
}

bool IsAuthenticodeEntry(const uint8_t* entry, size_t entrySize, const SecurityDirectory& directory) {
  constexpr uint16_t kRevision2 = 0x0200;
  constexpr uint16_t kPkcsSignedData = 0x0002;
  if (!entry || entrySize < 8) return false;
  const uint32_t length = Read32(entry);
  return length > 8 && length <= directory.size && Read16(entry + 4) == kRevision2 &&
         Read16(entry + 6) == kPkcsSignedData;
}

std::vector<std::string> PendingFilesOfOurs(const std::vector<std::string>& operations, const std::string& folder) {
  auto plain = [](std::string path) {
    if (!path.empty() && path[0] == '!') path.erase(0, 1);
    if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
    return path;
  };
  std::string prefix = folder;
  while (!prefix.empty() && (prefix.back() == '\\' || prefix.back() == '/')) prefix.pop_back();
  std::vector<std::string> ours;
  for (const std::string& operation : operations) {
    const std::string path = plain(operation);
    if (path.empty()) continue;
    bool match = !prefix.empty() && SamePath(path.substr(0, prefix.size()), prefix) &&
                 (path.size() == prefix.size() || path[prefix.size()] == '\\' || path[prefix.size()] == '/');
    // Elsewhere (an earlier installation's folder) by name; "uninstall.exe" is too common a name.
    for (const char* name : kInstalledFiles) {
      if (EqualsIgnoringCase(name, kUninstaller)) continue;
      match = match || EndsWithIgnoringCase(path, std::string("\\") + name) ||
              EndsWithIgnoringCase(path, std::string("\\") + name + ".new");
    }
    if (match && std::find(ours.begin(), ours.end(), path) == ours.end()) ours.push_back(path);
  }
  return ours;
}

std::string ManifestProgram(const std::string& manifestText) {
  const nlohmann::json manifest = nlohmann::json::parse(manifestText, nullptr, false);
  if (!manifest.is_object()) return std::string();
  const auto path = manifest.find("path");
  return path != manifest.end() && path->is_string() ? path->get<std::string>() : std::string();
}

}  // namespace status
}  // namespace tamsu
