#include "service/host/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace tamsu {
namespace {

std::string Flags(const wchar_t* text) {
  const CommandLineOptions o = ParseCommandLine(text);
  std::string flags;
  if (o.install) flags += 'i';
  if (o.start) flags += 's';
  if (o.stop) flags += 'k';
  if (o.uninstall) flags += 'u';
  if (o.monitor) flags += 'm';
  return flags;
}

TEST(CommandLine, SwitchesInEitherCaseAndOrder) {
  EXPECT_EQ("", Flags(L""));
  EXPECT_EQ("", Flags(nullptr));
  EXPECT_EQ("is", Flags(L"-s -i"));
  EXPECT_EQ("isku", Flags(L"-I -S -K -U"));
  EXPECT_EQ("ism", Flags(L"-m -i -s"));
  EXPECT_EQ("m", Flags(L"-M"));
  EXPECT_EQ("i", Flags(L"-i -i"));
}

TEST(CommandLine, OnlyADashRightBeforeTheLetterCounts) {
  EXPECT_EQ("k", Flags(L"--k")) << "the second dash is examined too";
  EXPECT_EQ("k", Flags(L"-kx"));
  EXPECT_EQ("", Flags(L"/i"));
  EXPECT_EQ("", Flags(L"i s k"));
  EXPECT_EQ("", Flags(L"-"));
  EXPECT_EQ("", Flags(L"-x -- -"));
  EXPECT_EQ("u", Flags(L"C:\\Tamsu -utils\\x")) << "inside a path a dash and letter still count";
}

TEST(AcceptFlags, WholeTable) {
  const uint32_t expected[] = {0, 0x01, 0x02, 0x02, 0, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0, 0x20, 0x40, 0x80, 0};
  for (uint32_t control = 0; control < 16; ++control) {
    EXPECT_EQ(expected[control], AcceptFlagForControl(control)) << "control " << control;
  }
  EXPECT_EQ(0u, AcceptFlagForControl(128));
  EXPECT_EQ(0u, AcceptFlagForControl(0xFFFFFFFF));
}

TEST(QuotePath, QuotedOrRefusedNeverCut) {
  wchar_t out[16];
  EXPECT_TRUE(QuotePath(L"C:\\a b.exe", L" -m", out, 16));
  EXPECT_EQ(std::wstring(L"\"C:\\a b.exe\" -m"), out);
  EXPECT_TRUE(QuotePath(L"C:\\abcdefg", L" -m", out, 16)) << "exactly 15 units and the terminator";
  EXPECT_FALSE(QuotePath(L"C:\\abcdefgh", L" -m", out, 16));
  EXPECT_EQ(L'\0', out[0]) << "a refused path leaves nothing behind";
  EXPECT_FALSE(QuotePath(nullptr, L"", out, 16));
  // The program path limit is the one the monitor's command line (MAX_PATH units) holds.
  wchar_t commandLine[260];
  const std::wstring longest(kMaxProgramPathLength, L'p');
  EXPECT_TRUE(QuotePath(longest.c_str(), kMonitorSwitch, commandLine, 260));
  EXPECT_FALSE(QuotePath((longest + L"p").c_str(), kMonitorSwitch, commandLine, 260));
  EXPECT_TRUE(QuotePath(L"x", nullptr, out, 16));
  EXPECT_EQ(std::wstring(L"\"x\""), out);
}

}  // namespace
}  // namespace tamsu
