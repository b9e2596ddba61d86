// The reports of `TamsuCli status`: text for people, JSON (schema 1) for tools. Unknown facts are
// "not checked"/"unknown" in the text and null in JSON, never a guess.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "tools/cli/status/status_report.h"

namespace tamsu {
namespace status {
namespace {

using Json = nlohmann::ordered_json;  // keeps the fields in the documented order, for people reading it too

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kInfo: return "info";
    case Severity::kWarning: return "warning";
    case Severity::kFailure: return "failure";
  }
  return "failure";
}

const char* ResultName(int exitCode) { return exitCode == 0 ? "ok" : exitCode == 1 ? "warning" : "failure"; }

const char* PresenceName(Presence presence) {
  switch (presence) {
    case Presence::kAbsent: return "absent";
    case Presence::kPresent: return "present";
    case Presence::kUnreadable: return "unreadable";
    case Presence::kNotChecked: break;
  }
  return "not checked";
}

const char* ListPipeName(ListPipe pipe) {
  switch (pipe) {
    case ListPipe::kAbsent: return "absent";
    case ListPipe::kBusy: return "busy";
    case ListPipe::kServed: return "served";
    case ListPipe::kError: return "error";
    case ListPipe::kNotChecked: break;
  }
  return "not checked";
}

const char* ListRequestName(ListRequest request) {
  switch (request) {
    case ListRequest::kAnswered: return "answered";
    case ListRequest::kNoService: return "no service";
    case ListRequest::kRefused: return "refused";
    case ListRequest::kFailed: return "failed";
    case ListRequest::kNoAnswer: return "no answer";
    case ListRequest::kNotChecked: break;
  }
  return "not checked";
}

const char* MutexName(MutexState state) {
  switch (state) {
    case MutexState::kAbsent: return "absent";
    case MutexState::kPresent: return "present";
    case MutexState::kOtherObject: return "another object";
    case MutexState::kError: return "unknown";
    case MutexState::kNotChecked: break;
  }
  return "not checked";
}

const char* KeyPipeName(KeyPipe pipe) {
  switch (pipe) {
    case KeyPipe::kOpen: return "open";
    case KeyPipe::kBusy: return "busy";
    case KeyPipe::kAbsent: return "absent";
    case KeyPipe::kForeign: return "foreign";
    case KeyPipe::kBadPath: return "bad path";
    case KeyPipe::kError: return "error";
    case KeyPipe::kNotChecked: break;
  }
  return "not checked";
}

const char* ActionName(uint32_t type) {
  switch (type) {
    case kActionNone: return "none";
    case kActionRestart: return "restart";
    case kActionReboot: return "reboot";
    case kActionRunCommand: return "run a command";
  }
  return "unknown";
}

// The genuine server, as the client library judged it: true, false, or unknown (null).
std::optional<bool> Genuine(const MonitorFacts& monitor) {
  if (monitor.request == ListRequest::kAnswered) return true;
  if (monitor.request == ListRequest::kRefused) return false;
  return std::nullopt;
}

std::string DevicePath(const std::string& path, const RenderOptions& options) {
  return options.full ? path : ShortDevicePath(path);
}

std::string Number(uint64_t value) { return std::to_string(static_cast<unsigned long long>(value)); }

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

// ---- JSON ----

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}
Json IdOrNull(uint32_t id) { return id ? Json(id) : Json(nullptr); }
Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json ServiceJson(const ServiceFacts& service) {
  Json json;
  const bool present = service.presence == Presence::kPresent;
  json["registered"] = service.presence == Presence::kNotChecked || service.presence == Presence::kUnreadable
                           ? Json(nullptr)
                           : Json(present);
  json["state"] = present ? Json(ServiceStateName(service.state)) : Json(nullptr);
  json["processId"] = present ? IdOrNull(service.processId) : Json(nullptr);
  json["startType"] = present && service.configKnown ? Json(StartTypeName(service.startType)) : Json(nullptr);
  return json;
}

Json SystemJson(const SystemFacts& system) {
  Json json;
  json["windows"] = system.versionKnown ? Json(WindowsName(system.major, system.minor, system.build, system.workstation))
                                        : Json(nullptr);
  json["version"] = system.versionKnown
                        ? Json(Number(system.major) + "." + Number(system.minor) + "." + Number(system.build))
                        : Json(nullptr);
  json["servicePack"] = TextOrNull(system.servicePack);
  json["server"] = system.versionKnown ? Json(!system.workstation) : Json(nullptr);
  json["windows64"] = system.wow64;
  json["wow64"] = system.wow64;
  json["integrity"] = system.integrityRid ? Json(IntegrityName(*system.integrityRid)) : Json(nullptr);
  json["anyServerAllowed"] = system.anyServerAllowed;
  return json;
}

