#include "plugin/plugin_logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tamsu {
namespace plugin {
namespace {

TEST(TokenEquals, AsciiLettersOnlyIgnoreCase) {
  EXPECT_TRUE(TokenEquals(L"/X64", L"/x64"));
  EXPECT_TRUE(TokenEquals(L"Hkcu", L"HKCU"));
  EXPECT_FALSE(TokenEquals(L"/x64 ", L"/x64"));
  EXPECT_FALSE(TokenEquals(L"/x6", L"/x64"));
  EXPECT_FALSE(TokenEquals(L"\u00e9", L"\u00c9")) << "letters outside ASCII compare unchanged";
  EXPECT_TRUE(TokenEquals(L"", L""));
  EXPECT_FALSE(TokenEquals(L"x", nullptr));
}

TEST(DecimalValue, AsWritten) {
  EXPECT_EQ(42u, DecimalValue(L"42"));
  EXPECT_EQ(0xFFFFFFFFu, DecimalValue(L"-1"));
  EXPECT_EQ(0u, DecimalValue(L"4294967296"));
  EXPECT_EQ(0u, DecimalValue(L"0x10"));
  EXPECT_EQ(12u, DecimalValue(L"12ab"));
  EXPECT_EQ(0u, DecimalValue(L" 5")) << "no blanks skipped";
  EXPECT_EQ(0u, DecimalValue(L"+5"));
  EXPECT_EQ(0u, DecimalValue(L"-"));
  EXPECT_EQ(1215752191u, DecimalValue(L"99999999999")) << "modulo 2^32";
}

TEST(HexBytes, PairsAndOddTails) {
  EXPECT_EQ((std::vector<uint8_t>{0x0A, 0x1B}), HexBytes(L"0A1B"));
  EXPECT_EQ((std::vector<uint8_t>{0xAB, 0xC0}), HexBytes(L"ABC"));
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), HexBytes(L"fF"));
  EXPECT_TRUE(HexBytes(L"0A 1B").empty());
  EXPECT_TRUE(HexBytes(L"0G").empty());
  EXPECT_TRUE(HexBytes(L"").empty());
}

TEST(SysVersionWord, RowOrderDecides) {
  struct Row {
    uint32_t platform, major, minor, product;
    const wchar_t* word;
  } rows[] = {{2, 4, 0, 1, L"98"},       {2, 5, 0, 1, L"2K"},    {2, 5, 1, 1, L"XP"},      {2, 5, 2, 3, L"2003"},
              {2, 5, 2, 1, L"unknown"},  {2, 6, 0, 1, L"Vista"}, {2, 6, 1, 1, L"Vista"},   {2, 6, 2, 1, L"Vista"},
              {2, 10, 0, 1, L"unknown"}, {2, 7, 1, 1, L"Win7"},  {1, 4, 10, 0, L"unknown"}};
  for (const Row& r : rows) {
    VersionFields v;
    v.platformId = r.platform;
    v.major = r.major;
    v.minor = r.minor;
    v.productType = r.product;
    EXPECT_EQ(std::wstring(r.word), SysVersionWord(v)) << r.major << "." << r.minor;
  }
}

TEST(RWCreateSecurity, LabelFromSixOneOnAnyLaterMajorIncluded) {
  struct Row {
    uint32_t platform, major, minor;
    FolderSecurity expected;
  } rows[] = {{2, 4, 0, FolderSecurity::kDefault},           {2, 5, 1, FolderSecurity::kNullDacl},
              {2, 6, 0, FolderSecurity::kNullDacl},          {2, 6, 1, FolderSecurity::kNullDaclAndLowLabel},
              {2, 6, 3, FolderSecurity::kNullDaclAndLowLabel}, {2, 10, 0, FolderSecurity::kNullDaclAndLowLabel},
              {1, 4, 10, FolderSecurity::kNullDacl}};
  for (const Row& r : rows) {
    VersionFields v;
    v.platformId = r.platform;
    v.major = r.major;
    v.minor = r.minor;
    EXPECT_EQ(r.expected, RWCreateSecurity(v, v)) << r.platform << ": " << r.major << "." << r.minor;
  }
  VersionFields nt4, ten;
  nt4.platformId = ten.platformId = 2;
  nt4.major = 4;
  ten.major = 10;
  EXPECT_EQ(FolderSecurity::kDefault, RWCreateSecurity(nt4, ten)) << "NT 4 is asked of the version read per call";
  EXPECT_EQ(FolderSecurity::kNullDacl, RWCreateSecurity(ten, nt4)) << "the label is asked of the version at load";
}

TEST(GarbageWindowTitles, RowByDefaultLanguage) {
  EXPECT_EQ(std::wstring(L"QuillmarkHant"), GarbageWindowTitlesFor(0x0404).first);
  EXPECT_EQ(std::wstring(L"QuillmarkHantK\u5BF6"), GarbageWindowTitlesFor(0x0404).second);
  EXPECT_EQ(std::wstring(L"QuillmarkHansK\u5B9D"), GarbageWindowTitlesFor(0x0804).second);
  EXPECT_EQ(std::wstring(L"Internet Banking of Quillmark Key"), GarbageWindowTitlesFor(0x0409).second);
  EXPECT_EQ(std::wstring(L"Internet Banking of Quillmark"), GarbageWindowTitlesFor(0x0C04).first);
}

TEST(OwnerMessage, TextEmptyLineThenOnePathALine) {
  EXPECT_EQ(L"Info\n\nC:\\a.exe\nC:\\b.exe\n", OwnerMessage(L"Info", {L"C:\\a.exe", L"C:\\b.exe"}));
  EXPECT_EQ(L"Info\n\n", OwnerMessage(L"Info", {}));
}

