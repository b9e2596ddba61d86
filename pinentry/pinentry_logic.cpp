#include "pinentry_logic.h"

#include <cstdio>
#include <cstring>

namespace tamsu {
namespace pinentry {
namespace {

void Put32(PinpadParams& block, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

}  // namespace

PinpadParams BuildPinpadParams(const PinEntryRequest& request) {
  PinpadParams block{};
  Put32(block, 0x00, kPinpadParamsSize);
  const bool wide = request.keySelector == 1;
  block[0x0C] = wide ? 64 : 32;
  block[0x0D] = wide ? 64 : 28;
  block[0x0E] = 1;
  block[0x0F] = 7;
  Put32(block, 0x10, request.blockWordA);
  Put32(block, 0x14, 500);
  Put32(block, 0x18, request.blockWordB);
  Put32(block, 0x1C, request.blockWordC);
  Put32(block, 0x20, request.blockWordD);
  block[0x24] = request.layoutHigh;
  block[0x25] = request.layoutLow;
  Put32(block, 0xB0, request.ownerWindow);
  return block;
}

bool DesktopAllowed(bool valueRead, bool isDword, uint32_t value) { return !valueRead || !isDword || value == 1; }

bool ContainsUpperAscii(const std::wstring& path, const std::string& needle) {
  std::wstring upperPath(path), upperNeedle;
  for (wchar_t& c : upperPath) c = UpperAscii(c);
  for (char c : needle) upperNeedle += UpperAscii(static_cast<unsigned char>(c));
  return upperPath.find(upperNeedle) != std::wstring::npos;
}

std::string PictureNameFromGuid(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&d)[8]) {
  char name[64];
  std::snprintf(name, sizeof name, "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", data1, data2, data3, d[0], d[1],
                d[2], d[3], d[4], d[5], d[6], d[7]);
  return std::string(name) + ".bmp";
}

std::string PictureFileName(uint32_t processId, const std::string& pictureName) {
  return std::to_string(processId) + "-" + pictureName;
}

uint32_t PictureWriter(const std::string& fileName) {
  uint64_t id = 0;
  size_t at = 0;
  for (; at < fileName.size() && at < 10 && fileName[at] >= '0' && fileName[at] <= '9'; ++at) {
    id = id * 10 + static_cast<uint32_t>(fileName[at] - '0');
  }
  if (at == 0 || at >= fileName.size() || fileName[at] != '-' || id > 0xFFFFFFFFu) return 0;
  return static_cast<uint32_t>(id);
}

std::string PictureNameFromRandom(const int (&drawn)[6]) {
  char name[64];
  std::snprintf(name, sizeof name, "%04x%04x%04x%04x%04x%04x", drawn[5], drawn[4], drawn[3], drawn[2], drawn[1],
                drawn[0]);
  return std::string(name) + ".bmp";
}

std::string DesktopName(uint32_t sessionId) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%dTamsuVD%s", "9340", static_cast<int>(sessionId),
                "QMX92D968A921B8436fA13B72266A6E585C");
  return name;
}

std::string EntryGuardName(uint32_t sessionId) { return "Local\\" + DesktopName(sessionId); }

BitmapLayout LayoutFor(uint16_t bitCount, int32_t width, int32_t height, uint32_t reportedImageSize) {
  BitmapLayout layout{};
  layout.colourEntries = bitCount == 1 ? 2 : bitCount == 4 ? 16 : bitCount == 8 ? 256 : 0;
  const uint64_t rowBytes = (static_cast<uint64_t>(bitCount) * static_cast<uint32_t>(width) + 31) / 32 * 4;
  layout.imageSize =
      reportedImageSize ? reportedImageSize : static_cast<uint32_t>(rowBytes * static_cast<uint32_t>(height));
  layout.pixelOffset = 54 + layout.colourEntries * 4;
  layout.fileSize = layout.pixelOffset + layout.imageSize;
  return layout;
}

std::array<uint8_t, 14> BitmapFileHeader(const BitmapLayout& layout) {
  std::array<uint8_t, 14> header{};
  header[0] = 'B';
  header[1] = 'M';
  for (int i = 0; i < 4; ++i) header[2 + i] = static_cast<uint8_t>(layout.fileSize >> (8 * i));
  for (int i = 0; i < 4; ++i) header[10 + i] = static_cast<uint8_t>(layout.pixelOffset >> (8 * i));
  return header;
}

}  // namespace pinentry
}  // namespace tamsu