Json InstallJson(const InstallFacts& install) {
  Json json;
  json["installed"] = install.checked ? Json(install.entry) : Json(nullptr);
  json["version"] = TextOrNull(install.version);
  json["folder"] = TextOrNull(install.folder);
  json["files"] = Json::array();
  for (const FileFacts& file : install.files) {
    Json entry;
    entry["name"] = file.name;
    entry["present"] = file.present;
    entry["version"] = TextOrNull(file.version);
    entry["signed"] = OrNull(file.signature);
    json["files"].push_back(entry);
  }
  return json;
}

Json TamsuServiceJson(const ServiceFacts& service) {
  Json json = ServiceJson(service);
  json["binaryPath"] = TextOrNull(service.binaryPath);
  json["programPresent"] = OrNull(service.programPresent);
  Json recovery;
  recovery["reported"] = service.recoveryReported;
  recovery["resetSeconds"] = service.recoveryReported ? Json(service.resetSeconds) : Json(nullptr);
  recovery["actions"] = Json::array();
  for (const RecoveryAction& action : service.recovery) {
    recovery["actions"].push_back(Json{{"type", ActionName(action.type)}, {"delayMs", action.delayMs}});
  }
  json["recovery"] = recovery;
  return json;
}

Json MonitorJson(const MonitorFacts& monitor) {
  Json json;
  json["processId"] = IdOrNull(monitor.publishedId);
  json["running"] = OrNull(monitor.processRunning);
  json["listPipe"] = ListPipeName(monitor.pipe);
  json["listServerProcessId"] = IdOrNull(monitor.pipeServerId);
  json["listRequest"] = ListRequestName(monitor.request);
  json["listRoundTripMs"] = monitor.roundTripMs >= 0 ? Json(monitor.roundTripMs) : Json(nullptr);
  json["genuine"] = OrNull(Genuine(monitor));
  return json;
}

Json WebHostJson(const WebHostFacts& web) {
  Json json;
  json["configured"] = web.checked ? Json(web.configPresent) : Json(nullptr);
  json["allowedExtensions"] = OrNull(web.extensions);
  json["allowedOrigins"] = OrNull(web.origins);
  json["browsers"] = Json::array();
  for (const BrowserFacts& browser : web.browsers) {
    Json entry;
    entry["name"] = browser.name;
    entry["registered32"] = browser.registered32;
    entry["registered64"] = browser.registered64;
    entry["manifest"] = TextOrNull(browser.manifest);
    entry["manifestPresent"] = OrNull(browser.manifestPresent);
    entry["program"] = TextOrNull(browser.program);
    entry["programPresent"] = OrNull(browser.programPresent);
    json["browsers"].push_back(entry);
  }
  return json;
}

// ---- Text ----

// Values start in one column, so that a report reads as a table.
constexpr size_t kValueColumn = 22;

class Text {
 public:
  void Heading(const std::string& title) { out_ += (out_.empty() ? "" : "\n") + title + "\n"; }
  void Line(const std::string& label, const std::string& value) {
    std::string padded = "  " + label;
    if (padded.size() < kValueColumn) padded.resize(kValueColumn, ' ');
    else padded += "  ";
    out_ += padded + value + "\n";
  }
  void Raw(const std::string& line) { out_ += line + "\n"; }
  std::string str() const { return out_; }

 private:
  std::string out_;
};

std::string YesNo(const std::optional<bool>& value, const char* yes, const char* no) {
  return value ? (*value ? yes : no) : "unknown";
}

void ServiceText(const char* name, const ServiceFacts& service, Text* text) {
  if (service.presence != Presence::kPresent) {
    text->Line(name, service.presence == Presence::kAbsent ? "not registered" : PresenceName(service.presence));
    return;
  }
  std::string state = ServiceStateName(service.state);
  if (service.processId) state += " (process " + Number(service.processId) + ")";
  if (service.configKnown) state += ", starts " + StartTypeName(service.startType);
  text->Line(name, state);
}

void TamsuServiceText(const StatusFacts& facts, Text* text) {
  const ServiceFacts& service = facts.service;
  text->Heading("Service \"Tamsu Service _ZUVA\"");
  ServiceText("State", service, text);
  if (service.presence != Presence::kPresent || !service.configKnown) return;
  text->Line("Program", service.binaryPath + (service.programPresent
                                                  ? (*service.programPresent ? "  (present)" : "  (MISSING)")
                                                  : ""));
  if (!service.recoveryReported) {
    text->Line("Recovery", "not reported by this system");
    return;
  }
  std::string recovery;
  for (const RecoveryAction& action : service.recovery) {
    recovery += (recovery.empty() ? "" : ", ") + std::string(ActionName(action.type)) + " after " +
                Number(action.delayMs / 1000) + " s";
  }
  if (recovery.empty()) recovery = "none";
  text->Line("Recovery", recovery + "; failure count reset after " + Number(service.resetSeconds) + " s");
}

