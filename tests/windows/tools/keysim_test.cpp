// TamsuKeySim as a client developer runs it: its keys on the real pipes, its answers and faults.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"
#include "common/win/unique_resource.h"
#include "process/child_process.h"

namespace tamsu {
namespace {

using testing_support::DistPath;
using testing_support::KeySim;
using testing_support::PipeClient;
using testing_support::RunPipeClient;
using testing_support::ReadText;
using testing_support::TemporaryFileName;
using testing_support::TextLines;
using testing_support::WaitUntil;



// A file of its own in the temporary folder holding `text`, deleted with the object.
struct TextFile {
  explicit TextFile(const std::string& text) : name(TemporaryFileName(L"kst")) {
    UniqueFileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!text.empty()) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  ~TextFile() { DeleteFileW(name.c_str()); }
  std::wstring name;
};


TEST(KeySim, ServesItsKeysWithTheChosenAnswers) {
  KeySim sim({L"--keys", L"2", L"--answer", L"fixed:6"});
  std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:1", L"xfer:00b0000004"});
  ASSERT_EQ(6u, out.size());
  EXPECT_EQ("list ok 2", out[0]);
  EXPECT_NE(std::string::npos, out[2].find("&ven_varnelle&prod_tamsusim&rev_1.00#2#"));
  EXPECT_EQ("recv ok 6 000102039000", out[5]);
  EXPECT_EQ(0u, sim.Stop());
}

TEST(KeySim, InjectedFaultsDropTheClientAfterTheGoodCommands) {
  KeySim sim({L"--path", L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_1.00#f#1", L"--fail-receive", L"1"});
  std::vector<std::string> out =
      RunPipeClient({L"list", L"devpipe:0", L"xfer:00b0000002", L"xfer:00b0000002", L"devpipe:0", L"xfer:0001"});
  ASSERT_EQ(10u, out.size());
  EXPECT_EQ("recv ok 7 00b00000029000", out[4]) << "the first command is good";
  EXPECT_EQ(0u, out[6].find("recv fail")) << "the second one meets the fault";
  EXPECT_EQ("recv ok 4 00019000", out[9]) << "the key serves the next connection";
}

TEST(KeySim, RefusesWhenAnotherMonitorServes) {
  KeySim first({});
  KeySim second({L"--keys", L"1"});
  EXPECT_EQ(2u, second.Stop());
  EXPECT_EQ(0u, first.Stop());
}

TEST(KeySimOptions, HelpPrintsTheUsageAndExitsZero) {
  KeySim help({L"--keys", L"3", L"--help"});
  EXPECT_EQ(0u, help.Stop());
  EXPECT_EQ(0u, help.Out().find("usage: TamsuKeySim")) << help.Out();
  EXPECT_NE(std::string::npos, help.Out().find("--replug-after-ms T"));
  EXPECT_EQ("", help.Err());
}

TEST(KeySimOptions, MalformedNumbersModesAndFaultCombinationsAreUsageErrors) {
  const std::vector<std::vector<std::wstring>> cases = {
      {L"--keys", L"0"},          {L"--keys", L"17"},          {L"--keys", L"2x"},
      {L"--keys", L"+2"},         {L"--keys", L" 2"},          {L"--keys", L""},
      {L"--fail-send", L"-1"},    {L"--stall-ms", L"0"},       {L"--duration", L"99999999999"},
      {L"--answer", L"fixed:"},   {L"--answer", L"fixed:6x"},  {L"--answer", L"fixed:1"},
      {L"--answer", L"fixed:4095"}, {L"--answer", L"fixed:-6"}, {L"--answer", L"echoes"},
      {L"--keys", L"2", L"--key", L"2", L"--fail-send", L"0"},
      {L"--stall-after", L"1"},   {L"--key", L"0", L"--stall-ms", L"100"},
      {L"--replug-after-ms", L"100"},
      {L"--bogus", L"1"},         {L"--keys"},
      {L"--log", L"Z:\\no\\such\\folder\\keysim.log"}};
  for (const auto& arguments : cases) {
    KeySim sim(arguments);
    EXPECT_EQ(1u, sim.Stop()) << testing::PrintToString(arguments);
    EXPECT_EQ(0u, sim.Err().find("TamsuKeySim: ")) << sim.Err();
  }
  KeySim fixedTwo({L"--answer", L"fixed:2"});
  EXPECT_EQ("recv ok 2 9000", RunPipeClient({L"list", L"devpipe:0", L"xfer:0001"}).back());
  EXPECT_EQ(0u, fixedTwo.Stop());
}

TEST(KeySimOptions, PathsTheDiscoveryWouldNeverListAreRefused) {
  const std::wstring good = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_1.00#g#1";
  const std::vector<std::vector<std::wstring>> cases = {
      {L"--path", L"\\\\?\\usbstor#cdrom&ven_other&prod_x&rev_1.00#1"},
      {L"--path", L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_2.00#1"},
      {L"--path", L""},
      {L"--path", good + std::wstring(240, L'x')},  // its pipe name would pass 256 characters
      {L"--path", good, L"--path", L"\\\\?\\USBSTOR#CDROM&VEN_VARNELLE&PROD_X&REV_1.00#G#1"},
      {L"--path", good + L"\x00e9"}};
  for (const auto& arguments : cases) {
    KeySim sim(arguments);
    EXPECT_EQ(1u, sim.Stop()) << testing::PrintToString(arguments);
    EXPECT_EQ(0u, sim.Err().find("TamsuKeySim: --path")) << sim.Err();
  }
}

// A key path of exactly `length` characters that the discovery lists, told apart by `index`.
std::wstring PathOfLength(int index, size_t length) {
  std::wstring path = L"\\\\?\\usbstor#cdrom&ven_varnelle&prod_x&rev_1.00#" + std::to_wstring(index) + L"#";
  path.resize(length, L'p');
  return path;
}

// A key the list reply could not hold would be announced and never listed.
TEST(KeySimOptions, EveryKeyFitsTheListOrItIsAUsageError) {
  {
    KeySim most({L"--keys", L"10"});
    const std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:9", L"xfer:0001"});
    ASSERT_EQ(14u, out.size());
    EXPECT_EQ("list ok 10", out[0]);
    for (int i = 1; i <= 10; ++i) {
      EXPECT_NE(std::string::npos, out[i].find("&rev_1.00#" + std::to_string(i) + "#")) << out[i];
    }
    EXPECT_EQ("recv ok 4 00019000", out[13]) << "the last key is served too";
    EXPECT_EQ(0u, most.Stop());
  }
  for (const wchar_t* count : {L"11", L"16"}) {
    KeySim tooMany({L"--keys", count});
    EXPECT_EQ(1u, tooMany.Stop()) << count;
    EXPECT_EQ(0u, tooMany.Err().find("TamsuKeySim: --keys")) << tooMany.Err();
    EXPECT_NE(std::string::npos, tooMany.Err().find("from 1 to 10")) << tooMany.Err();
    EXPECT_NE(std::string::npos, tooMany.Err().find("usage: TamsuKeySim")) << tooMany.Err();
  }
  KeySim help({L"--help"});
  EXPECT_EQ(0u, help.Stop());
  EXPECT_NE(std::string::npos, help.Out().find("at most 10")) << help.Out();

  // Eleven paths of 92 characters, each with its zero, and the list's final zero: 1024 bytes.
  std::vector<std::wstring> exact;
  for (int i = 0; i < 11; ++i) {
    exact.push_back(L"--path");
    exact.push_back(PathOfLength(i, 92));
  }
  {
    KeySim full(exact);
    const std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:10", L"xfer:0002"});
    ASSERT_EQ(15u, out.size());
    EXPECT_EQ("list ok 11", out[0]);
    EXPECT_EQ("recv ok 4 00029000", out[14]);
    EXPECT_EQ(0u, full.Stop());
  }
  exact.back() += L'p';
  KeySim byteOver(exact);
  EXPECT_EQ(1u, byteOver.Stop());
  EXPECT_EQ(0u, byteOver.Err().find("TamsuKeySim: --path")) << byteOver.Err();
  EXPECT_NE(std::string::npos, byteOver.Err().find("1024 bytes")) << byteOver.Err();
}

TEST(KeySimAnswers, TheFirstMatchingRuleAnswersAndOtherCommandsGetTheEcho) {
  TextFile table(
      "# a card with one file\r\n"
      "00 A4 04 00 02 3F 00 => 90 00\r\n"
      "\r\n"
      "  00B0 ???? 02   =>  1234 9000\n"
      "00 B0 00 00 ... => 6B 00\n"
      "80 CA ... => 6A 88");
  KeySim sim({L"--answers", table.name});
  std::vector<std::string> out =
      RunPipeClient({L"list", L"devpipe:0", L"xfer:00a40400023f00", L"xfer:00b0123402", L"xfer:00b0000002",
                     L"xfer:00b00000050102", L"xfer:80ca", L"xfer:00a40400023f01", L"xfer:00a40400023f00ff"});
  ASSERT_EQ(17u, out.size());
  EXPECT_EQ("recv ok 2 9000", out[4]) << "an exact rule";
  EXPECT_EQ("recv ok 4 12349000", out[6]) << "wildcards";
  EXPECT_EQ("recv ok 4 12349000", out[8]) << "the first of two matching rules";
  EXPECT_EQ("recv ok 2 6b00", out[10]) << "an open end";
  EXPECT_EQ("recv ok 2 6a88", out[12]) << "an open end with nothing after it";
  EXPECT_EQ("recv ok 9 00a40400023f019000", out[14]) << "no rule: the echo";
  EXPECT_EQ("recv ok 10 00a40400023f00ff9000", out[16]) << "a longer command does not match an exact rule";
  EXPECT_EQ(0u, sim.Stop());
}

TEST(KeySimAnswers, AMalformedTableIsAUsageErrorNamingItsLine) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {{"00 A4 => 90 00\n\n00 A? => 90 00\n", "line 3: 'A?'"},
               {"# comment\r\n00 A4 90 00\r\n", "line 2: no =>"},
               {"00 ... A4 => 90 00", "line 1: ..."},
               {"00 A4 => ?? 00", "line 1: '?" "?' in the answer"},
               {"00 A4 => 9", "line 1: '9' in the answer"},
               {"00 A4 =>", "line 1: no answer"},
               {"=> 90 00", "line 1: no command pattern"},
               {"00 A4 => 90 00 => 6A 82", "line 1: '=>' in the answer"},
               {"# only a comment\n\n", "no rule"}};
  for (const auto& c : cases) {
    TextFile table(c.text);
    KeySim sim({L"--answers", table.name});
    EXPECT_EQ(1u, sim.Stop()) << c.text;
    EXPECT_NE(std::string::npos, sim.Err().find(c.message)) << sim.Err();
  }
  KeySim missing({L"--answers", L"Z:\\no\\such\\table.txt"});
  EXPECT_EQ(1u, missing.Stop());
}

TEST(KeySimFaults, AKeysOwnFaultsReplaceThoseOfEveryKey) {
  KeySim sim({L"--keys", L"2", L"--fail-receive", L"0", L"--key", L"1", L"--fail-receive", L"1"});
  std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:0", L"xfer:0001", L"devpipe:1", L"xfer:0002",
                                                L"xfer:0003", L"devpipe:0", L"xfer:0004"});
  ASSERT_EQ(14u, out.size());
  EXPECT_EQ(0u, out[5].find("recv fail")) << "key 0 meets the fault of every key at its first command";
  EXPECT_EQ("recv ok 4 00029000", out[8]) << "key 1's own fault replaces it";
  EXPECT_EQ(0u, out[10].find("recv fail")) << "and meets key 1 at its second command";
  EXPECT_EQ("recv ok 4 00049000", out[13]);
}

TEST(KeySimFaults, AShortAnswerFailsItsCommandAndTheKeyServesOn) {
  KeySim sim({L"--short-answer", L"1"});
  std::vector<std::string> out =
      RunPipeClient({L"list", L"devpipe:0", L"xfer:01", L"xfer:02", L"devpipe:0", L"xfer:03"});
  ASSERT_EQ(10u, out.size());
  EXPECT_EQ("recv ok 3 019000", out[4]);
  EXPECT_EQ(0u, out[6].find("recv fail")) << "an answer short of its frame is no answer";
  EXPECT_EQ("recv ok 3 039000", out[9]);
}

TEST(KeySimFaults, AStallDelaysThatKeysAnswerOnly) {
  KeySim sim({L"--keys", L"2", L"--key", L"0", L"--stall-after", L"1", L"--stall-ms", L"2500"});
  PipeClient stalled({L"list", L"devpipe:0", L"xfer:01", L"xfer:02"});
  ASSERT_TRUE(WaitUntil(20000, [&] { return stalled.Lines().size() >= 6; }, 10));
  const DWORD firstAnswer = GetTickCount();
  EXPECT_EQ("recv ok 3 019000", stalled.Lines()[5]);
  EXPECT_EQ("recv ok 3 039000", RunPipeClient({L"list", L"devpipe:1", L"xfer:03"}).back());
  EXPECT_GT(8u, stalled.Lines().size()) << "the other key answers while this one stalls";
  ASSERT_TRUE(WaitUntil(20000, [&] { return stalled.Lines().size() >= 8; }, 10));
  EXPECT_LE(2300u, GetTickCount() - firstAnswer);
  EXPECT_EQ("recv ok 3 029000", stalled.Finish()[7]);
}

TEST(KeySimFaults, AVanishedKeyComesBackListedAndServed) {
  KeySim sim({L"--unplug-after", L"1", L"--replug-after-ms", L"2000"});
  std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:0", L"xfer:01", L"xfer:02", L"close", L"list",
                                                L"close", L"sleep:2500", L"list", L"devpipe:0", L"xfer:03"});
  ASSERT_EQ(16u, out.size());
  EXPECT_EQ("recv ok 3 019000", out[4]);
  EXPECT_EQ(0u, out[6].find("recv fail")) << "the key vanishes during its second command";
  EXPECT_EQ("list ok 0", out[8]);
  EXPECT_EQ("list ok 1", out[11]);
  EXPECT_EQ(out[1], out[12]);
  EXPECT_EQ("recv ok 3 039000", out[15]);
}

