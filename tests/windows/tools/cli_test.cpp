// The shipped dist/tools/TamsuCli.exe as a separate process, against list servers with simulated
// keys: monitor_host.exe, whose keys answer each command with itself followed by 90 00, and
// TamsuKeySim from dist/tools/ with its answer table, as TamsuCli's users run it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "process/cli_status.h"
#include "soak/load.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::DistPath;
using testing_support::ProgramFolder;
using testing_support::ReadText;
using testing_support::TemporaryFileName;
using testing_support::TextLines;
using testing_support::Figure;

const wchar_t kKey1[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#k1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kKey2[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#k2#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// These tests run TamsuCli against stand-ins for the service (monitor_host, TamsuKeySim), which
// the client library refuses unless its process allows any server; a test that wants the refusal
// takes the permission away for its own client.
constexpr wchar_t kAllowAnyServer[] = L"TAMSU_ALLOW_ANY_SERVER";
const bool g_anyServerAllowed = SetEnvironmentVariableW(kAllowAnyServer, L"1") != FALSE;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Written out here rather than taken from the protocol code, so that a fault there shows.
const wchar_t kListPipe[] = L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_List";
std::string KeyPipe(const std::string& path) { return "\\\\.\\pipe\\Tamsu193B_Pipe00_Device_" + path.substr(4); }

std::wstring CliProgram() {
  std::string unix = TAMSU_DIST_DIR "/tools/TamsuCli.exe";
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

bool ListPipeExists() {
  return WaitNamedPipeW(kListPipe, 100) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// TamsuKeySim's options, for a Monitor that runs it.
struct KeySimOptions {
  std::vector<std::wstring> arguments;
};

// A list server in a process of its own, stopped and waited for on destruction.
class Monitor {
 public:
  explicit Monitor(const std::vector<std::wstring>& keys)
      : stopName_(L"TamsuCliTestStop" + std::to_wstring(GetCurrentProcessId())) {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stopName_.c_str()));
    std::vector<std::wstring> arguments{stopName_};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    started_ = stop_ && process_.Start(ProgramFolder() + L"monitor_host.exe", arguments);
  }
  explicit Monitor(const KeySimOptions& sim)
      : stopName_(L"TamsuCliTestStop" + std::to_wstring(GetCurrentProcessId())) {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stopName_.c_str()));
    std::vector<std::wstring> arguments = sim.arguments;
    arguments.push_back(L"--stop-event");
    arguments.push_back(stopName_);
    started_ = stop_ && process_.Start(DistPath(L"tools\\TamsuKeySim.exe"), arguments);
  }
  ~Monitor() {
    SetEvent(stop_.get());
    process_.Wait(10000);
    // The next test must find no list pipe of this one.
    for (int i = 0; i < 100 && ListPipeExists(); ++i) Sleep(100);
  }
  // True once the list pipe answers.
  bool Serving() {
    for (int i = 0; i < 100 && started_; ++i) {
      if (ListPipeExists()) return true;
      Sleep(100);
    }
    return false;
  }

 private:
  std::wstring stopName_;
  UniqueHandle stop_;
  ChildProcess process_;
  bool started_ = false;
};

using CliRun = testing_support::ProgramRun;

void WriteFileText(const std::wstring& name, const std::string& text) {
  UniqueFileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Runs the client with its output in files; `input`, when given, is its standard input.
CliRun RunCli(const std::vector<std::wstring>& arguments, const std::string* input = nullptr) {
  return testing_support::RunProgramWithOutput(CliProgram(), arguments, 60000, input);
}

std::string Hex(const std::vector<unsigned char>& bytes, const char* separator = "") {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    text += (i ? separator : "") + std::string(digits);
  }
  return text;
}

// One exchange as printed: the command, the answer (hex without spaces), the status word, the time,
// the status word's meaning, and the answer collected by --get-response ("= ") after it.
struct Exchange {
  std::string command;
  std::string answer;
  std::string sw;
  double ms = -1;
  std::string meaning;
  std::string collected;
};

// The exchanges of a run; a "> ", "< " or "= " line continues on lines that start with two spaces.
std::vector<Exchange> Exchanges(const std::string& out) {
  std::vector<Exchange> exchanges;
  std::string* field = nullptr;
  for (const std::string& line : TextLines(out)) {
    std::string hex;
    if (line.compare(0, 2, "> ") == 0) {
      exchanges.push_back(Exchange());
      field = &exchanges.back().command;
    } else if (line.compare(0, 2, "< ") == 0 && !exchanges.empty()) {
      field = &exchanges.back().answer;
    } else if (line.compare(0, 2, "= ") == 0 && !exchanges.empty()) {
      field = &exchanges.back().collected;
    } else if (line.compare(0, 2, "  ") == 0 && field) {
    } else {
      field = nullptr;
      char sw[8] = {};
      double ms = -1;
      int end = 0;
      if (!exchanges.empty() && std::sscanf(line.c_str(), "SW %4s %lf ms%n", sw, &ms, &end) == 2) {
        exchanges.back().sw = sw;
        exchanges.back().ms = ms;
        exchanges.back().meaning = line.substr(std::min(line.size(), static_cast<size_t>(end) + 2));
      }
      continue;
    }
    for (char c : line.substr(2)) {
      if (c != ' ') *field += c;
    }
  }
  return exchanges;
}