// Feeds the tokens as a stack would give them, then repeats the last one with popped = false as an
// empty stack does, until the reader decides.
struct Reading {
  ReadStatus status;
  RegistryArguments arguments;
  std::vector<std::wstring> traces;
};

Reading Read(RegistryOperation operation, bool wow64, std::vector<std::wstring> tokens) {
  Reading reading;
  RegistryArgumentReader reader(operation, wow64, [&](const wchar_t* text) { reading.traces.push_back(text); });
  std::wstring buffer;
  for (size_t i = 0; i < 100; ++i) {
    const bool popped = i < tokens.size();
    if (popped) buffer = tokens[i];
    reading.status = reader.Feed(buffer, popped);
    if (reading.status != ReadStatus::kMore) break;
  }
  reading.arguments = reader.arguments();
  return reading;
}

TEST(RegistryReader, WriteWithViewsRootSlotsAndRepeatedLastToken) {
  Reading r = Read(RegistryOperation::kWriteValue, true, {L"/x86", L"HKLM", L"Software\\A", L"Name", L"text"});
  ASSERT_EQ(ReadStatus::kComplete, r.status);
  EXPECT_TRUE(r.arguments.view32);
  EXPECT_FALSE(r.arguments.view64);
  EXPECT_EQ(0x80000002u, r.arguments.root->handle);
  EXPECT_EQ(L"Software\\A", r.arguments.slots[0]);
  EXPECT_EQ(L"Name", r.arguments.slots[1]);
  EXPECT_EQ(L"text", r.arguments.slots[2]);
  EXPECT_EQ((std::vector<std::wstring>{L"/x86", L"IN /x86", L"HKLM", L"IN 1", L"Software\\A", L"IN 1", L"/SUB ",
                                       L"Name", L"IN 1", L"/Key ", L"text", L"IN 1", L"/Key ", L"text", L"IN 1"}),
            r.traces);
}

TEST(RegistryReader, ValueNameSeenAgainBecomesTheData) {
  Reading r = Read(RegistryOperation::kWriteValue, true, {L"/x86", L"HKCU", L"Software\\A", L"Name"});
  ASSERT_EQ(ReadStatus::kComplete, r.status);
  EXPECT_EQ(L"Name", r.arguments.slots[2]);
}

TEST(RegistryReader, X64IsOnlyASwitchOfTheWriteRoutineUnderWow64) {
  Reading onWow64 = Read(RegistryOperation::kWriteValue, true, {L"/x64", L"/x86", L"HKLM", L"S", L"N", L"D"});
  EXPECT_TRUE(onWow64.arguments.view64 && onWow64.arguments.view32);
  Reading on32 = Read(RegistryOperation::kWriteValue, false, {L"/x86", L"/x64", L"HKLM", L"S", L"N", L"D"});
  EXPECT_EQ(ReadStatus::kUnknownRoot, on32.status) << "/x64 is compared as a root name";
  Reading asSubKey = Read(RegistryOperation::kWriteValue, false, {L"HKLM", L"/x64", L"Software\\A", L"N", L"D"});
  EXPECT_EQ(L"/x64", asSubKey.arguments.slots[0]);
  Reading deleting = Read(RegistryOperation::kDeleteKey, false, {L"/x64", L"HKLM", L"Software\\A"});
  EXPECT_TRUE(deleting.arguments.view64) << "the delete operations always take it as a switch";
}

TEST(RegistryReader, EmptyArgumentIsAParameterErrorEvenLate) {
  EXPECT_EQ(ReadStatus::kParameterError, Read(RegistryOperation::kWriteValue, true, {}).status);
  Reading late = Read(RegistryOperation::kDeleteValue, true, {L"/x86", L"HKLM", L"S", L""});
  EXPECT_EQ(ReadStatus::kParameterError, late.status);
  EXPECT_EQ(L"IN para error ", late.traces.back());
}

TEST(RegistryReader, DryStackAfterASwitchEndsInsteadOfLoopingForEver) {
  Reading r = Read(RegistryOperation::kDeleteKey, true, {L"/x86", L"HKLM", L"Software\\A", L"/ifempty"});
  EXPECT_EQ(ReadStatus::kParameterError, r.status);
  EXPECT_LT(r.traces.size(), 20u);
}

TEST(RegistryReader, UnknownRootAndTheEndToken) {
  EXPECT_EQ(ReadStatus::kUnknownRoot, Read(RegistryOperation::kDeleteKey, true, {L"/x86", L"HKEY_LOCAL"}).status);
  Reading r = Read(RegistryOperation::kDeleteKey, true, {L"/x86", L"hkcu", L"Software\\A", L"leftover", L"more"});
  ASSERT_EQ(ReadStatus::kComplete, r.status);
  EXPECT_EQ(L"hkcu", r.arguments.mainKey);
  EXPECT_EQ(L"/over ", r.traces.back()) << "the script's own item ends the list";
  Reading ifEmpty = Read(RegistryOperation::kDeleteKey, true, {L"HKCU", L"/ifempty", L"Software\\A", L"/x86"});
  EXPECT_TRUE(ifEmpty.arguments.ifEmpty);
  Reading value = Read(RegistryOperation::kDeleteValue, true, {L"/ifempty", L"HKCU"});
  EXPECT_EQ(ReadStatus::kUnknownRoot, value.status) << "/ifempty is no switch of DeleteRegValue";
}

}  // namespace
}  // namespace plugin
}  // namespace tamsu