TEST(KeySimLog, EachCommandAndItsOutcomeOneLineWithTheKey) {
  const std::wstring logName = TemporaryFileName(L"ksl");
  {
    KeySim sim({L"--keys", L"2", L"--log", logName, L"--key", L"0", L"--unplug-after", L"1", L"--key", L"1",
                L"--fail-send", L"1"});
    RunPipeClient({L"list", L"devpipe:0", L"xfer:00a40400023f00", L"xfer:0003", L"devpipe:1", L"xfer:0001",
                   L"xfer:0002"});
    EXPECT_EQ(0u, sim.Stop());
  }
  const std::vector<std::string> expected = {"key 0 > 00 A4 04 00 02 3F 00",
                                             "key 0 < 00 A4 04 00 02 3F 00 90 00",
                                             "key 0 > 00 03",
                                             "key 0 < none: the key vanishes",
                                             "key 1 > 00 01",
                                             "key 1 < 00 01 90 00",
                                             "key 1 > 00 02",
                                             "key 1 < none: send fails, SCSI status 2"};
  EXPECT_EQ(expected, TextLines(ReadText(logName)));
  DeleteFileW(logName.c_str());

  KeySim toStdout({L"--log", L"-"});
  const std::vector<std::string> out = RunPipeClient({L"list", L"devpipe:0", L"sendn:4095:0", L"recv"});
  ASSERT_EQ(5u, out.size());
  EXPECT_EQ("send ok 4095", out[3]);
  EXPECT_EQ(0u, out[4].find("recv fail")) << "the echo of 4095 bytes cannot be framed";
  EXPECT_EQ(0u, toStdout.Stop());
  // The log shares standard output with the start-up lines; a client may come before "serving".
  const std::vector<std::string> lines = TextLines(toStdout.Out());
  size_t command = 0;
  while (command < lines.size() && lines[command].compare(0, 8, "key 0 > ") != 0) ++command;
  ASSERT_GT(lines.size(), command + 1) << toStdout.Out();
  EXPECT_EQ(0u, lines[command].find("key 0 > 00 07 0E 15 "));
  EXPECT_EQ(8 + 4095 * 3 - 1, lines[command].size());
  EXPECT_EQ("key 0 < none: a 4097-byte answer does not fit the channel", lines[command + 1]);
  EXPECT_EQ("stopped", lines.back());
}

}  // namespace
}  // namespace tamsu