std::vector<unsigned char> Pattern(size_t length) {
  std::vector<unsigned char> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  bytes[0] = 0x80;  // CLA INS P1 P2 of a plausible command
  bytes[1] = 0xD6;
  return bytes;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The members of a line that is one flat JSON object: strings unescaped, other values as written.
// Empty when the line is anything else.
std::map<std::string, std::string> JsonMembers(const std::string& line) {
  std::map<std::string, std::string> members;
  size_t i = 1;
  const auto text = [&](std::string* out) {
    if (i >= line.size() || line[i] != '"') return false;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (static_cast<unsigned char>(line[i]) < 0x20) return false;
      if (line[i] != '\\') {
        *out += line[i];
      } else if (++i < line.size() && line[i] == 'u' && i + 4 < line.size() &&
                 line.substr(i + 1, 4).find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        const unsigned long code = std::strtoul(line.substr(i + 1, 4).c_str(), nullptr, 16);
        *out += code < 0x80 ? static_cast<char>(code) : '?';
        i += 4;
      } else {
        const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        const size_t at = i < line.size() ? from.find(line[i]) : std::string::npos;
        if (at == std::string::npos) return false;
        *out += to[at];
      }
    }
    return i++ < line.size();
  };
  if (line.size() < 2 || line[0] != '{') return {};
  if (line == "{}") return members;
  for (;;) {
    std::string key, value;
    if (!text(&key) || i >= line.size() || line[i++] != ':') return {};
    if (i < line.size() && line[i] == '"') {
      if (!text(&value)) return {};
    } else {
      const size_t start = i;
      while (i < line.size() && line[i] != ',' && line[i] != '}') ++i;
      value = line.substr(start, i - start);
      const bool number = !value.empty() && value.find_first_not_of("0123456789.-") == std::string::npos;
      if (!number && value != "true" && value != "false" && value != "null") return {};
    }
    if (members.count(key)) return {};
    members[key] = value;
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    if (i + 1 == line.size() && line[i] == '}') return members;
    return {};
  }
}

TEST(CliList, ShowsEachKeyWithIndexPathAndPipeName) {
  Monitor monitor({kKey1, kKey2});
  ASSERT_TRUE(monitor.Serving());
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_EQ("", run.err);
  const std::vector<std::string> lines = TextLines(run.out);
  ASSERT_EQ(4u, lines.size()) << run.out;
  // Each key: "INDEX  PATH", then its pipe on the next line; either key may come first.
  std::vector<std::string> seen;
  for (size_t i = 0; i < 2; ++i) {
    const std::string& keyLine = lines[2 * i];
    const std::string prefix = std::to_string(i) + "  ";
    ASSERT_EQ(prefix, keyLine.substr(0, prefix.size())) << run.out;
    const std::string path = keyLine.substr(prefix.size());
    EXPECT_TRUE(path == Narrow(kKey1) || path == Narrow(kKey2)) << path;
    EXPECT_EQ("   pipe " + KeyPipe(path), lines[2 * i + 1]);
    seen.push_back(path);
  }
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_TRUE(Contains(run.out, "\\\\.\\pipe\\Tamsu193B_Pipe00_Device_usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#k2#"))
      << "the pipe name is the path without its \\\\?\\ prefix";
}

TEST(CliList, SaysSoWhenNoKeyIsPresent) {
  Monitor monitor(std::vector<std::wstring>{});
  ASSERT_TRUE(monitor.Serving());
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(std::vector<std::string>{"No key present."}, TextLines(run.out));
}

TEST(CliList, ExitsThreeWithoutMonitor) {
  ASSERT_FALSE(ListPipeExists()) << "a list server of another process is running";
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(3u, run.code);
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(Contains(run.err, "no monitor")) << run.err;
  EXPECT_EQ(3u, RunCli({L"send", L"00A40400"}).code);
}

TEST(CliGenuineServer, AStandInServesOnlyWhenTheClientAllowsAnyServer) {
  Monitor monitor(KeySimOptions{{L"--keys", L"1"}});
  ASSERT_TRUE(monitor.Serving());
  SetEnvironmentVariableW(kAllowAnyServer, nullptr);
  const CliRun list = RunCli({L"list"});
  SetEnvironmentVariableW(kAllowAnyServer, L"1");
  EXPECT_EQ(3u, list.code) << "TamsuKeySim is not the installed service";
  EXPECT_TRUE(Contains(list.err, "not the Tamsu service")) << list.err;
  EXPECT_EQ(0u, RunCli({L"list"}).code) << "allowed, the stand-in serves";
}