void MonitorText(const StatusFacts& facts, Text* text) {
  const MonitorFacts& monitor = facts.monitor;
  text->Heading("Monitor");
  if (!monitor.checked) {
    text->Line("Process", "not checked");
    return;
  }
  std::string process = monitor.publishedId ? Number(monitor.publishedId) : std::string("none published");
  if (monitor.publishedId && monitor.processRunning) process += *monitor.processRunning ? " (running" : " (NOT running";
  if (monitor.publishedId && monitor.processRunning) {
    if (!monitor.processImage.empty()) process += ", " + monitor.processImage;
    process += ")";
  }
  text->Line("Process", process);
  std::string pipe = ListPipeName(monitor.pipe);
  if (monitor.pipeServerId) pipe += " by process " + Number(monitor.pipeServerId);
  text->Line("List pipe", pipe);
  std::string request = ListRequestName(monitor.request);
  if (monitor.request == ListRequest::kAnswered) request += " in " + Milliseconds(monitor.roundTripMs);
  if (!monitor.requestError.empty() && monitor.request != ListRequest::kAnswered) request += ": " + monitor.requestError;
  text->Line("List request", request);
  text->Line("Genuine server", YesNo(Genuine(monitor), "yes, the client library accepts it", "NO, refused"));
  text->Line("Mutex", MutexName(facts.mutex.state));
}

void KeysText(const StatusFacts& facts, const RenderOptions& options, Text* text) {
  text->Heading("Keys");
  if (!facts.keysChecked) {
    text->Raw("  not listed");
    return;
  }
  if (facts.keys.empty()) text->Raw("  none present");
  for (size_t i = 0; i < facts.keys.size(); ++i) {
    text->Line(Number(i), DevicePath(facts.keys[i].path, options) + "  pipe " + KeyPipeName(facts.keys[i].pipe));
  }
}

void WebHostText(const WebHostFacts& web, bool twoViews, Text* text) {
  text->Heading("Web host");
  if (!web.checked) {
    text->Line("Configuration", "not checked");
    return;
  }
  auto count = [](const std::optional<size_t>& n) { return n ? Number(*n) : std::string("no list"); };
  text->Line("Configuration", web.configPresent ? count(web.extensions) + " extension(s), " + count(web.origins) +
                                                      " origin(s)"
                                                : std::string("missing"));
  for (const BrowserFacts& browser : web.browsers) {
    std::string line;
    if (!browser.registered32 && !browser.registered64) {
      line = "not registered";
    } else {
      const char* views = !twoViews                                       ? ""
                          : browser.registered32 && browser.registered64 ? " (both views)"
                          : browser.registered32                         ? " (32-bit view only)"
                                                                         : " (64-bit view only)";
      line = std::string("registered") + views + ", manifest " + browser.manifest;
      if (browser.manifestPresent && !*browser.manifestPresent) line += " (MISSING)";
      if (browser.programPresent && !*browser.programPresent) line += ", its program is MISSING";
    }
    text->Line(browser.name, line);
  }
}

}  // namespace

