// The PIN entry's layouts and names, with no platform calls: the pinpad parameter block, the
// picture and desktop names, the picture file's header arithmetic, the image-path check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamsu {
namespace pinentry {

constexpr uint32_t kEntryFailed = 0xA0120004u;    // the export's own failures
constexpr uint32_t kPinpadMissing = 0xE011FFFFu;  // library or entry point missing
constexpr char kExcludedImage[] = "nlnotes.exe";

// What the export hands to the worker.
struct PinEntryRequest {
  uint32_t ownerWindow = 0;
  const wchar_t* libraryPath = nullptr;
  uint8_t layoutLow = 0;
  uint8_t layoutHigh = 0;
  uint32_t indicatorArg = 0;
  uint32_t keySelector = 0;
  uint32_t blockWordA = 0;
  uint32_t blockWordB = 0;
  uint32_t blockWordC = 0;
  uint32_t blockWordD = 0;
  uint32_t useSecureDesktop = 0;
};

constexpr size_t kPinpadParamsSize = 184;
using PinpadParams = std::array<uint8_t, kPinpadParamsSize>;

// The block handed to Pinpad_Indicator, byte for byte.
PinpadParams BuildPinpadParams(const PinEntryRequest& request);

// "EnableDesktop": only a readable REG_DWORD counts, and only the value 1 allows the desktop.
bool DesktopAllowed(bool valueRead, bool isDword, uint32_t value);

// True when `needle` (ASCII) occurs in `path`, ASCII letters compared upper-cased and every other
// character as it is: no look-alike outside ASCII stands in for a letter of the needle.
bool ContainsUpperAscii(const std::wstring& path, const std::string& needle);

// "%08x%04x%04x" and eight "%02x" over a GUID's fields, then ".bmp".
std::string PictureNameFromGuid(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8]);
// Six rand() values, the one drawn last first, "%04x" each, then ".bmp".
std::string PictureNameFromRandom(const int (&drawn)[6]);
// The package's folder for pictures, in the user's temporary folder.
constexpr char kPictureFolder[] = "TamsuVD_ZUVA";
// A picture's file name: the writing process's id, '-', then the name above; and back, the id of
// the process that wrote it (0 when the name is not of that form).
std::string PictureFileName(uint32_t processId, const std::string& pictureName);
uint32_t PictureWriter(const std::string& fileName);
// "%s%dTamsuVD%s" with "9340", the session id and the fixed suffix.
std::string DesktopName(uint32_t sessionId);
// The object that admits one secure-desktop entry at a time in the logon session: named after the
// desktop, in the session's own namespace.
std::string EntryGuardName(uint32_t sessionId);

// The picture file's numbers for a bitmap of this format.
struct BitmapLayout {
  uint32_t colourEntries;  // 2, 16 or 256 for 1, 4 and 8 bits per pixel, else 0
  uint32_t imageSize;      // the reported size, or the computed one when 0
  uint32_t pixelOffset;    // 54 and the colour table
  uint32_t fileSize;
};
BitmapLayout LayoutFor(uint16_t bitCount, int32_t width, int32_t height, uint32_t reportedImageSize);
// The 14-byte file header.
std::array<uint8_t, 14> BitmapFileHeader(const BitmapLayout& layout);

}  // namespace pinentry
}  // namespace tamsu