TEST(CliSend, ShortAndLongApdusByIndexAreAnsweredOnOneConnection) {
  Monitor monitor({kKey1, kKey2});
  ASSERT_TRUE(monitor.Serving());
  // The longest echo that fits an answer frame of 4096 bytes: 4092 bytes and 90 00.
  const std::vector<unsigned char> longest = Pattern(4092);
  const std::vector<unsigned char> extended = Pattern(300);
  const CliRun run = RunCli({L"send", L"--key", L"1", L"00 A4 04 00 07 A0 00 00 00 03 10 10",
                          Wide(Hex(extended)), Wide(Hex(longest, " "))});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_EQ("", run.err);
  const std::vector<std::string> lines = TextLines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(0u, lines[0].find("Key 1  \\\\?\\usbstor#")) << lines[0];
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(3u, exchanges.size()) << run.out;
  EXPECT_EQ("00A4040007A0000000031010", exchanges[0].command);
  EXPECT_EQ("00A4040007A00000000310109000", exchanges[0].answer);
  EXPECT_EQ(Hex(extended), exchanges[1].command);
  EXPECT_EQ(Hex(extended) + "9000", exchanges[1].answer);
  EXPECT_EQ(Hex(longest) + "9000", exchanges[2].answer);
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ("9000", exchange.sw);
    EXPECT_GE(exchange.ms, 0.0);
    EXPECT_LT(exchange.ms, 30000.0);
  }
}

TEST(CliSend, SelectsTheKeyByPathWithOrWithoutPrefixAndByDefault) {
  Monitor monitor({kKey1, kKey2});
  ASSERT_TRUE(monitor.Serving());
  const std::string key2 = Narrow(kKey2);
  CliRun run = RunCli({L"send", L"--key", kKey2, L"80CA9F7F00"});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_TRUE(Contains(TextLines(run.out)[0], "  " + key2)) << run.out;
  ASSERT_EQ(1u, Exchanges(run.out).size());
  EXPECT_EQ("80CA9F7F009000", Exchanges(run.out)[0].answer);

  // Without "\\?\" and in other case: the same key.
  std::wstring bare = std::wstring(kKey2).substr(4);
  for (wchar_t& c : bare) c = (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c;
  run = RunCli({L"send", L"-k", bare, L"80CA9F7F00"});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_TRUE(Contains(TextLines(run.out)[0], "  " + key2)) << run.out;

  // No --key: index 0, whichever key the list gives first.
  run = RunCli({L"send", L"00B0000010"});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(0u, run.out.find("Key 0  \\\\?\\usbstor#")) << run.out;
  ASSERT_EQ(1u, Exchanges(run.out).size());
  EXPECT_EQ("00B00000109000", Exchanges(run.out)[0].answer);
}

TEST(CliSend, MalformedHexExitsTwoNamingTheArgument) {
  Monitor monitor({kKey1});
  ASSERT_TRUE(monitor.Serving());
  CliRun run = RunCli({L"send", L"00A40400", L"00 A4 0G 00"});
  EXPECT_EQ(2u, run.code);
  EXPECT_EQ("", run.out) << "nothing is sent when any APDU is malformed";
  EXPECT_TRUE(Contains(run.err, "argument 2")) << run.err;
  EXPECT_TRUE(Contains(run.err, "'G'")) << run.err;

  run = RunCli({L"send", L"00A404000"});
  EXPECT_EQ(2u, run.code);
  EXPECT_TRUE(Contains(run.err, "odd number")) << run.err;

  EXPECT_EQ(2u, RunCli({L"send", L"   "}).code) << "an APDU has at least one byte";
  run = RunCli({L"send", L"0:0A40400"});
  EXPECT_EQ(2u, run.code);
  EXPECT_TRUE(Contains(run.err, "separator inside a byte at column 2")) << run.err;

  const std::string tooLong = Hex(Pattern(4097));
  run = RunCli({L"send", Wide(tooLong)});
  EXPECT_EQ(2u, run.code);
  EXPECT_TRUE(Contains(run.err, "longer than 4096")) << run.err;
  EXPECT_EQ("", run.out);
}

TEST(CliSend, UnknownKeyExitsFour) {
  {
    Monitor monitor({kKey1, kKey2});
    ASSERT_TRUE(monitor.Serving());
    CliRun run = RunCli({L"send", L"--key", L"2", L"00A40400"});
    EXPECT_EQ(4u, run.code);
    EXPECT_TRUE(Contains(run.err, "not found")) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ(4u, RunCli({L"send", L"--key", L"\\\\?\\usbstor#nothing", L"00A40400"}).code);
    EXPECT_EQ(0u, RunCli({L"send", L"--key", L"1", L"00A40400"}).code);
  }
  Monitor empty(std::vector<std::wstring>{});
  ASSERT_TRUE(empty.Serving());
  const CliRun none = RunCli({L"send", L"00A40400"});
  EXPECT_EQ(4u, none.code);
  EXPECT_TRUE(Contains(none.err, "No key present.")) << none.err;
}

TEST(CliSend, KeyThatCannotAnswerDropsTheConnectionExitFive) {
  Monitor monitor({kKey1});
  ASSERT_TRUE(monitor.Serving());
  // 4096 bytes are sent, but their echo does not fit the key's answer frame: the server fails the
  // command and disconnects without a reply. The command before it is answered.
  const std::string full = Hex(Pattern(4096));
  const CliRun run = RunCli({L"send", L"00A40400", Wide(full)});
  EXPECT_EQ(5u, run.code) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "APDU 2")) << run.err;
  EXPECT_TRUE(Contains(run.err, "dropped")) << run.err;
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(2u, exchanges.size()) << run.out;
  EXPECT_EQ("00A404009000", exchanges[0].answer);
  EXPECT_EQ("", exchanges[1].answer);
}