std::string RenderJson(const StatusFacts& facts, const std::vector<Finding>& findings, const RenderOptions& options) {
  const int exitCode = ExitCodeOf(findings);
  Json json;
  json["schema"] = kSchemaVersion;
  json["tool"] = "TamsuCli status";
  json["toolVersion"] = facts.toolVersion;
  json["result"] = ResultName(exitCode);
  json["exitCode"] = exitCode;
  json["elapsedMs"] = facts.elapsedMs;
  json["complete"] = facts.unfinished.empty();
  json["unfinished"] = facts.unfinished;
  json["system"] = SystemJson(facts.system);
  json["installation"] = InstallJson(facts.install);
  json["service"] = TamsuServiceJson(facts.service);
  json["monitor"] = MonitorJson(facts.monitor);
  json["mutex"] = MutexName(facts.mutex.state);
  Json keys = Json::array();
  for (size_t i = 0; i < facts.keys.size(); ++i) {
    const KeyFacts& key = facts.keys[i];
    keys.push_back(Json{{"index", i},
                        {"path", DevicePath(key.path, options)},
                        {"pipe", KeyPipeName(key.pipe)},
                        {"serverProcessId", IdOrNull(key.serverId)}});
  }
  json["keys"] = facts.keysChecked ? keys : Json(nullptr);
  Json desktop;
  desktop["value"] = facts.desktop.valuePresent && facts.desktop.isDword ? Json(facts.desktop.value) : Json(nullptr);
  desktop["type"] = !facts.desktop.checked       ? "not checked"
                    : !facts.desktop.valuePresent ? "absent"
                    : facts.desktop.isDword       ? "dword"
                                                  : "other";
  desktop["secureDesktop"] = !facts.desktop.valuePresent || !facts.desktop.isDword || facts.desktop.value == 1;
  json["enableDesktop"] = desktop;
  json["smartCardService"] = ServiceJson(facts.smartCard);
  json["webHost"] = WebHostJson(facts.webHost);
  Json run;
  run["present32"] = facts.runEntry.present32;
  run["present64"] = facts.runEntry.present64;
  run["command"] = TextOrNull(facts.runEntry.command);
  run["programFound"] = OrNull(facts.runEntry.programFound);
  json["runEntry"] = facts.runEntry.checked ? run : Json(nullptr);
  json["pendingRestartFiles"] = facts.pending.checked ? Json(facts.pending.files) : Json(nullptr);
  json["findings"] = Json::array();
  for (const Finding& finding : findings) {
    json["findings"].push_back(Json{{"severity", SeverityName(finding.severity)}, {"id", finding.id}, {"text", finding.text}});
  }
  // ASCII out (\u escapes), and never an exception for a name that is not valid UTF-8.
  return json.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

std::string RenderText(const StatusFacts& facts, const std::vector<Finding>& findings, const RenderOptions& options) {
  Text text;
  text.Raw("Tamsu ZUVA status (TamsuCli " + facts.toolVersion + ")");
  const SystemFacts& system = facts.system;
  text.Heading("System");
  text.Line("Windows", system.versionKnown ? WindowsName(system.major, system.minor, system.build, system.workstation) +
                                                 " (" + Number(system.major) + "." + Number(system.minor) + "." +
                                                 Number(system.build) +
                                                 (system.servicePack.empty() ? "" : ", " + system.servicePack) + ")"
                                           : std::string("unknown"));
  text.Line("Bitness", system.wow64 ? "64-bit Windows (this program runs under WOW64)" : "32-bit Windows");
  text.Line("Integrity", system.integrityRid ? IntegrityName(*system.integrityRid) : "none (before Vista)");

  const InstallFacts& install = facts.install;
  text.Heading("Installation");
  text.Line("Version", !install.checked ? "not checked"
                       : install.entry  ? install.version + (install.folder.empty() ? "" : " in " + install.folder)
                                        : "not installed (no uninstall entry)");
  for (const FileFacts& file : install.files) {
    text.Line(file.name, !file.present ? "MISSING"
                                       : (file.version.empty() ? std::string("no version") : file.version) + ", " +
                                             YesNo(file.signature, "signed", "not signed"));
  }
  TamsuServiceText(facts, &text);
  MonitorText(facts, &text);
  KeysText(facts, options, &text);

  text.Heading("Settings");
  const DesktopFacts& desktop = facts.desktop;
  text.Line("EnableDesktop", !desktop.checked       ? "not checked"
                             : !desktop.valuePresent ? "absent (secure desktop used)"
                             : !desktop.isDword      ? "not a DWORD (ignored: secure desktop used)"
                                                     : Number(desktop.value) + (desktop.value == 1
                                                                                    ? " (secure desktop used)"
                                                                                    : " (secure desktop off)"));
  ServiceText("Smart Card service", facts.smartCard, &text);
  const RunEntryFacts& run = facts.runEntry;
  text.Line("Run entry", !run.checked                          ? "not checked"
                         : !run.present32 && !run.present64    ? "absent"
                         : run.command + (run.programFound ? (*run.programFound ? " (found)" : " (NOT found)") : ""));
  text.Line("Pending restart", !facts.pending.checked      ? "not checked"
                               : facts.pending.files.empty() ? "none for this package"
                                                             : Number(facts.pending.files.size()) + " file(s)");
  WebHostText(facts.webHost, facts.system.wow64, &text);

  text.Heading("Findings");
  if (findings.empty()) text.Raw("  none");
  for (const Finding& finding : findings) {
    std::string severity = SeverityName(finding.severity);
    for (char& c : severity) c = static_cast<char>(c - 'a' + 'A');
    severity.resize(8, ' ');
    text.Raw("  " + severity + finding.text + "  [" + finding.id + "]");
  }
  const int exitCode = ExitCodeOf(findings);
  text.Raw("");
  text.Raw("Result: " + std::string(ResultName(exitCode)) + " (exit code " + Number(exitCode) + "), " +
           Number(facts.elapsedMs) + " ms" + (facts.unfinished.empty() ? "" : ", incomplete"));
  return text.str();
}

}  // namespace status
}  // namespace tamsu
