// TamsuCli status's judgements and reports, from facts made here: each finding from the fact that
// calls for it, the exit code as the worst finding, serial numbers kept out, malformed bytes read safely.
#include "tools/cli/status/status_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>

namespace tamsu {
namespace status {
namespace {

const char kFolder[] = "C:\\Program Files\\Tamsu_ZUVA";
const char kKeyPath[] =
    "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#0413220A1B2C&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// A healthy installation as the probes would report it.
StatusFacts Healthy() {
  StatusFacts f;
  f.toolVersion = "1.0.0.0";
  f.system = {true, 6, 1, 7601, true, "Service Pack 1", true, 0x2000u, false};
  f.install.checked = true;
  f.install.entry = true;
  f.install.version = "1.0.0.0";
  f.install.folder = kFolder;
  for (const char* name : kInstalledFiles) f.install.files.push_back({name, true, "1.0.0.0", false});
  f.service.presence = Presence::kPresent;
  f.service.state = kRunning;
  f.service.processId = 600;
  f.service.configKnown = true;
  f.service.startType = kAutoStart;
  f.service.binaryPath = "\"" + std::string(kFolder) + "\\TamsuSerB.exe\"";
  f.service.programPresent = true;
  f.service.recoveryReported = true;
  f.service.resetSeconds = 86400;
  f.service.recovery = {{kActionRestart, 1000}, {kActionRestart, 5000}, {kActionRestart, 30000}};
  f.monitor.checked = true;
  f.monitor.publishedId = 700;
  f.monitor.processRunning = true;
  f.monitor.processImage = "TamsuSerB.exe";
  f.monitor.pipe = ListPipe::kServed;
  f.monitor.pipeServerId = 700;
  f.monitor.request = ListRequest::kAnswered;
  f.monitor.roundTripMs = 3.5;
  f.monitor.requestTimeoutMs = 3000;
  f.mutex.state = MutexState::kPresent;
  f.keysChecked = true;
  f.keys = {{kKeyPath, KeyPipe::kOpen, 700, 0}};
  f.desktop = {true, true, true, 1};
  f.smartCard.presence = Presence::kPresent;
  f.smartCard.state = kRunning;
  f.smartCard.configKnown = true;
  f.smartCard.startType = kDemandStart;
  f.webHost.checked = true;
  f.webHost.configPresent = true;
  f.webHost.extensions = 1;
  f.webHost.origins = 2;
  for (const char* browser : kBrowsers) {
    const std::string manifest = std::string(kFolder) + "\\com.varnelle.tamsu_zuva.json";
    f.webHost.browsers.push_back({browser, true, true, manifest, true, std::string(kFolder) + "\\TamsuWebHost.exe", true});
  }
  f.runEntry = {true, false, true, "TamsuReg_ZUVA.exe", true};
  f.pending.checked = true;
  f.deadlineMs = 8000;
  return f;
}

std::vector<std::string> Ids(const std::vector<Finding>& findings, Severity atLeast = Severity::kInfo) {
  std::vector<std::string> ids;
  for (const Finding& f : findings) {
    if (f.severity >= atLeast) ids.push_back(f.id);
  }
  return ids;
}

// The findings of warning or worse, and the exit code, of facts changed from a healthy machine.
struct Verdict {
  std::vector<std::string> ids;
  int exitCode;
};
template <typename Change>
Verdict Judge(Change change) {
  StatusFacts facts = Healthy();
  change(facts);
  const std::vector<Finding> findings = Evaluate(facts);
  return {Ids(findings, Severity::kWarning), ExitCodeOf(findings)};
}

using Ids_ = std::vector<std::string>;

BrowserFacts Unregistered(const std::string& name) {
  BrowserFacts browser;
  browser.name = name;
  return browser;
}

TEST(StatusFindings, AHealthyInstallationHasNoneAndExitsZero) {
  const std::vector<Finding> findings = Evaluate(Healthy());
  EXPECT_TRUE(findings.empty()) << findings.front().id;
  EXPECT_EQ(0, ExitCodeOf(findings));
  // Notes alone leave the exit code at 0.
  StatusFacts facts = Healthy();
  facts.keys.clear();
  facts.desktop.value = 0;
  facts.smartCard.state = kStopped;
  EXPECT_EQ((Ids_{"keys.none", "desktop.off", "smartcard.stopped"}), Ids(Evaluate(facts)));
  EXPECT_EQ(0, ExitCodeOf(Evaluate(facts)));
}

TEST(StatusFindings, EachServiceAndMonitorFaultHasItsFindingAndExitCode) {
  EXPECT_EQ((Ids_{"service.not-running"}), Judge([](StatusFacts& f) {
              f.service.state = kStopped;
              f.monitor.publishedId = 0;
              f.monitor.processRunning.reset();
              f.monitor.pipe = ListPipe::kAbsent;
              f.monitor.pipeServerId = 0;
              f.monitor.request = ListRequest::kNoService;
              f.mutex.state = MutexState::kAbsent;
              f.keys.clear();
            }).ids);
  const Verdict killed = Judge([](StatusFacts& f) {
    f.monitor.publishedId = 0;
    f.monitor.processRunning.reset();
    f.monitor.pipe = ListPipe::kAbsent;
    f.monitor.request = ListRequest::kNoService;
    f.keys.clear();
  });
  EXPECT_EQ((Ids_{"monitor.none"}), killed.ids) << "no second finding for the pipe the missing monitor cannot serve";
  EXPECT_EQ(2, killed.exitCode);
  EXPECT_EQ((Ids_{"monitor.gone"}), Judge([](StatusFacts& f) {
              f.monitor.processRunning = false;
              f.monitor.pipe = ListPipe::kAbsent;
            }).ids);
  EXPECT_EQ((Ids_{"monitor.not-serving"}), Judge([](StatusFacts& f) { f.monitor.pipe = ListPipe::kAbsent; }).ids);
  const Verdict held = Judge([](StatusFacts& f) {
    f.monitor.pipe = ListPipe::kBusy;
    f.monitor.request = ListRequest::kNoAnswer;
  });
  EXPECT_EQ((Ids_{"monitor.list-busy", "monitor.no-answer"}), held.ids);
  EXPECT_EQ(2, held.exitCode);
  EXPECT_EQ((Ids_{"monitor.foreign-server"}), Judge([](StatusFacts& f) {
              f.monitor.pipeServerId = 701;
              f.monitor.request = ListRequest::kRefused;
            }).ids)
      << "a refusal is not reported twice";
  EXPECT_EQ((Ids_{"monitor.refused"}), Judge([](StatusFacts& f) { f.monitor.request = ListRequest::kRefused; }).ids)
      << "before Vista no server id: the client library's refusal alone";
  EXPECT_EQ((Ids_{"service.pending"}), Judge([](StatusFacts& f) { f.service.state = kStopPending; }).ids);
  EXPECT_EQ(1, Judge([](StatusFacts& f) { f.service.state = kStartPending; }).exitCode);
  EXPECT_EQ((Ids_{"service.start-type"}), Judge([](StatusFacts& f) { f.service.startType = kDemandStart; }).ids);
  EXPECT_EQ(2, Judge([](StatusFacts& f) { f.service.startType = kDisabled; }).exitCode);
  EXPECT_EQ((Ids_{"service.no-recovery"}), Judge([](StatusFacts& f) {
              f.service.recovery = {{kActionNone, 0}, {kActionReboot, 60000}};
            }).ids);
  EXPECT_EQ((Ids_{}), Judge([](StatusFacts& f) {
              f.service.recoveryReported = false;
              f.service.recovery.clear();
            }).ids)
      << "a system that cannot report the actions is no evidence of their absence";
  EXPECT_EQ((Ids_{"mutex.missing"}), Judge([](StatusFacts& f) { f.mutex.state = MutexState::kAbsent; }).ids);
  EXPECT_EQ((Ids_{"mutex.other-object"}), Judge([](StatusFacts& f) { f.mutex.state = MutexState::kOtherObject; }).ids);
}

TEST(StatusFindings, ContradictionsBetweenSectionsAreFindings) {
  // A program serving the list's name while the service is stopped, holding the mutex's name too.
  const Verdict squatted = Judge([](StatusFacts& f) {
    f.service.state = kStopped;
    f.service.processId = 0;
    f.monitor.publishedId = 0;
    f.monitor.processRunning.reset();
    f.monitor.pipeServerId = 900;
    f.monitor.request = ListRequest::kRefused;
  });
  EXPECT_EQ((Ids_{"service.not-running", "monitor.foreign-server", "mutex.held-without-service"}), squatted.ids);
  EXPECT_EQ(2, squatted.exitCode);
  EXPECT_EQ((Ids_{"install.file-missing", "service.program-missing"}), Judge([](StatusFacts& f) {
              f.service.programPresent = false;
              f.install.files[0].present = false;
            }).ids);
  EXPECT_EQ((Ids_{"service.program-elsewhere"}), Judge([](StatusFacts& f) {
              f.service.binaryPath = "C:\\Elsewhere\\TamsuSerB.exe -x";
            }).ids);
  EXPECT_EQ((Ids_{}), Judge([](StatusFacts& f) {
              f.service.binaryPath = "\"c:/program files/tamsu_zuva/TAMSUSERB.EXE\"";
            }).ids)
      << "the same folder written otherwise";
  const Verdict run = Judge([](StatusFacts& f) { f.runEntry.programFound = false; });
  EXPECT_EQ((Ids_{"run.program-missing"}), run.ids);
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ((Ids_{"restart.pending"}), Judge([](StatusFacts& f) {
              f.pending.files = {std::string(kFolder) + "\\TamsuVD_ZUVA.dll"};
            }).ids);
  EXPECT_EQ((Ids_{"install.entry-missing"}), Judge([](StatusFacts& f) {
              f.install.entry = false;
              f.install.version.clear();
            }).ids);
  EXPECT_EQ((Ids_{"install.version-mismatch"}), Judge([](StatusFacts& f) { f.install.files[2].version = "0.9.0.0"; }).ids);
  EXPECT_EQ((Ids_{"install.signature-mixed"}), Judge([](StatusFacts& f) {
              for (FileFacts& file : f.install.files) file.signature = true;
              f.install.files[1].signature = false;
            }).ids);
  EXPECT_EQ((Ids_{"install.signature-mixed"}), Judge([](StatusFacts& f) {
              for (FileFacts& file : f.install.files) file.signature = true;
              f.install.files.back().signature = false;
            }).ids)
      << "a signed release signs its uninstaller too";
  const Verdict uninstaller = Judge([](StatusFacts& f) { f.install.files.back().present = false; });
  EXPECT_EQ(1, uninstaller.exitCode) << "a missing uninstaller stops no key";
}

TEST(StatusFindings, WebHostRegistrationAndListsAndSettings) {
  const Verdict unregistered = Judge([](StatusFacts& f) {
    for (BrowserFacts& b : f.webHost.browsers) b = Unregistered(b.name);
  });
  EXPECT_EQ((Ids_{"webhost.unregistered"}), unregistered.ids);
  EXPECT_EQ(2, unregistered.exitCode);
  EXPECT_EQ((Ids_{"webhost.browser-unregistered"}), Judge([](StatusFacts& f) {
              f.webHost.browsers[1] = Unregistered("Edge");
            }).ids);
  const Verdict empty = Judge([](StatusFacts& f) {
    f.webHost.extensions = 0;
    f.webHost.origins.reset();
  });
  EXPECT_EQ((Ids_{"webhost.no-extensions", "webhost.no-origins"}), empty.ids);
  EXPECT_EQ(1, empty.exitCode);
  EXPECT_EQ((Ids_{"webhost.config-missing"}), Judge([](StatusFacts& f) { f.webHost.configPresent = false; }).ids);
  EXPECT_EQ((Ids_{"webhost.manifest-missing"}), Judge([](StatusFacts& f) {
              f.webHost.browsers[2].manifestPresent = false;
              f.webHost.browsers[2].program.clear();
              f.webHost.browsers[2].programPresent.reset();
            }).ids);
  EXPECT_EQ((Ids_{"webhost.program-missing"}), Judge([](StatusFacts& f) { f.webHost.browsers[0].programPresent = false; }).ids);
  EXPECT_EQ((Ids_{"desktop.ignored"}), Judge([](StatusFacts& f) { f.desktop.isDword = false; }).ids);
  EXPECT_EQ((Ids_{"smartcard.missing"}), Judge([](StatusFacts& f) {
              f.smartCard = ServiceFacts();
              f.smartCard.presence = Presence::kAbsent;
            }).ids);
  EXPECT_EQ((Ids_{"system.any-server-allowed"}), Judge([](StatusFacts& f) { f.system.anyServerAllowed = true; }).ids);
  EXPECT_EQ((Ids_{"status.incomplete"}), Judge([](StatusFacts& f) { f.unfinished = {"the web host"}; }).ids);
}

TEST(StatusFindings, NothingInstalledIsOneFailureWithoutTheInstallationsDetails) {
  StatusFacts facts;
  facts.install.checked = true;
  facts.service.presence = Presence::kAbsent;
  facts.smartCard.presence = Presence::kAbsent;
  facts.webHost.checked = true;
  facts.monitor.checked = true;
  facts.monitor.pipe = ListPipe::kAbsent;
  facts.monitor.request = ListRequest::kNoService;
  facts.mutex.state = MutexState::kAbsent;
  facts.keysChecked = true;
  const std::vector<Finding> findings = Evaluate(facts);
  EXPECT_EQ((Ids_{"install.missing"}), Ids(findings));
  EXPECT_EQ(2, ExitCodeOf(findings));
}

TEST(StatusFindings, FailuresComeFirst) {
  StatusFacts facts = Healthy();
  facts.runEntry.programFound = false;
  facts.desktop.value = 0;
  facts.service.programPresent = false;
  const std::vector<Finding> findings = Evaluate(facts);
  ASSERT_EQ(3u, findings.size());
  EXPECT_EQ(Severity::kFailure, findings[0].severity);
  EXPECT_EQ(Severity::kWarning, findings[1].severity);
  EXPECT_EQ(Severity::kInfo, findings[2].severity);
}

TEST(StatusReport, SerialNumbersAppearOnlyWithFull) {
  EXPECT_EQ("\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#<serial>#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
            ShortDevicePath(kKeyPath));
  EXPECT_EQ("\\\\?\\usbstor#<hidden>", ShortDevicePath("\\\\?\\usbstor#cdrom#SERIAL"));
  EXPECT_EQ("\\\\?\\usbstor#<hidden>", ShortDevicePath("\\\\?\\usbstor#a#SERIAL#x#{g}"));
  EXPECT_EQ("\\\\?\\<hidden>", ShortDevicePath("\\\\?\\SERIAL0123"));
  StatusFacts facts = Healthy();
  const std::vector<Finding> findings = Evaluate(facts);
  for (const std::string& report : {RenderText(facts, findings, {}), RenderJson(facts, findings, {})}) {
    EXPECT_EQ(std::string::npos, report.find("0413220A1B2C")) << report;
    EXPECT_NE(std::string::npos, report.find("<serial>")) << report;
  }
  EXPECT_NE(std::string::npos, RenderText(facts, findings, {true}).find("0413220A1B2C"));
  EXPECT_NE(std::string::npos, RenderJson(facts, findings, {true}).find("0413220A1B2C"));
}

TEST(StatusReport, JsonSchemaOneCarriesEveryFactAndFinding) {
  StatusFacts facts = Healthy();
  facts.service.state = kStopped;
  facts.monitor.publishedId = 0;
  facts.monitor.processRunning.reset();
  facts.monitor.pipe = ListPipe::kAbsent;
  facts.monitor.pipeServerId = 0;
  facts.monitor.request = ListRequest::kNoService;
  facts.monitor.roundTripMs = -1;
  facts.mutex.state = MutexState::kAbsent;
  facts.webHost.origins = 0;
  facts.install.files[0].signature.reset();
  facts.install.folder = "C:\\Programme\\T\xC3\xA4msu";  // UTF-8, escaped in the output
  const std::vector<Finding> findings = Evaluate(facts);
  const std::string text = RenderJson(facts, findings, {});
  for (unsigned char c : text) ASSERT_LT(c, 0x80) << "not ASCII";
  const nlohmann::json json = nlohmann::json::parse(text);
  EXPECT_EQ(1, json["schema"]);
  EXPECT_EQ("failure", json["result"]);
  EXPECT_EQ(2, json["exitCode"]);
  EXPECT_EQ(true, json["complete"]);
  EXPECT_EQ("Windows 7", json["system"]["windows"]);
  EXPECT_EQ("6.1.7601", json["system"]["version"]);
  EXPECT_EQ("medium", json["system"]["integrity"]);
  EXPECT_EQ(true, json["system"]["wow64"]);
  EXPECT_EQ("C:\\Programme\\T\xC3\xA4msu", json["installation"]["folder"]);
  ASSERT_EQ(std::size(kInstalledFiles), json["installation"]["files"].size());
  EXPECT_TRUE(json["installation"]["files"][0]["signed"].is_null()) << "unreadable, not false";
  EXPECT_EQ(false, json["installation"]["files"][1]["signed"]);
  EXPECT_EQ("stopped", json["service"]["state"]);
  EXPECT_EQ("automatically", json["service"]["startType"]);
  EXPECT_EQ(3u, json["service"]["recovery"]["actions"].size());
  EXPECT_EQ("restart", json["service"]["recovery"]["actions"][2]["type"]);
  EXPECT_EQ(30000, json["service"]["recovery"]["actions"][2]["delayMs"]);
  EXPECT_TRUE(json["monitor"]["processId"].is_null());
  EXPECT_EQ("absent", json["monitor"]["listPipe"]);
  EXPECT_TRUE(json["monitor"]["genuine"].is_null());
  EXPECT_TRUE(json["monitor"]["listRoundTripMs"].is_null());
  EXPECT_EQ("absent", json["mutex"]);
  EXPECT_EQ("open", json["keys"][0]["pipe"]);
  EXPECT_EQ(1, json["enableDesktop"]["value"]);
  EXPECT_EQ("running", json["smartCardService"]["state"]);
  EXPECT_EQ(0, json["webHost"]["allowedOrigins"]);
  EXPECT_EQ(3u, json["webHost"]["browsers"].size());
  EXPECT_EQ(true, json["runEntry"]["present64"]);
  EXPECT_TRUE(json["pendingRestartFiles"].empty());
  std::vector<std::string> ids;
  for (const auto& finding : json["findings"]) ids.push_back(finding["id"]);
  EXPECT_EQ(Ids(findings), ids);
  EXPECT_EQ("failure", json["findings"][0]["severity"]);

  // A name that is not UTF-8 is replaced, never thrown over.
  facts.install.folder = "C:\\\xFF\xFE";
  EXPECT_NO_THROW(nlohmann::json::parse(RenderJson(facts, findings, {})));
}

TEST(StatusReport, TextShowsEachSectionAndTheResult) {
  StatusFacts facts = Healthy();
  facts.unfinished = {"the keys' pipes"};
  facts.elapsedMs = 1234;
  const std::vector<Finding> findings = Evaluate(facts);
  const std::string text = RenderText(facts, findings, {});
  // "  LABEL" in a column of 22, then the value.
  auto row = [](std::string label, const std::string& value) {
    label = "  " + label;
    label.resize(22, ' ');
    return label + value;
  };
  for (const std::string& part :
       {row("Windows", "Windows 7 (6.1.7601, Service Pack 1)"), row("Bitness", "64-bit Windows"),
        row("Integrity", "medium"), row("TamsuWebHost.exe", "1.0.0.0, not signed"),
        row("State", "running (process 600), starts automatically"),
        row("Recovery", "restart after 1 s, restart after 5 s, restart after 30 s"),
        row("List request", "answered in 3.5 ms"), row("Genuine server", "yes"), row("Mutex", "present"),
        row("0", "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#<serial>#"), std::string("pipe open"),
        row("EnableDesktop", "1"), row("Smart Card service", "running, starts on demand"),
        row("Firefox", "registered (both views)"), std::string("  WARNING Not determined"),
        std::string("[status.incomplete]"), std::string("Result: warning (exit code 1), 1234 ms, incomplete")}) {
    EXPECT_NE(std::string::npos, text.find(part)) << part << "\n" << text;
  }
}

TEST(StatusParsing, SecurityDirectoryAndAuthenticodeEntry) {
  // A PE32 header: "MZ", e_lfanew 0x80, "PE\0\0", file header, optional header of 224 bytes.
  std::vector<uint8_t> head(0x200, 0);
  head[0] = 'M';
  head[1] = 'Z';
  head[0x3C] = 0x80;
  std::copy_n("PE\0\0", 4, head.begin() + 0x80);
  const size_t optional = 0x80 + 24;
  head[0x80 + 4 + 16] = 224;
  head[optional] = 0x0B;
  head[optional + 1] = 0x01;
  head[optional + 92] = 16;  // NumberOfRvaAndSizes
  auto setSecurity = [&](uint32_t offset, uint32_t size) {
    for (int i = 0; i < 4; ++i) {
      head[optional + 128 + i] = static_cast<uint8_t>(offset >> (8 * i));
      head[optional + 132 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
  };
  EXPECT_FALSE(SecurityDirectoryOf(head.data(), head.size(), 0x10000)) << "no directory: unsigned";
  setSecurity(0x8000, 0x400);
  const auto directory = SecurityDirectoryOf(head.data(), head.size(), 0x10000);
  ASSERT_TRUE(directory);
  EXPECT_EQ(0x8000u, directory->offset);
  EXPECT_EQ(0x400u, directory->size);
  EXPECT_FALSE(SecurityDirectoryOf(head.data(), head.size(), 0x8200)) << "a directory past the file's end";
  const uint8_t entry[8] = {0x00, 0x04, 0, 0, 0x00, 0x02, 0x02, 0x00};  // length 0x400, revision 2, PKCS #7
  EXPECT_TRUE(IsAuthenticodeEntry(entry, sizeof entry, *directory));
  const uint8_t x509[8] = {0x00, 0x04, 0, 0, 0x00, 0x02, 0x01, 0x00};
  EXPECT_FALSE(IsAuthenticodeEntry(x509, sizeof x509, *directory));
  const uint8_t tooLong[8] = {0x00, 0x08, 0, 0, 0x00, 0x02, 0x02, 0x00};
  EXPECT_FALSE(IsAuthenticodeEntry(tooLong, sizeof tooLong, *directory));
  EXPECT_FALSE(IsAuthenticodeEntry(entry, 4, *directory));

  // PE32+ keeps its directories 16 bytes further on.
  head[optional] = 0x0B;
  head[optional + 1] = 0x02;
  EXPECT_FALSE(SecurityDirectoryOf(head.data(), head.size(), 0x10000)) << "read at the PE32 place";
  // Headers cut anywhere, a header offset far outside, no "MZ": never a read past the buffer.
  for (size_t cut = 0; cut < head.size(); cut += 7) SecurityDirectoryOf(head.data(), cut, 0x10000);
  head[0x3C] = 0xFF;
  head[0x3D] = 0xFF;
  head[0x3E] = 0xFF;
  head[0x3F] = 0xFF;
  EXPECT_FALSE(SecurityDirectoryOf(head.data(), head.size(), 0x10000));
  EXPECT_FALSE(SecurityDirectoryOf(nullptr, 0, 0));
}

TEST(StatusParsing, RegistryStringsCommandLinesAndPendingRenames) {
  const uint8_t list[] = {'a', 0, 'b', 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0};  // "ab", U+1F600
  EXPECT_EQ((std::vector<std::string>{"ab", "\xF0\x9F\x98\x80"}), MultiStrings(list, sizeof list));
  EXPECT_EQ((std::vector<std::string>{"ab"}), MultiStrings(list, 5)) << "an odd byte, no terminator";
  const uint8_t lone[] = {0x00, 0xD8, 'x', 0};
  EXPECT_EQ((std::vector<std::string>{"\xEF\xBF\xBDx"}), MultiStrings(lone, sizeof lone));
  EXPECT_TRUE(MultiStrings(nullptr, 10).empty());
  EXPECT_TRUE(MultiStrings(list + 4, 2).empty()) << "the empty list";
  // Pending renames: a deletion's empty target is a string of its own, the list goes on after it.
  const uint8_t renames[] = {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 'd', 0};
  EXPECT_EQ((std::vector<std::string>{"a", "", "b", "c", "d"}), AllStrings(renames, sizeof renames));
  EXPECT_EQ((std::vector<std::string>{"a", ""}), AllStrings(renames, 7)) << "an odd byte";
  EXPECT_TRUE(AllStrings(nullptr, 8).empty());

  EXPECT_EQ("C:\\Program Files\\T\\TamsuSerB.exe", ProgramOfCommandLine("  \"C:\\Program Files\\T\\TamsuSerB.exe\" -x"));
  EXPECT_EQ("C:\\Program Files\\T\\a.exe", ProgramOfCommandLine("C:\\Program Files\\T\\a.exe -m"));
  EXPECT_EQ("TamsuReg_ZUVA.exe", ProgramOfCommandLine("TamsuReg_ZUVA.exe"));
  EXPECT_EQ("C:\\unterminated", ProgramOfCommandLine("\"C:\\unterminated"));
  EXPECT_EQ("", ProgramOfCommandLine(""));
  EXPECT_EQ("C:\\a", FolderOf("C:\\a\\b.exe"));
  EXPECT_EQ("", FolderOf("b.exe"));

  const std::vector<std::string> operations = {
      "\\??\\C:\\Program Files\\Tamsu_ZUVA\\TamsuVD_ZUVA.dll.new", "!\\??\\C:\\Program Files\\Tamsu_ZUVA\\TamsuVD_ZUVA.dll",
      "\\??\\C:\\Other\\uninstall.exe", "",
      "\\??\\C:\\Old\\TamsuSerB.exe", "",
      "\\??\\C:\\Program Files\\Tamsu_ZUVA_Other\\x.dll", "",
      "\\??\\C:\\Program Files\\Tamsu_ZUVA", ""};
  EXPECT_EQ((std::vector<std::string>{"C:\\Program Files\\Tamsu_ZUVA\\TamsuVD_ZUVA.dll.new",
                                      "C:\\Program Files\\Tamsu_ZUVA\\TamsuVD_ZUVA.dll", "C:\\Old\\TamsuSerB.exe",
                                      "C:\\Program Files\\Tamsu_ZUVA"}),
            PendingFilesOfOurs(operations, "c:\\program files\\tamsu_zuva\\"));
}

TEST(StatusParsing, NamesAndManifests) {
  EXPECT_EQ("Windows XP", WindowsName(5, 1, 2600, true));
  EXPECT_EQ("Windows Server 2003", WindowsName(5, 2, 3790, false));
  EXPECT_EQ("Windows 10", WindowsName(10, 0, 19045, true));
  EXPECT_EQ("Windows 11", WindowsName(10, 0, 22631, true));
  EXPECT_EQ("Windows NT 4.0", WindowsName(4, 0, 1381, true));
  EXPECT_EQ("low", IntegrityName(0x1000));
  EXPECT_EQ("0x1234", IntegrityName(0x1234));
  EXPECT_EQ("1.2.3.4", FileVersionText(0x00010002, 0x00030004));
  EXPECT_EQ("C:\\T\\TamsuWebHost.exe",
            ManifestProgram("{\"name\": \"com.varnelle.tamsu_zuva\", \"path\": \"C:\\\\T\\\\TamsuWebHost.exe\"}"));
  EXPECT_EQ("", ManifestProgram("{\"path\": 5}"));
  EXPECT_EQ("", ManifestProgram("{\"path\": \"C:\\\\T"));
  EXPECT_EQ("", ManifestProgram(std::string("\0\xFF", 2)));
  EXPECT_TRUE(SafeKeyPath(kKeyPath));
  EXPECT_FALSE(SafeKeyPath("\\\\?\\usbstor#..\\..\\x"));
  EXPECT_FALSE(SafeKeyPath("\\\\?\\"));
  EXPECT_FALSE(SafeKeyPath(std::string("\\\\?\\a\x01", 6)));
}

}  // namespace
}  // namespace status
}  // namespace tamsu
