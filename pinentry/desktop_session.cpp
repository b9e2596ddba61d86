#include "desktop_session.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/win/unique_resource.h"
#include "pinentry_logic.h"

namespace tamsu {
namespace pinentry {
namespace {

constexpr DWORD kCaptureRop = SRCCOPY | CAPTUREBLT;  // layered windows too
constexpr BYTE kHalfAlpha = 128;
constexpr DWORD kSwitchAccess = DESKTOP_SWITCHDESKTOP;

DesktopSession g_session;

std::string PictureName() {
  GUID guid;
  if (SUCCEEDED(CoCreateGuid(&guid))) {
    const uint8_t(&bytes)[8] = guid.Data4;
    return PictureNameFromGuid(guid.Data1, guid.Data2, guid.Data3, bytes);
  }
  int drawn[6];
  for (int& value : drawn) value = rand();
  return PictureNameFromRandom(drawn);
}

void CopyBounded(char* destination, size_t capacity, const std::string& text) {
  const size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
  memcpy(destination, text.data(), length);
  destination[length] = 0;
}

// The primary screen at half brightness, written to the picture file.
void WriteScreenPicture(const char* path) {
  WindowDc screen(GetDesktopWindow());
  if (!screen) return;
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  UniqueMemoryDc dcA(CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmapA(CreateCompatibleBitmap(screen.get(), width, height));
  if (!dcA || !bitmapA) return;
  HGDIOBJ previousA = SelectObject(dcA.get(), bitmapA.get());
  BitBlt(dcA.get(), 0, 0, width, height, screen.get(), 0, 0, kCaptureRop);
  UniqueMemoryDc dcB(CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmapB(CreateCompatibleBitmap(screen.get(), width, height));  // black as created
  if (dcB && bitmapB) {
    HGDIOBJ previousB = SelectObject(dcB.get(), bitmapB.get());
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, kHalfAlpha, 0};
    AlphaBlend(dcA.get(), 0, 0, width, height, dcB.get(), 0, 0, width, height, blend);
    SelectObject(dcB.get(), previousB);
  }
  SelectObject(dcA.get(), previousA);
  saveBitmapFile(bitmapA.get(), path);
}

void CloseDesktopHandles() {
  if (g_session.newDesktop) CloseDesktop(g_session.newDesktop);
  if (g_session.inputDesktop) CloseDesktop(g_session.inputDesktop);
  g_session.newDesktop = g_session.inputDesktop = nullptr;
}

}  // namespace

void saveBitmapFile(HBITMAP bitmap, const char* path) {
  if (!bitmap || !path) return;
  WindowDc screen(nullptr);
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  if (GetDIBits(screen.get(), bitmap, 0, 0, nullptr, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) <= 0) {
    return;
  }
  const BitmapLayout layout = LayoutFor(header.biBitCount, header.biWidth, header.biHeight, header.biSizeImage);
  header.biSizeImage = layout.imageSize;
  header.biCompression = BI_RGB;
  // The header copy has room for the colour table GetDIBits may fill in.
  std::vector<uint8_t> info(sizeof header + 256 * sizeof(RGBQUAD));
  memcpy(info.data(), &header, sizeof header);
  UniqueGlobalMemory pixels(GlobalAlloc(GMEM_FIXED, layout.imageSize));
  if (!pixels) return;
  GetDIBits(screen.get(), bitmap, 0, static_cast<UINT>(header.biHeight), pixels.get(),
            reinterpret_cast<BITMAPINFO*>(info.data()), DIB_RGB_COLORS);
  UniqueFileHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const auto fileHeader = BitmapFileHeader(layout);
  const std::vector<uint8_t> colourTable(layout.colourEntries * 4, 0x80);
  DWORD written = 0;
  WriteFile(file.get(), fileHeader.data(), static_cast<DWORD>(fileHeader.size()), &written, nullptr);
  WriteFile(file.get(), &header, sizeof header, &written, nullptr);
  if (!colourTable.empty()) {
    WriteFile(file.get(), colourTable.data(), static_cast<DWORD>(colourTable.size()), &written, nullptr);
  }
  WriteFile(file.get(), pixels.get(), layout.imageSize, &written, nullptr);
}

void openDesktopSession(bool useSecureDesktop) {
  g_session = DesktopSession();
  srand(static_cast<unsigned>(time(nullptr)));
  const std::string pictureName = PictureName();
  DWORD sessionId = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) sessionId = 0;
  const std::string desktopName = DesktopName(sessionId);
  if (!useSecureDesktop) return;

  char path[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, path);
  char picture[MAX_PATH] = {};
  if (!PathCombineA(picture, path, pictureName.c_str())) picture[0] = 0;
  WriteScreenPicture(picture);
  SystemParametersInfoA(SPI_GETDESKWALLPAPER, MAX_PATH, g_session.savedWallpaper, 0);
  g_session.savedWallpaper[MAX_PATH - 1] = 0;
  CopyBounded(g_session.picturePath, MAX_PATH, picture);

  bool ready = (g_session.inputDesktop = OpenInputDesktop(0, FALSE, kSwitchAccess)) != nullptr;
  if (ready) {
    g_session.newDesktop = OpenDesktopA(desktopName.c_str(), 0, FALSE, GENERIC_ALL);
    if (!g_session.newDesktop && GetLastError() != ERROR_ACCESS_DENIED) {
      g_session.newDesktop = CreateDesktopA(desktopName.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    }
    ready = g_session.newDesktop != nullptr;
  }
  if (ready) ready = (g_session.threadDesktop = GetThreadDesktop(GetCurrentThreadId())) != nullptr;
  if (ready && g_session.threadDesktop != g_session.newDesktop) {
    ready = SetThreadDesktop(g_session.newDesktop) != FALSE;
  }
  if (!ready) {
    CloseDesktopHandles();
    DeleteFileA(g_session.picturePath);
    return;
  }
  SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, g_session.picturePath, 0);
  g_session.active = true;
  g_session.switched = SwitchDesktop(g_session.newDesktop) != FALSE;
}

void closeDesktopSession() {
  if (!g_session.active) return;
  if (g_session.switched) SwitchDesktop(g_session.inputDesktop);
  SetThreadDesktop(g_session.threadDesktop);
  SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, g_session.savedWallpaper, 0);
  char longPath[MAX_PATH] = {};
  if (GetLongPathNameA(g_session.picturePath, longPath, MAX_PATH) == 0 || longPath[0] == 0) {
    CopyBounded(longPath, MAX_PATH, g_session.picturePath);
  }
  DeleteFileA(longPath);
  CloseDesktopHandles();
  g_session.active = false;
}

}  // namespace pinentry
}  // namespace tamsu