// A script or an answer table in a temporary file.
class ScriptFile {
 public:
  explicit ScriptFile(const std::string& text) : name_(TemporaryFileName(L"cls")) { WriteFileText(name_, text); }
  ~ScriptFile() { DeleteFileW(name_.c_str()); }
  const std::wstring& name() const { return name_; }

 private:
  std::wstring name_;
};

TEST(CliScript, SendsEachLineSkippingCommentsAndBlankLines) {
  Monitor monitor({kKey1, kKey2});
  ASSERT_TRUE(monitor.Serving());
  ScriptFile script(
      "\xEF\xBB\xBF# select the applet\r\n"
      "00 A4 04 00 02 3F 00   // by name\r\n"
      "\r\n"
      "   \t\n"
      "// read\n"
      "00B0000004 # four bytes\n"
      "80ca 9f7f 00");
  const CliRun run = RunCli({L"script", L"--key", L"1", script.name()});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(0u, run.out.find("Key 1  ")) << run.out;
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(3u, exchanges.size()) << run.out;
  EXPECT_EQ("00A40400023F00", exchanges[0].command);
  EXPECT_EQ("00A40400023F009000", exchanges[0].answer);
  EXPECT_EQ("00B00000049000", exchanges[1].answer);
  EXPECT_EQ("80CA9F7F009000", exchanges[2].answer);
  for (const Exchange& exchange : exchanges) EXPECT_EQ("9000", exchange.sw);
}

TEST(CliScript, MalformedLineExitsTwoNamingTheLine) {
  Monitor monitor({kKey1});
  ASSERT_TRUE(monitor.Serving());
  ScriptFile script("00A40400\n# fine\n\n00 B0 XX 00\n00A40400\n");
  const CliRun run = RunCli({L"script", script.name()});
  EXPECT_EQ(2u, run.code);
  EXPECT_EQ("", run.out) << "nothing is sent from a script with a malformed line";
  EXPECT_TRUE(Contains(run.err, "line 4")) << run.err;
}

TEST(CliUsage, BadCommandLinesExitOne) {
  EXPECT_EQ(1u, RunCli({}).code);
  EXPECT_EQ(1u, RunCli({L"frobnicate"}).code);
  EXPECT_EQ(1u, RunCli({L"send"}).code);
  EXPECT_EQ(1u, RunCli({L"send", L"--key"}).code);
  EXPECT_EQ(1u, RunCli({L"send", L"--bogus", L"00A40400"}).code);
  EXPECT_EQ(1u, RunCli({L"send", L"--timeout", L"0", L"00A40400"}).code);
  EXPECT_EQ(1u, RunCli({L"script"}).code);
  EXPECT_EQ(1u, RunCli({L"list", L"extra"}).code);
  EXPECT_EQ(1u, RunCli({L"list", L"--key", L"1"}).code) << "an option of send";
  EXPECT_EQ(1u, RunCli({L"send", L"--duration", L"5", L"00A40400"}).code) << "an option of watch";
  EXPECT_EQ(1u, RunCli({L"list", L"--duration", L"5"}).code) << "an option of watch";
  EXPECT_EQ(1u, RunCli({L"watch", L"--duration", L"0"}).code);
  EXPECT_EQ(1u, RunCli({L"send", L"--wait", L"soon", L"00A40400"}).code);
  EXPECT_EQ(1u, RunCli({L"script", L"a", L"b"}).code);
  EXPECT_EQ(1u, RunCli({L"script", TemporaryFileName(L"cln") + L".absent"}).code) << "an unreadable script";
  const CliRun help = RunCli({L"--help"});
  EXPECT_EQ(0u, help.code);
  EXPECT_TRUE(Contains(help.out, "Exit codes")) << help.out;
}

// TamsuKeySim with an answer table; commands no rule matches are echoed with 90 00.
const char kCardTable[] =
    "00 A4 04 00 02 3F 01 => 6A 82\n"
    "00 20 00 01 ... => 63 C2\n"
    "80 CA ... => 6D 00\n"
    "00 CA ... => 12 34\n"
    "00 A4 04 00 07 A0 00 00 00 03 10 10 => 61 05\n"
    "00 C0 00 00 05 => 01 02 03 61 02\n"
    "00 C0 00 00 02 => 04 05 90 00\n"
    "00 B0 00 00 00 => 6C 04\n"
    "00 B0 00 00 04 => AA BB CC DD 90 00\n"
    "00 B2 01 04 00 => 61 00\n"
    "00 C0 00 00 00 => 61 00\n";

