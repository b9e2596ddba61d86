#include "pinentry/pinentry_logic.h"

#include <gtest/gtest.h>

namespace tamsu {
namespace pinentry {
namespace {

uint32_t Word(const PinpadParams& block, size_t offset) {
  return block[offset] | block[offset + 1] << 8 | block[offset + 2] << 16 |
         static_cast<uint32_t>(block[offset + 3]) << 24;
}

TEST(PinpadParams, EveryFieldAtItsOffsetAndNothingElse) {
  PinEntryRequest request;
  request.ownerWindow = 0x00010020;
  request.layoutLow = 0x34;
  request.layoutHigh = 0x12;
  request.keySelector = 1;
  request.blockWordA = 0xA1A2A3A4;
  request.blockWordB = 0xB1B2B3B4;
  request.blockWordC = 0xC1C2C3C4;
  request.blockWordD = 0xD1D2D3D4;
  const PinpadParams block = BuildPinpadParams(request);
  EXPECT_EQ(184u, Word(block, 0x00));
  EXPECT_EQ(64, block[0x0C]);
  EXPECT_EQ(64, block[0x0D]);
  EXPECT_EQ(1, block[0x0E]);
  EXPECT_EQ(7, block[0x0F]);
  EXPECT_EQ(0xA1A2A3A4u, Word(block, 0x10));
  EXPECT_EQ(500u, Word(block, 0x14));
  EXPECT_EQ(0xB1B2B3B4u, Word(block, 0x18));
  EXPECT_EQ(0xC1C2C3C4u, Word(block, 0x1C));
  EXPECT_EQ(0xD1D2D3D4u, Word(block, 0x20));
  EXPECT_EQ(0x12, block[0x24]);
  EXPECT_EQ(0x34, block[0x25]);
  EXPECT_EQ(0x00010020u, Word(block, 0xB0));
  size_t nonZero = 0;
  for (uint8_t byte : block) nonZero += byte != 0;
  // size 1, bytes 0x0C-0x0F 4, four block words 16, 500 two, layout 2, owner window two.
  EXPECT_EQ(27u, nonZero) << "a byte outside the listed fields is set";
  request.keySelector = 2;
  EXPECT_EQ(32, BuildPinpadParams(request)[0x0C]);
  EXPECT_EQ(28, BuildPinpadParams(request)[0x0D]);
}

TEST(EnableDesktop, OnlyAReadableDwordOtherThanOneTurnsItOff) {
  EXPECT_TRUE(DesktopAllowed(false, false, 0));
  EXPECT_TRUE(DesktopAllowed(true, false, 0)) << "a string is treated as absent";
  EXPECT_TRUE(DesktopAllowed(true, true, 1));
  EXPECT_FALSE(DesktopAllowed(true, true, 0));
  EXPECT_FALSE(DesktopAllowed(true, true, 2));
}

TEST(ExcludedImage, AnywhereInThePathWithoutCase) {
  EXPECT_TRUE(ContainsUpperAscii(L"C:\\Program Files\\Mail\\NLNOTES.EXE", kExcludedImage));
  EXPECT_TRUE(ContainsUpperAscii(L"C:\\x\\nlnotes.exe.old\\app.exe", kExcludedImage));
  EXPECT_FALSE(ContainsUpperAscii(L"C:\\x\\nlnote.exe", kExcludedImage));
  EXPECT_FALSE(ContainsUpperAscii(L"\x14E\x14C\x14E\x14F\x154\x145\x153.exe", kExcludedImage)) << "low bytes";
}

TEST(Names, PictureAndDesktop) {
  const uint8_t data4[8] = {0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
  EXPECT_EQ("0123abcd4567890a89abcdef01234567.bmp", PictureNameFromGuid(0x0123abcd, 0x4567, 0x890a, data4));
  const int drawn[6] = {1, 2, 3, 0x7fff, 0x10, 0xabc};
  EXPECT_EQ("0abc00107fff000300020001.bmp", PictureNameFromRandom(drawn)) << "the value drawn last first";
  EXPECT_EQ("93400TamsuVDQMX92D968A921B8436fA13B72266A6E585C", DesktopName(0));
  EXPECT_EQ("93401TamsuVDQMX92D968A921B8436fA13B72266A6E585C", DesktopName(1));
  EXPECT_EQ("Local\\93401TamsuVDQMX92D968A921B8436fA13B72266A6E585C", EntryGuardName(1)) << "the session's namespace";
}

TEST(BitmapLayout, ColourTablesAndSizes) {
  const BitmapLayout eight = LayoutFor(8, 1024, 768, 0);
  EXPECT_EQ(256u, eight.colourEntries);
  EXPECT_EQ(1078u, eight.pixelOffset);
  const BitmapLayout full = LayoutFor(32, 1920, 1080, 0);
  EXPECT_EQ(8294400u, full.imageSize);
  EXPECT_EQ(8294454u, full.fileSize);
  EXPECT_EQ(54u, full.pixelOffset);
  EXPECT_EQ(2u, LayoutFor(1, 10, 10, 0).colourEntries);
  EXPECT_EQ(16u, LayoutFor(4, 10, 10, 0).colourEntries);
  EXPECT_EQ(12u * 3, LayoutFor(24, 3, 3, 0).imageSize) << "rows padded to four bytes";
  EXPECT_EQ(777u, LayoutFor(24, 3, 3, 777).imageSize) << "a reported size is kept";
  const auto header = BitmapFileHeader(full);
  EXPECT_EQ('B', header[0]);
  EXPECT_EQ('M', header[1]);
  EXPECT_EQ(8294454u, header[2] | header[3] << 8 | header[4] << 16 | static_cast<uint32_t>(header[5]) << 24);
  EXPECT_EQ(54, header[10]);
}

// Every file in the picture folder is read back for its writer: only "<id>-..." names a process.
TEST(PictureFiles, TheWriterIsReadBackAndAnyOtherNameNamesNone) {
  EXPECT_EQ("1234-0a0b.bmp", PictureFileName(1234, "0a0b.bmp"));
  EXPECT_EQ(1234u, PictureWriter(PictureFileName(1234, "0a0b.bmp")));
  EXPECT_EQ(4294967295u, PictureWriter("4294967295-x.bmp"));
  for (const char* other : {"", "x.bmp", "-x.bmp", "12x-x.bmp", "1234", "4294967296-x.bmp", "99999999999-x.bmp"}) {
    EXPECT_EQ(0u, PictureWriter(other)) << other;
  }
}

}  // namespace
}  // namespace pinentry
}  // namespace tamsu
