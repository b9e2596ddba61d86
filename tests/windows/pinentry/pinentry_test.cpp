// The shipped TamsuVD_ZUVA.dll, loaded as a client would, with the test pinpad library. Runs in the
// harness's Xvfb session: the secure desktop needs a real display to capture.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "test_pinpad/test_pinpad.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::DistPath;
using testing_support::ProgramFolder;

using VdInputPin = uint32_t(__cdecl*)(HWND, const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t, uint32_t, uint32_t, uint32_t);
using RecordFunction = const TestPinpadRecord*(__cdecl*)();

const wchar_t kSettingsKey[] = L"Software\\Varnelle\\Tamsu_ZUVA";
constexpr uint32_t kEntryFailed = 0xA0120004u;
constexpr uint32_t kPinpadMissing = 0xE011FFFFu;

uint32_t Word(const uint8_t* block, size_t offset) {
  return block[offset] | block[offset + 1] << 8 | block[offset + 2] << 16 |
         static_cast<uint32_t>(block[offset + 3]) << 24;
}

void SetEnableDesktop(DWORD type, const void* data, DWORD size) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr));
  UniqueHKey key(raw);
  if (data) {
    RegSetValueExW(key.get(), L"EnableDesktop", 0, type, static_cast<const BYTE*>(data), size);
  } else {
    RegDeleteValueW(key.get(), L"EnableDesktop");
  }
}

int CountTemporaryPictures() {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((std::wstring(folder) + L"*.bmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do ++count;
  while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

std::string Wallpaper() {
  char path[MAX_PATH] = {};
  SystemParametersInfoA(SPI_GETDESKWALLPAPER, MAX_PATH, path, 0);
  return path;
}

std::string DesktopNameOf(HDESK desktop) {
  char name[256] = {};
  DWORD needed = 0;
  GetUserObjectInformationA(desktop, UOI_NAME, name, sizeof name - 1, &needed);
  return name;
}

LONG g_timerTicks = 0;
LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) ++g_timerTicks;
  return DefWindowProcW(window, message, wParam, lParam);
}

class PinEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    pinpad_.reset(LoadLibraryW((ProgramFolder() + L"test_pinpad.dll").c_str()));  // kept loaded: its record stays
    ASSERT_TRUE(pinpad_);
    record_ =
        reinterpret_cast<RecordFunction>(reinterpret_cast<void*>(GetProcAddress(pinpad_.get(), "TestPinpad_Record")))();
    module_.reset(LoadLibraryW(DistPath(L"TamsuVD_ZUVA.dll").c_str()));
    ASSERT_TRUE(module_) << GetLastError();
    vdInputPin_ = reinterpret_cast<VdInputPin>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "vdInputPin")));
    ASSERT_NE(nullptr, vdInputPin_);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = CountingWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TamsuPinEntryTestOwner";
    RegisterClassW(&windowClass);
    owner_ = CreateWindowExW(0, L"TamsuPinEntryTestOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                             nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, owner_);
    SetEnableDesktop(REG_DWORD, nullptr, 0);
  }
  void TearDown() override {
    if (owner_) DestroyWindow(owner_);
    SetEnableDesktop(REG_DWORD, nullptr, 0);
  }

  uint32_t Call(const std::wstring& library, uint32_t indicatorArg, uint32_t keySelector = 1) {
    return vdInputPin_(owner_, library.c_str(), 0xDEAD, indicatorArg, 0xABCD1234, keySelector, 0x11111111, 0x22222222,
                       0xDEAD, 0xDEAD, 0x33333333, 0x44444444);
  }
  std::wstring Pinpad() const { return ProgramFolder() + L"test_pinpad.dll"; }

  UniqueModule pinpad_;
  UniqueModule module_;
  const TestPinpadRecord* record_ = nullptr;
  VdInputPin vdInputPin_ = nullptr;
  HWND owner_ = nullptr;
};

TEST_F(PinEntry, SwitchedOffTheEntryRunsHereWithTheOwnerWindowAndTheBlockAsLaidOut) {
  const DWORD off = 0;
  SetEnableDesktop(REG_DWORD, &off, sizeof off);
  EXPECT_EQ(0x55u, Call(Pinpad(), 0x55, 1)) << "the library's result comes back unchanged";
  EXPECT_EQ(1u, record_->keySelector);
  EXPECT_EQ(0u, record_->indicatorArgs[0]);
  EXPECT_EQ(0x55u, record_->indicatorArgs[1]);
  EXPECT_EQ(0x142u, record_->indicatorArgs[2]) << "Pinpad_GetKeyInfo's value is handed on";
  const uint8_t* block = record_->block;
  EXPECT_EQ(184u, Word(block, 0x00));
  EXPECT_EQ(64, block[0x0C]);
  EXPECT_EQ(64, block[0x0D]);
  EXPECT_EQ(1, block[0x0E]);
  EXPECT_EQ(7, block[0x0F]);
  EXPECT_EQ(0x11111111u, Word(block, 0x10));
  EXPECT_EQ(500u, Word(block, 0x14));
  EXPECT_EQ(0x22222222u, Word(block, 0x18));
  EXPECT_EQ(0x33333333u, Word(block, 0x1C));
  EXPECT_EQ(0x44444444u, Word(block, 0x20));
  EXPECT_EQ(0x12, block[0x24]) << "high byte of the layout word";
  EXPECT_EQ(0x34, block[0x25]);
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner_)), Word(block, 0xB0));
  EXPECT_EQ(DesktopNameOf(GetThreadDesktop(GetCurrentThreadId())), record_->desktop) << "no desktop of its own";

  EXPECT_EQ(0u, Call(Pinpad(), 0, 2));
  EXPECT_EQ(32, record_->block[0x0C]);
  EXPECT_EQ(28, record_->block[0x0D]);
}