TEST(CliStatusWords, EachStatusWordIsShownWithItsMeaning) {
  ScriptFile table(kCardTable);
  Monitor sim(KeySimOptions{{L"--path", kKey1, L"--answers", table.name()}});
  ASSERT_TRUE(sim.Serving());
  const CliRun run = RunCli({L"send", L"00A40400023F01", L"0020000104 31323334", L"80CA9F7F00", L"00CA000000",
                             L"00B0000002"});
  ASSERT_EQ(0u, run.code) << "a status word other than 90 00 is no failure of the client: " << run.err;
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(5u, exchanges.size()) << run.out;
  const char* const expected[][2] = {{"6A82", "file or application not found"},
                                     {"63C2", "warning: counter 2 (tries left)"},
                                     {"6D00", "instruction code not supported or invalid"},
                                     {"1234", "unknown status word"},
                                     {"9000", "success"}};
  for (size_t i = 0; i < exchanges.size(); ++i) {
    EXPECT_EQ(expected[i][0], exchanges[i].sw) << run.out;
    EXPECT_EQ(expected[i][1], exchanges[i].meaning) << run.out;
    EXPECT_EQ("", exchanges[i].collected) << "nothing is collected without --get-response";
  }
}

TEST(CliGetResponse, CollectsAfter61xxAndResendsWithTheLeOf6Cxx) {
  ScriptFile table(kCardTable);
  Monitor sim(KeySimOptions{{L"--path", kKey1, L"--answers", table.name()}});
  ASSERT_TRUE(sim.Serving());
  CliRun run = RunCli({L"send", L"--get-response", L"00A4040007A0000000031010", L"00B0000000"});
  ASSERT_EQ(0u, run.code) << run.err;
  std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(5u, exchanges.size()) << run.out;
  EXPECT_EQ("6105", exchanges[0].answer);
  EXPECT_EQ("success, 5 more bytes available (GET RESPONSE)", exchanges[0].meaning);
  EXPECT_EQ("00C0000005", exchanges[1].command);
  EXPECT_EQ("00C0000002", exchanges[2].command) << "the length each 61xx announces";
  EXPECT_EQ("01020304059000", exchanges[2].collected) << "the data of every answer, then the last status word";
  EXPECT_EQ("6C04", exchanges[3].answer);
  EXPECT_EQ("00B0000004", exchanges[4].command) << "the command again with Le from 6Cxx";
  EXPECT_EQ("AABBCCDD9000", exchanges[4].collected);

  // A key that announces more data forever is followed only so far.
  run = RunCli({L"send", L"--get-response", L"00B2010400", L"00A40400"});
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_TRUE(Contains(run.err, "APDU 1: stopped collecting after 256 exchanges")) << run.err;
  exchanges = Exchanges(run.out);
  ASSERT_EQ(257u, exchanges.size());
  EXPECT_EQ("00A404009000", exchanges.back().answer) << "the next APDU is still sent";
}

TEST(CliSend, TheThreeHexFormsSendTheSameBytes) {
  Monitor sim(KeySimOptions{{L"--path", kKey1}});
  ASSERT_TRUE(sim.Serving());
  const CliRun run = RunCli({L"send", L"00A4040002 3F00", L"00 A4 04 00 02 3F 00", L"00:a4:04:00:02:3f:00"});
  ASSERT_EQ(0u, run.code) << run.err;
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(3u, exchanges.size()) << run.out;
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ("00A40400023F00", exchange.command);
    EXPECT_EQ("00A40400023F009000", exchange.answer);
  }
}

TEST(CliScript, ExpectationsMetPassAndAMissStopsWithSeven) {
  Monitor sim(KeySimOptions{{L"--path", kKey1}});
  ASSERT_TRUE(sim.Serving());
  const std::string good =
      "00A40400 -> 90 00\n"
      "00B0000002 -> 00 B0 ?? 00 0? 90 00   # the whole echo\n";
  ScriptFile met(good);
  CliRun run = RunCli({L"script", met.name()});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(2u, Exchanges(run.out).size()) << run.out;
  EXPECT_TRUE(Contains(run.out, "expected 90 00: met")) << run.out;
  EXPECT_TRUE(Contains(run.out, "expected 00 B0 ?? 00 0? 90 00: met")) << run.out;

  ScriptFile missed(good + "80CA9F7F00 -> 6A 82\n00B0000004\n");
  run = RunCli({L"script", missed.name()});
  EXPECT_EQ(7u, run.code) << run.err;
  EXPECT_TRUE(Contains(run.err, "line 3")) << run.err;
  EXPECT_TRUE(Contains(run.out, "expected 6A 82: NOT met")) << run.out;
  EXPECT_EQ(3u, Exchanges(run.out).size()) << "nothing after the miss is sent: " << run.out;

  ScriptFile longer("00A40400 -> 00 A4 04 00 ?? 90 00\n");
  EXPECT_EQ(7u, RunCli({L"script", longer.name()}).code) << "a longer expected answer is no match";
  ScriptFile malformed("00A40400\n00A40400 -> 9X 00\n");
  run = RunCli({L"script", malformed.name()});
  EXPECT_EQ(2u, run.code);
  EXPECT_TRUE(Contains(run.err, "line 2: malformed expected answer")) << run.err;
  EXPECT_EQ("", run.out);
}

