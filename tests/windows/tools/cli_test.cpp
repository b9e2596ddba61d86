// The shipped dist/tools/TamsuCli.exe as a separate process, against list servers with simulated
// keys (monitor_host.exe) that answer each command with itself followed by 90 00.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::ProgramFolder;
using testing_support::TemporaryFileName;

const wchar_t kKey1[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#k1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kKey2[] = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu&rev_1.00#k2#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

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

struct CliRun {
  DWORD code = 0xBAD0;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::wstring& name) {
  std::string text;
  UniqueFileHandle file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  char buffer[4096];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  return text;
}

// Runs the client with its output in files: a Wine program's output is not read through a pipe.
CliRun RunCli(const std::vector<std::wstring>& arguments) {
  CliRun run;
  const std::wstring outName = TemporaryFileName(L"clo");
  const std::wstring errName = TemporaryFileName(L"cle");
  {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueFileHandle out(CreateFileW(outName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     CREATE_ALWAYS, 0, nullptr));
    UniqueFileHandle err(CreateFileW(errName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     CREATE_ALWAYS, 0, nullptr));
    std::wstring commandLine = L"\"" + CliProgram() + L"\"";
    for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION info = {};
    if (out && err &&
        CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      UniqueHandle process(info.hProcess);
      UniqueHandle thread(info.hThread);
      if (WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &run.code);
      } else {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
        run.code = 0xBAD1;
      }
    }
  }
  run.out = ReadAll(outName);
  run.err = ReadAll(errName);
  DeleteFileW(outName.c_str());
  DeleteFileW(errName.c_str());
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
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

// One exchange as printed: the command, the answer (hex without spaces), the status word, the time.
struct Exchange {
  std::string command;
  std::string answer;
  std::string sw;
  double ms = -1;
};

// The exchanges of a run; a "> " or "< " line continues on lines that start with two spaces.
std::vector<Exchange> Exchanges(const std::string& out) {
  std::vector<Exchange> exchanges;
  std::string* field = nullptr;
  for (const std::string& line : Lines(out)) {
    std::string hex;
    if (line.compare(0, 2, "> ") == 0) {
      exchanges.push_back(Exchange());
      field = &exchanges.back().command;
    } else if (line.compare(0, 2, "< ") == 0 && !exchanges.empty()) {
      field = &exchanges.back().answer;
    } else if (line.compare(0, 2, "  ") == 0 && field) {
    } else {
      field = nullptr;
      char sw[8] = {};
      double ms = -1;
      if (!exchanges.empty() && std::sscanf(line.c_str(), "SW %4s %lf ms", sw, &ms) == 2) {
        exchanges.back().sw = sw;
        exchanges.back().ms = ms;
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

TEST(CliList, ShowsEachKeyWithIndexPathAndPipeName) {
  Monitor monitor({kKey1, kKey2});
  ASSERT_TRUE(monitor.Serving());
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_EQ("", run.err);
  const std::vector<std::string> lines = Lines(run.out);
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
  Monitor monitor({});
  ASSERT_TRUE(monitor.Serving());
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(0u, run.code) << run.err;
  EXPECT_EQ(std::vector<std::string>{"No key present."}, Lines(run.out));
}

TEST(CliList, ExitsThreeWithoutMonitor) {
  ASSERT_FALSE(ListPipeExists()) << "a list server of another process is running";
  const CliRun run = RunCli({L"list"});
  EXPECT_EQ(3u, run.code);
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(Contains(run.err, "no monitor")) << run.err;
  EXPECT_EQ(3u, RunCli({L"send", L"00A40400"}).code);
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
  const std::vector<std::string> lines = Lines(run.out);
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
  EXPECT_TRUE(Contains(Lines(run.out)[0], "  " + key2)) << run.out;
  ASSERT_EQ(1u, Exchanges(run.out).size());
  EXPECT_EQ("80CA9F7F009000", Exchanges(run.out)[0].answer);

  // Without "\\?\" and in other case: the same key.
  std::wstring bare = std::wstring(kKey2).substr(4);
  for (wchar_t& c : bare) c = (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c;
  run = RunCli({L"send", L"-k", bare, L"80CA9F7F00"});
  ASSERT_EQ(0u, run.code) << run.err;
  EXPECT_TRUE(Contains(Lines(run.out)[0], "  " + key2)) << run.out;

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
  Monitor empty({});
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

class ScriptFile {
 public:
  explicit ScriptFile(const std::string& text) : name_(TemporaryFileName(L"cls")) {
    UniqueFileHandle file(CreateFileW(name_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
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
  EXPECT_EQ(1u, RunCli({L"script", TemporaryFileName(L"cln") + L".absent"}).code) << "an unreadable script";
  const CliRun help = RunCli({L"--help"});
  EXPECT_EQ(0u, help.code);
  EXPECT_TRUE(Contains(help.out, "Exit codes")) << help.out;
}

}  // namespace
}  // namespace tamsu