TEST_F(PinEntry, SecureDesktopWithAHalfBrightPictureAndEverythingRestored) {
  const std::string wallpaperBefore = Wallpaper();
  const int picturesBefore = CountTemporaryPictures();
  const std::string ownDesktop = DesktopNameOf(GetThreadDesktop(GetCurrentThreadId()));
  EXPECT_EQ(7u, Call(Pinpad(), 7));
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  EXPECT_EQ("9340" + std::to_string(session) + "TamsuVDQMX92D968A921B8436fA13B72266A6E585C", record_->desktop);
  EXPECT_EQ(0u, Word(record_->block, 0xB0)) << "no owner window on the secure desktop";
  const std::string wallpaper = record_->wallpaper;
  ASSERT_GE(wallpaper.size(), 36u);
  EXPECT_EQ(".bmp", wallpaper.substr(wallpaper.size() - 4));
  ASSERT_TRUE(record_->wallpaperFileExisted) << "the picture was not written: " << wallpaper;
  const uint8_t* header = record_->wallpaperHeader;
  EXPECT_EQ('B', header[0]);
  EXPECT_EQ('M', header[1]);
  const uint32_t width = GetSystemMetrics(SM_CXSCREEN);
  const uint32_t height = GetSystemMetrics(SM_CYSCREEN);
  const uint32_t bits = header[14 + 14] | header[14 + 15] << 8;
  if (bits == 32) {
    EXPECT_EQ(54u, Word(header, 10));
    EXPECT_EQ(54 + width * height * 4, Word(header, 2));
    EXPECT_EQ(54 + width * height * 4, record_->wallpaperFileSize);
  }
  EXPECT_EQ(width, Word(header, 14 + 4));
  EXPECT_EQ(height, Word(header, 14 + 8)) << "bottom-up rows: a positive height";
  EXPECT_EQ(0u, Word(header, 14 + 16)) << "BI_RGB";

  EXPECT_EQ(wallpaperBefore, Wallpaper()) << "the wallpaper was not restored";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the picture was left behind";
  EXPECT_EQ(ownDesktop, DesktopNameOf(GetThreadDesktop(GetCurrentThreadId())));
}

TEST_F(PinEntry, OnlyADwordOfOneAllowsAndOnlyADwordOtherThanOneForbids) {
  SetEnableDesktop(REG_SZ, L"0", 4);
  Call(Pinpad(), 1);
  EXPECT_EQ(0u, Word(record_->block, 0xB0)) << "a string is treated as absent: secure desktop";
  const DWORD two = 2;
  SetEnableDesktop(REG_DWORD, &two, sizeof two);
  Call(Pinpad(), 1);
  EXPECT_NE(0u, Word(record_->block, 0xB0)) << "2 turns the desktop off";
}

TEST_F(PinEntry, ExcludedProgramRunningTurnsTheDesktopOff) {
  const std::wstring folder = ProgramFolder() + L"Mail";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring program = folder + L"\\NLNOTES.EXE";
  ASSERT_TRUE(CopyFileW((ProgramFolder() + L"target_process.exe").c_str(), program.c_str(), FALSE));
  ChildProcess notes;
  ASSERT_TRUE(notes.Start(program, {}));
  Sleep(300);
  Call(Pinpad(), 1);
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner_)), Word(record_->block, 0xB0));
  notes.Kill();
  DeleteFileW(program.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(PinEntry, MissingLibraryOrEntryPointGivesItsCodeAndLeavesNothingBehind) {
  const int picturesBefore = CountTemporaryPictures();
  const std::string wallpaperBefore = Wallpaper();
  EXPECT_EQ(kPinpadMissing, Call(ProgramFolder() + L"no_such_pinpad.dll", 1));
  const long keyInfoCalls = record_->getKeyInfoCalls;
  EXPECT_EQ(kPinpadMissing, Call(ProgramFolder() + L"test_pinpad_partial.dll", 1));
  EXPECT_EQ(keyInfoCalls, record_->getKeyInfoCalls) << "neither entry point is called";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures());
  EXPECT_EQ(wallpaperBefore, Wallpaper());
}

TEST_F(PinEntry, QuitMessageEndsTheWaitAndIsPostedAgain) {
  const long before = record_->indicatorCalls;
  PostQuitMessage(7);
  const DWORD start = GetTickCount();
  EXPECT_EQ(kEntryFailed, Call(Pinpad(), 0x80000000u | 1500));
  EXPECT_LT(GetTickCount() - start, 1400u) << "the export waited for the worker";
  MSG message = {};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the WM_QUIT was swallowed";
  EXPECT_EQ(7u, message.wParam);
  // The worker finishes by itself, with the library path it was given although the caller's string
  // is gone, and restores the desktop; a new entry is possible afterwards.
  for (int i = 0; i < 300 && record_->indicatorCalls == before; ++i) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    for (MSG pending; PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&pending);
  }
  EXPECT_EQ(before + 1, record_->indicatorCalls)
      << "the worker did not finish: key info calls " << record_->getKeyInfoCalls << ", last argument "
      << record_->indicatorArgs[1];
  Sleep(300);
  EXPECT_EQ(3u, Call(Pinpad(), 3));
}

TEST_F(PinEntry, CallersMessagesAreDispatchedDuringTheEntry) {
  g_timerTicks = 0;
  SetTimer(owner_, 1, 50, nullptr);
  EXPECT_EQ(0x80000000u | 800, Call(Pinpad(), 0x80000000u | 800));
  KillTimer(owner_, 1);
  EXPECT_GE(g_timerTicks, 4) << "timer messages were not dispatched while the entry ran";
}

}  // namespace
}  // namespace tamsu