TEST(CliScript, ReadsStandardInputAndRefusesAScriptWithoutApdu) {
  Monitor sim(KeySimOptions{{L"--path", kKey1}});
  ASSERT_TRUE(sim.Serving());
  const std::string input = "00 A4 04 00\r\n80CA9F7F00 -> 90 00\r\n";
  CliRun run = RunCli({L"script", L"-"}, &input);
  ASSERT_EQ(0u, run.code) << run.err;
  const std::vector<Exchange> exchanges = Exchanges(run.out);
  ASSERT_EQ(2u, exchanges.size()) << run.out;
  EXPECT_EQ("80CA9F7F009000", exchanges[1].answer);

  const std::string comments = "# nothing to send\n\n   // really\n";
  run = RunCli({L"script", L"-"}, &comments);
  EXPECT_EQ(2u, run.code);
  EXPECT_TRUE(Contains(run.err, "standard input holds no APDU")) << run.err;
  const std::string nothing;
  EXPECT_EQ(2u, RunCli({L"script", L"-"}, &nothing).code);
  ScriptFile empty("");
  EXPECT_EQ(2u, RunCli({L"script", empty.name()}).code);
}

TEST(CliWatch, SeesAKeyArriveAndLeave) {
  // Two watchers at once, in text and in JSON.
  CliRun run, json;
  std::thread watcher([&run] { run = RunCli({L"watch", L"--duration", L"6"}); });
  std::thread jsonWatcher([&json] { json = RunCli({L"watch", L"--json", L"--duration", L"6"}); });
  Sleep(1000);
  {
    Monitor sim(KeySimOptions{{L"--path", kKey1}});
    EXPECT_TRUE(sim.Serving());
    Sleep(1500);
  }
  watcher.join();
  jsonWatcher.join();
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(0u, json.code) << json.err;
  std::vector<std::string> keyEvents;
  for (const std::string& line : TextLines(json.out)) {
    auto members = JsonMembers(line);
    EXPECT_EQ(3u, members.size()) << line;
    EXPECT_EQ(23u, members["time"].size()) << "YYYY-MM-DDTHH:MM:SS.mmm: " << line;
    if (members.count("path")) keyEvents.push_back(members["event"] + " " + members["path"]);
  }
  const std::vector<std::string> arrivedThenLeft{"arrived " + Narrow(kKey1), "left " + Narrow(kKey1)};
  EXPECT_EQ(arrivedThenLeft, keyEvents) << json.out;
  // "HH:MM:SS.mmm  EVENT    DETAIL"
  std::vector<std::string> events;
  for (const std::string& line : TextLines(run.out)) {
    ASSERT_GT(line.size(), 14u) << run.out;
    EXPECT_EQ(':', line[2]);
    events.push_back(line.substr(14));
  }
  ASSERT_FALSE(events.empty());
  EXPECT_EQ("monitor  no monitor running", events[0]);
  // The key arrives once and leaves once, in that order; what the monitor's start and stop look
  // like between the looks may vary.
  const std::string key = Narrow(kKey1);
  const auto arrived = std::find(events.begin(), events.end(), "arrived  " + key);
  const auto left = std::find(events.begin(), events.end(), "left     " + key);
  EXPECT_LT(arrived, left) << run.out;
  EXPECT_EQ(1, std::count(events.begin(), events.end(), "arrived  " + key)) << run.out;
  EXPECT_EQ(1, std::count(events.begin(), events.end(), "left     " + key)) << run.out;
}

TEST(CliJson, ListSendAndScriptGiveOneObjectPerLine) {
  Monitor sim(KeySimOptions{{L"--path", kKey1, L"--path", kKey2}});
  ASSERT_TRUE(sim.Serving());
  CliRun run = RunCli({L"list", L"--json"});
  ASSERT_EQ(0u, run.code) << run.err;
  std::vector<std::string> lines = TextLines(run.out);
  ASSERT_EQ(2u, lines.size()) << run.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto members = JsonMembers(lines[i]);
    ASSERT_EQ(3u, members.size()) << lines[i];
    EXPECT_EQ(std::to_string(i), members["index"]);
    EXPECT_TRUE(members["path"] == Narrow(kKey1) || members["path"] == Narrow(kKey2)) << lines[i];
    EXPECT_EQ(KeyPipe(members["path"]), members["pipe"]);
  }

  run = RunCli({L"send", L"--json", L"--key", kKey2, L"00A40400", L"00 B0 00 00 02"});
  ASSERT_EQ(0u, run.code) << run.err;
  lines = TextLines(run.out);
  ASSERT_EQ(2u, lines.size()) << run.out;
  auto members = JsonMembers(lines[1]);
  EXPECT_EQ(Narrow(kKey2), members["path"]) << lines[1];
  EXPECT_EQ("00B0000002", members["command"]);
  EXPECT_EQ("00B00000029000", members["answer"]);
  EXPECT_EQ("9000", members["sw"]);
  EXPECT_EQ("success", members["status"]);
  EXPECT_EQ("1", members["exchanges"]);
  EXPECT_GE(std::strtod(members["ms"].c_str(), nullptr), 0.0);

  ScriptFile script("00A40400\n\n80CA9F7F00 -> 6A 82\n");
  run = RunCli({L"script", L"--json", script.name()});
  EXPECT_EQ(7u, run.code) << run.err;
  lines = TextLines(run.out);
  ASSERT_EQ(2u, lines.size()) << run.out;
  members = JsonMembers(lines[1]);
  EXPECT_EQ("3", members["line"]) << lines[1];
  EXPECT_EQ("6A 82", members["expected"]);
  EXPECT_EQ("false", members["match"]);
  EXPECT_EQ(0u, JsonMembers(lines[0]).count("match")) << "no expectation, no verdict";
}

