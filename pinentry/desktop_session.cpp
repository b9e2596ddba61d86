#include "desktop_session.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pinentry_logic.h"

namespace tamsu {
namespace pinentry {
namespace {

constexpr DWORD kCaptureRop = SRCCOPY | CAPTUREBLT;  // layered windows too
constexpr BYTE kHalfAlpha = 128;
constexpr DWORD kSwitchAccess = DESKTOP_SWITCHDESKTOP;
constexpr DWORD kLeftDesktopWaitMs = 2000;
constexpr DWORD kLeftDesktopPollMs = 50;

// The picture file of the running entry, where DllMain still finds it when the process ends
// mid-entry: named before the file is made and withdrawn only once it is gone. The path counts
// only while the flag is set, so a path cut short by the end is never used.
char g_pictureOnDisk[MAX_PATH];
volatile LONG g_pictureOnDiskSet = 0;

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

void CopyBounded(char* destination, size_t capacity, const char* text) {
  size_t length = 0;
  while (length + 1 < capacity && text[length]) ++length;
  memcpy(destination, text, length);
  destination[length] = 0;
}

// The package's picture folder in the temporary folder, made if need be; empty when that folder
// cannot be named or made, rather than a picture in whatever the current directory is.
std::string PictureFolder() {
  char temporary[MAX_PATH] = {};
  const DWORD length = GetTempPathA(MAX_PATH, temporary);
  if (length == 0 || length >= MAX_PATH) return {};
  char folder[MAX_PATH] = {};
  if (!PathCombineA(folder, temporary, kPictureFolder)) return {};
  if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  // A link put in its place would lead the picture and the clean-up elsewhere.
  const DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return {};
  }
  return folder;
}

// A process that may still be using its picture; one we may not ask about counts as running.
bool ProcessRuns(DWORD processId) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// A process terminated mid-entry runs nothing of ours, so its picture waits here for the next entry.
// Pictures of processes still running (or that may not be asked about) stay.
void DeletePicturesOfEndedEntries(const std::string& folder) {
  char pattern[MAX_PATH] = {};
  if (!PathCombineA(pattern, folder.c_str(), "*.bmp")) return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    // Only pictures of ours: a name of the form, ".bmp" at its end (the pattern also matches short
    // names), no folder and no link.
    const DWORD writer = PictureWriter(found.cFileName);
    const size_t length = strlen(found.cFileName);
    const bool picture = writer != 0 && length > 4 && strcmp(found.cFileName + length - 4, ".bmp") == 0 &&
                         !(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    char path[MAX_PATH] = {};
    if (picture && !ProcessRuns(writer) && PathCombineA(path, folder.c_str(), found.cFileName)) DeleteFileA(path);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// The picture's path in the package's folder; empty when there is none.
std::string PicturePath(const std::string& name) {
  const std::string folder = PictureFolder();
  if (folder.empty()) return {};
  DeletePicturesOfEndedEntries(folder);
  char path[MAX_PATH] = {};
  if (!PathCombineA(path, folder.c_str(), PictureFileName(GetCurrentProcessId(), name).c_str())) return {};
  return path;
}

// The primary screen at half brightness, written to the picture file; false when it was not.
bool WriteScreenPicture(const char* path) {
  WindowDc screen(GetDesktopWindow());
  if (!screen) return false;
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  UniqueMemoryDc dcA(CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmapA(CreateCompatibleBitmap(screen.get(), width, height));
  if (!dcA || !bitmapA) return false;
  HGDIOBJ previousA = SelectObject(dcA.get(), bitmapA.get());
  const bool captured = BitBlt(dcA.get(), 0, 0, width, height, screen.get(), 0, 0, kCaptureRop) != FALSE;
  UniqueMemoryDc dcB(CreateCompatibleDC(screen.get()));
  UniqueBitmap bitmapB(CreateCompatibleBitmap(screen.get(), width, height));  // black as created
  bool dimmed = false;  // an undimmed picture of the user's screen is never written
  if (dcB && bitmapB) {
    HGDIOBJ previousB = SelectObject(dcB.get(), bitmapB.get());
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, kHalfAlpha, 0};
    dimmed = AlphaBlend(dcA.get(), 0, 0, width, height, dcB.get(), 0, 0, width, height, blend) != FALSE;
    SelectObject(dcB.get(), previousB);
  }
  SelectObject(dcA.get(), previousA);
  return captured && dimmed && saveBitmapFile(bitmapA.get(), path);
}

void DeletePictureFile(const char* path) {
  char longPath[MAX_PATH] = {};
  const DWORD length = GetLongPathNameA(path, longPath, MAX_PATH);
  DeleteFileA(length > 0 && length < MAX_PATH ? longPath : path);
}

void DeletePicture(DesktopSession& session) {
  if (!session.picturePath[0]) return;
  DeletePictureFile(session.picturePath);
  InterlockedExchange(&g_pictureOnDiskSet, 0);
  session.picturePath[0] = 0;
}

// Writes the picture, named for DllMain first; true when the whole picture is there.
bool WritePicture(const std::string& path) {
  CopyBounded(g_pictureOnDisk, MAX_PATH, path.c_str());
  InterlockedExchange(&g_pictureOnDiskSet, 1);
  if (WriteScreenPicture(path.c_str())) return true;
  InterlockedExchange(&g_pictureOnDiskSet, 0);  // nothing was left: a failed write deletes its file
  return false;
}

// Whether no desktop of that name exists. Only one secure-desktop entry runs in the logon session,
// so one that does was not made for this entry, and its maker may have threads and hooks on it. The
// previous entry's goes with its last handle (Wine keeps it about a second longer): it is waited for.
bool DesktopNameFree(const std::string& desktopName) {
  const DWORD start = GetTickCount();
  for (;;) {
    UniqueDesktop existing(OpenDesktopA(desktopName.c_str(), 0, FALSE, DESKTOP_READOBJECTS));
    if (!existing && GetLastError() != ERROR_ACCESS_DENIED) return true;
    if (GetTickCount() - start >= kLeftDesktopWaitMs) return false;
    Sleep(kLeftDesktopPollMs);
  }
}

// Steps onto a new desktop of that name; false when the worker stays where it is, a desktop of that
// name made before the entry included.
bool EnterNewDesktop(DesktopSession& session, const std::string& desktopName) {
  session.inputDesktop.reset(OpenInputDesktop(0, FALSE, kSwitchAccess));
  if (!session.inputDesktop || !DesktopNameFree(desktopName)) return false;
  HDESK opened = CreateDesktopA(desktopName.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (!opened) return false;
  session.newDesktop.reset(opened);
  session.threadDesktop = GetThreadDesktop(GetCurrentThreadId());
  if (!session.threadDesktop) return false;
  return session.threadDesktop == opened || SetThreadDesktop(opened);
}

}  // namespace

DWORD CurrentSessionId() {
  DWORD sessionId = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &sessionId) ? sessionId : 0;
}

bool saveBitmapFile(HBITMAP bitmap, const char* path) {
  if (!bitmap || !path) return false;
  WindowDc screen(nullptr);
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  if (GetDIBits(screen.get(), bitmap, 0, 0, nullptr, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) <= 0) {
    return false;
  }
  const BitmapLayout layout = LayoutFor(header.biBitCount, header.biWidth, header.biHeight, header.biSizeImage);
  header.biSizeImage = layout.imageSize;
  header.biCompression = BI_RGB;
  // The header copy has room for the colour table GetDIBits may fill in.
  std::vector<uint8_t> info(sizeof header + 256 * sizeof(RGBQUAD));
  memcpy(info.data(), &header, sizeof header);
  UniqueGlobalMemory pixels(GlobalAlloc(GMEM_FIXED, layout.imageSize));
  if (!pixels) return false;
  // Rows it did not deliver would be whatever the heap held before: no picture then.
  const int rows = GetDIBits(screen.get(), bitmap, 0, static_cast<UINT>(header.biHeight), pixels.get(),
                             reinterpret_cast<BITMAPINFO*>(info.data()), DIB_RGB_COLORS);
  if (rows != header.biHeight) return false;
  // Shared for deletion only: the module's unload may delete it while it is being written.
  UniqueFileHandle file(
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const auto fileHeader = BitmapFileHeader(layout);
  const std::vector<uint8_t> colourTable(layout.colourEntries * 4, 0x80);
  const auto write = [&file](const void* data, DWORD size) {
    DWORD written = 0;
    return size == 0 || (WriteFile(file.get(), data, size, &written, nullptr) && written == size);
  };
  const bool whole = write(fileHeader.data(), static_cast<DWORD>(fileHeader.size())) &&
                     write(&header, sizeof header) &&
                     write(colourTable.data(), static_cast<DWORD>(colourTable.size())) &&
                     write(pixels.get(), layout.imageSize);
  file.reset();
  if (!whole) DeleteFileA(path);
  return whole;
}

DesktopSession openDesktopSession(bool useSecureDesktop) {
  DesktopSession session;
  srand(static_cast<unsigned>(time(nullptr)));
  const std::string pictureName = PictureName();
  const std::string desktopName = DesktopName(CurrentSessionId());
  if (!useSecureDesktop) return session;

  const std::string picture = PicturePath(pictureName);
  if (!picture.empty() && WritePicture(picture)) CopyBounded(session.picturePath, MAX_PATH, picture.c_str());
  // A wallpaper that cannot be read could not be put back: the user's stays then, with no picture.
  if (!SystemParametersInfoW(SPI_GETDESKWALLPAPER, MAX_PATH, session.savedWallpaper, 0)) DeletePicture(session);
  session.savedWallpaper[MAX_PATH - 1] = 0;

  // Once the secure desktop is asked for, the PIN goes nowhere else: any failure to set it up (the
  // input held by a locked workstation or a UAC prompt, a desktop of the name already there)
  // refuses the entry, with the user's desktop and wallpaper untouched.
  if (!EnterNewDesktop(session, desktopName)) {
    session.newDesktop.reset();
    session.inputDesktop.reset();
    DeletePicture(session);
    session.refused = true;
    return session;
  }
  // Without a picture the user's own wallpaper stays: one naming no file would blank it.
  if (session.picturePath[0]) SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, session.picturePath, 0);
  session.active = true;
  session.switched = SwitchDesktop(session.newDesktop.get()) != FALSE;
  // Not shown (a locked workstation, a screensaver or a UAC prompt holds the input): a pinpad there
  // would wait unseen behind the dimmed picture, and the PIN is not to go elsewhere. All is undone
  // at once and the entry refused.
  if (!session.switched) {
    closeDesktopSession(session);
    session.refused = true;
  }
  return session;
}

void closeDesktopSession(DesktopSession& session) {
  if (!session.active) return;
  if (session.switched) SwitchDesktop(session.inputDesktop.get());
  SetThreadDesktop(session.threadDesktop);
  if (session.picturePath[0]) SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, session.savedWallpaper, 0);
  DeletePicture(session);
  session.newDesktop.reset();
  session.inputDesktop.reset();
  session.active = false;
}

void deletePictureLeftAtExit() {
  if (InterlockedExchange(&g_pictureOnDiskSet, 0)) DeleteFileA(g_pictureOnDisk);
}

}  // namespace pinentry
}  // namespace tamsu