TEST(CliKeyInUse, AKeyHeldByAnotherProgramIsReportedAsInUse) {
  Monitor sim(KeySimOptions{{L"--path", kKey1}});
  ASSERT_TRUE(sim.Serving());
  ASSERT_EQ(0u, RunCli({L"list"}).code) << "the first list makes the key's pipe";
  {
    const std::wstring pipe = Wide(KeyPipe(Narrow(kKey1)));
    UniqueFileHandle holder;
    for (int i = 0; i < 50 && !holder; ++i) {
      holder.reset(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!holder) Sleep(100);
    }
    ASSERT_TRUE(holder.valid()) << GetLastError();
    const CliRun run = RunCli({L"send", L"--wait", L"1", L"00A40400"});
    EXPECT_EQ(6u, run.code) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "key in use")) << run.err;
    EXPECT_FALSE(Contains(run.err, "0x8010")) << "not a bare error number: " << run.err;
  }
  EXPECT_EQ(0u, RunCli({L"send", L"00A40400"}).code) << "free again once the other program lets go";
}

// ---- status: read-only, nothing sent to a key, bounded in time ----

using testing_support::HasFinding;

// The report parsed; one that is not JSON fails the test.
testing_support::StatusRun RunStatus(const std::vector<std::wstring>& options = {}) {
  testing_support::StatusRun status = testing_support::RunStatus(options);
  EXPECT_FALSE(status.report.is_discarded()) << status.run.out << status.run.err;
  return status;
}

// Waits until the pipe opens, then holds it: another client in the middle of its exchange.
UniqueFileHandle HoldPipe(const std::wstring& pipe) {
  UniqueFileHandle holder;
  for (int i = 0; i < 50 && !holder; ++i) {
    holder.reset(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!holder) Sleep(100);
  }
  return holder;
}

TEST(CliStatus, ListsTheKeysWithoutTheirSerialNumbersAndSendsThemNothing) {
  const std::wstring log = TemporaryFileName(L"csl");
  {
    Monitor sim(KeySimOptions{{L"--path", kKey1, L"--path", kKey2, L"--log", log}});
    ASSERT_TRUE(sim.Serving());
    ASSERT_EQ(0u, RunCli({L"list"}).code) << "the first list makes the keys' pipes";
    UniqueFileHandle holder = HoldPipe(Wide(KeyPipe(Narrow(kKey2))));
    ASSERT_TRUE(holder.valid()) << GetLastError();

    const testing_support::StatusRun status = RunStatus();
    EXPECT_EQ(2u, status.run.code) << "no service installed here: " << status.run.out;
    const nlohmann::json& report = status.report;
    EXPECT_EQ(1, report.value("schema", 0));
    EXPECT_EQ("failure", report.value("result", ""));
    EXPECT_TRUE(HasFinding(report, "install.missing")) << status.run.out;
    EXPECT_TRUE(HasFinding(report, "system.any-server-allowed")) << "this test's own environment";
    EXPECT_EQ("served", report["monitor"].value("listPipe", ""));
    EXPECT_EQ("answered", report["monitor"].value("listRequest", ""));
    EXPECT_EQ(true, report["monitor"]["genuine"]) << "any server counts while no service runs, here";
    EXPECT_GE(report["monitor"].value("listRoundTripMs", -1.0), 0.0);
    ASSERT_EQ(2u, report["keys"].size()) << status.run.out;
    std::map<std::string, std::string> pipes;  // the serial-free path: the pipe's state
    for (const auto& key : report["keys"]) pipes[key.value("path", "")] = key.value("pipe", "");
    const std::string shortened = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#<serial>#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    EXPECT_EQ(1u, pipes.size()) << "two keys, one path without their serial numbers";
    EXPECT_EQ(shortened, pipes.begin()->first);
    std::vector<std::string> states;
    for (const auto& key : report["keys"]) states.push_back(key.value("pipe", ""));
    std::sort(states.begin(), states.end());
    EXPECT_EQ((std::vector<std::string>{"busy", "open"}), states) << "a pipe another client holds counts as present";
    const CliRun text = RunCli({L"status"});
    EXPECT_EQ(2u, text.code);
    for (const std::string& output : {status.run.out, text.out}) {
      EXPECT_FALSE(Contains(output, "#k1#") || Contains(output, "#k2#")) << output;
    }
    EXPECT_TRUE(Contains(text.out, "<serial>#{53f56308") && Contains(text.out, "Result: failure (exit code 2)"))
        << text.out;

    const testing_support::StatusRun full = RunStatus({L"--full"});
    std::vector<std::string> paths;
    for (const auto& key : full.report["keys"]) paths.push_back(key.value("path", ""));
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ((std::vector<std::string>{Narrow(kKey1), Narrow(kKey2)}), paths);
    EXPECT_EQ(1u, RunCli({L"status", L"--key", L"0"}).code) << "status has no --key";
  }
  EXPECT_EQ("", ReadText(log)) << "status sent a command to a key";
  DeleteFileW(log.c_str());
}

TEST(CliStatus, AHeldListPipeOrASilentServerEndsTheRunWithinTenSeconds) {
  {
    Monitor sim(KeySimOptions{{L"--path", kKey1}});
    ASSERT_TRUE(sim.Serving());
    UniqueFileHandle holder = HoldPipe(kListPipe);
    ASSERT_TRUE(holder.valid()) << GetLastError();
    const testing_support::StatusRun held = RunStatus();
    EXPECT_EQ(2u, held.run.code);
    EXPECT_TRUE(HasFinding(held.report, "monitor.list-busy")) << held.run.out;
    EXPECT_EQ("busy", held.report["monitor"].value("listPipe", ""));
    EXPECT_TRUE(held.report["keys"].is_null()) << "no list, no keys";
    EXPECT_LT(held.run.ms, 10000u);
    Figure("status with the list pipe held by another client: %lu ms", held.run.ms);
  }

  // A server that takes the list request and never answers (any server counts here, as no
  // service is installed): the client library would wait 20 s.
  testing_support::SilentPipeServer silent(kListPipe);
  ASSERT_TRUE(silent.valid()) << GetLastError();
  const testing_support::StatusRun mute = RunStatus();
  EXPECT_EQ(2u, mute.run.code);
  EXPECT_EQ(1, silent.messages()) << "the list request, and nothing else";
  EXPECT_TRUE(HasFinding(mute.report, "monitor.no-answer")) << mute.run.out;
  EXPECT_EQ("no answer", mute.report["monitor"].value("listRequest", ""));
  EXPECT_EQ(true, mute.report.value("complete", false)) << "every other step still ran";
  EXPECT_LT(mute.run.ms, 10000u);
  Figure("status with a list server that never answers: %lu ms", mute.run.ms);
}

// Writes a string value in the 32-bit view, or deletes the key (`text` null); false when it cannot.
bool SetMachineString(const std::wstring& parent, const wchar_t* child, const wchar_t* name, const wchar_t* text) {
  HKEY raw = nullptr;
  if (!text) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &raw) != 0) return false;
    UniqueHKey key(raw);
    return RegDeleteKeyW(key.get(), child) == ERROR_SUCCESS;
  }
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (parent + L"\\" + child).c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  UniqueHKey key(raw);
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

TEST(CliStatus, RegistryDataNamingPipesIsNeverReadFrom) {
  // The install folder and Chrome's manifest named as pipes whose server never writes: a read there
  // would wait for ever. Two instances each: the look whether the file is there takes one for a
  // moment, the open the other.
  const wchar_t kFolder[] = L"\\\\.\\pipe\\TamsuStatusStall";
  const wchar_t kManifest[] = L"\\\\.\\pipe\\TamsuStatusStall\\manifest.json";
  testing_support::SilentPipeServer program((std::wstring(kFolder) + L"\\TamsuSerB.exe").c_str(), 2);
  testing_support::SilentPipeServer manifest(kManifest, 2);
  ASSERT_TRUE(program.valid() && manifest.valid());
  const std::wstring uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  const std::wstring chrome = L"Software\\Google\\Chrome\\NativeMessagingHosts";
  ASSERT_TRUE(SetMachineString(uninstall, L"Tamsu_ZUVA", L"InstallLocation", kFolder));
  ASSERT_TRUE(SetMachineString(chrome, L"com.varnelle.tamsu_zuva", nullptr, kManifest));
  const testing_support::StatusRun status = RunStatus();
  SetMachineString(uninstall, L"Tamsu_ZUVA", nullptr, nullptr);
  SetMachineString(chrome, L"com.varnelle.tamsu_zuva", nullptr, nullptr);

  EXPECT_EQ(2u, status.run.code) << status.run.out;
  EXPECT_LT(status.run.ms, 10000u);
  ASSERT_EQ(true, status.report.value("complete", false)) << "a probe waited on a pipe: " << status.run.out;
  const auto& files = status.report["installation"]["files"];
  ASSERT_FALSE(files.empty()) << status.run.out;
  EXPECT_EQ(true, files[0]["present"]) << "the pipe is there: " << files[0].dump();
  EXPECT_TRUE(files[0]["version"].is_null() && files[0]["signed"].is_null()) << files[0].dump();
  ASSERT_FALSE(status.report["webHost"]["browsers"].empty());
  const auto& browser = status.report["webHost"]["browsers"][0];
  EXPECT_EQ(true, browser.value("registered32", false)) << browser.dump();
  EXPECT_TRUE(browser["program"].is_null()) << browser.dump();
  EXPECT_EQ(0, program.messages() + manifest.messages());
}

}  // namespace
}  // namespace tamsu
