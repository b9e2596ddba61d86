// The shipped TamsuVD_ZUVA.dll, loaded as a client would, with the test pinpad library. Runs in the
// harness's Xvfb session: the secure desktop needs a real display to capture.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "process/import_patch.h"
#include "process/windows_version.h"
#include "soak/load.h"
#include "test_pinpad/test_pinpad.h"

namespace tamsu {
namespace {

using testing_support::ChildProcess;
using testing_support::DistPath;
using testing_support::ImportPatch;
using testing_support::Is64BitWindows;
using testing_support::MeasureProcess;
using testing_support::ProgramFolder;
using testing_support::RunProgram;

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

int CountPictures(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*.bmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do ++count;
  while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

// The pictures in the package's folder of the temporary folder, where every entry writes its own.
int CountTemporaryPictures() {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  return CountPictures(std::wstring(folder) + L"TamsuVD_ZUVA\\");
}

std::string Wallpaper() {
  char path[MAX_PATH] = {};
  SystemParametersInfoA(SPI_GETDESKWALLPAPER, MAX_PATH, path, 0);
  return path;
}

std::wstring WideWallpaper() {
  wchar_t path[MAX_PATH] = {};
  SystemParametersInfoW(SPI_GETDESKWALLPAPER, MAX_PATH, path, 0);
  return path;
}

BOOL WINAPI SwitchFails(HDESK) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

std::string SecureDesktopName() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return "9340" + std::to_string(session) + "TamsuVDQMX92D968A921B8436fA13B72266A6E585C";
}

// A wallpaper of the user's own, outside the temporary folder: Wine's starts empty, which would
// hide a restore that never happened.
std::string SetKnownWallpaper() {
  char program[MAX_PATH] = {};
  std::string path(program, GetModuleFileNameA(nullptr, program, MAX_PATH));
  path = path.substr(0, path.rfind('\\') + 1) + "user_wallpaper.bmp";  // need not exist: only its name is restored
  SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, &path[0], 0);
  return path;
}

using GetDIBitsFunction = int(WINAPI*)(HDC, HBITMAP, UINT, UINT, LPVOID, LPBITMAPINFO, UINT);
GetDIBitsFunction g_realGetDIBits = nullptr;
// Reports the format as the system does and then delivers no rows.
int WINAPI FormatButNoRows(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info, UINT use) {
  return bits ? 0 : g_realGetDIBits(dc, bitmap, start, lines, bits, info, use);
}
DWORD WINAPI NoTemporaryFolder(DWORD, LPSTR) {
  SetLastError(ERROR_ENVVAR_NOT_FOUND);
  return 0;
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
    record_ = RecordOf(pinpad_.get());
    partialPinpad_.reset(LoadLibraryW((ProgramFolder() + L"test_pinpad_partial.dll").c_str()));
    ASSERT_TRUE(partialPinpad_);
    partialRecord_ = RecordOf(partialPinpad_.get());
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
    userWallpaper_ = SetKnownWallpaper();
    ASSERT_EQ(userWallpaper_, Wallpaper());
  }
  void TearDown() override {
    if (owner_) DestroyWindow(owner_);
    SetEnableDesktop(REG_DWORD, nullptr, 0);
  }

  static const TestPinpadRecord* RecordOf(HMODULE library) {
    return reinterpret_cast<RecordFunction>(reinterpret_cast<void*>(GetProcAddress(library, "TestPinpad_Record")))();
  }
  // A caller of its own: target_process.exe with the shipped library and the test pinpad.
  std::vector<std::wstring> CallerArguments(const wchar_t* indicatorArg, const wchar_t* quitThen = nullptr) const {
    std::vector<std::wstring> arguments = {L"--pin", DistPath(L"TamsuVD_ZUVA.dll"), Pinpad(), indicatorArg};
    if (quitThen) arguments.insert(arguments.end(), {L"--quit-then", quitThen});
    return arguments;
  }

  uint32_t Call(const std::wstring& library, uint32_t indicatorArg, uint32_t keySelector = 1) {
    return vdInputPin_(owner_, library.c_str(), 0xDEAD, indicatorArg, 0xABCD1234, keySelector, 0x11111111, 0x22222222,
                       0xDEAD, 0xDEAD, 0x33333333, 0x44444444);
  }
  std::wstring Pinpad() const { return ProgramFolder() + L"test_pinpad.dll"; }

  UniqueModule pinpad_;
  UniqueModule partialPinpad_;
  UniqueModule module_;
  const TestPinpadRecord* record_ = nullptr;
  const TestPinpadRecord* partialRecord_ = nullptr;
  std::string userWallpaper_;
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
  const int picturesBefore = CountTemporaryPictures();
  EXPECT_EQ(6u, Call(Pinpad(), 6));  // the process's first entry may open handles it keeps
  testing_support::ProcessFigures handlesBefore = MeasureProcess(GetCurrentProcessId());
  EXPECT_EQ(7u, Call(Pinpad(), 7));
  testing_support::ProcessFigures handlesAfter = MeasureProcess(GetCurrentProcessId());
  EXPECT_EQ(SecureDesktopName(), record_->desktop);
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

  EXPECT_NE(std::string::npos, wallpaper.find("\\TamsuVD_ZUVA\\")) << "not in the package's folder: " << wallpaper;

  EXPECT_EQ(userWallpaper_, Wallpaper()) << "the wallpaper was not restored";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the picture was left behind";
  ASSERT_TRUE(handlesBefore.valid && handlesAfter.valid);
  // Each entry makes its desktop anew, and Wine keeps one handle of the process's for every desktop
  // it has made (measured: one more per entry, where reopening one desktop kept none). No handle
  // of the entry's keeps its desktop: it is gone soon after (Wine keeps it about a second).
  EXPECT_LE(handlesAfter.handles, handlesBefore.handles + 1) << "the session's desktops or the call's handles stay open";
  EXPECT_TRUE(testing_support::WaitUntil(5000, [] {
    UniqueDesktop left(OpenDesktopA(SecureDesktopName().c_str(), 0, FALSE, DESKTOP_READOBJECTS));
    return !left;
  })) << "the entry's desktop outlived it";

  // A wallpaper named outside the ANSI code page comes back whole.
  const std::wstring cyrillic = L"C:\\users\\Public\\\x041E\x0431\x043E\x0438.bmp";
  ASSERT_TRUE(SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, const_cast<wchar_t*>(cyrillic.c_str()), 0));
  ASSERT_EQ(cyrillic, WideWallpaper());
  EXPECT_EQ(8u, Call(Pinpad(), 8));
  EXPECT_EQ(cyrillic, WideWallpaper()) << "the user's wallpaper came back changed";
}

// The PIN is never typed on a desktop that existed before the entry (its maker's threads and hooks
// may be on it), nor on one nobody sees: such a desktop, like a switch the system refuses (a locked
// workstation, a UAC prompt), refuses the entry, and nothing of it stays.
TEST_F(PinEntry, ADesktopMadeBeforeTheEntryOrAFailedSwitchRefusesTheEntryAndLeavesNothing) {
  const int picturesBefore = CountTemporaryPictures();
  const long before = record_->indicatorCalls;
  {
    UniqueDesktop squatted(CreateDesktopA(SecureDesktopName().c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr));
    ASSERT_TRUE(squatted);
    EXPECT_EQ(kEntryFailed, Call(Pinpad(), 5)) << "the PIN was asked for on a desktop made by another program";
  }
  {
    ImportPatch refused(module_.get(), "user32.dll", "SwitchDesktop", reinterpret_cast<void*>(&SwitchFails));
    ASSERT_TRUE(refused.applied());
    EXPECT_EQ(kEntryFailed, Call(Pinpad(), 6)) << "the pinpad ran on a desktop nobody sees";
  }
  EXPECT_EQ(before, record_->indicatorCalls);
  EXPECT_EQ(userWallpaper_, Wallpaper()) << "the dimmed picture stayed the wallpaper";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the picture was left behind";
  EXPECT_EQ(7u, Call(Pinpad(), 7)) << "the next entry did not run";
  EXPECT_EQ(SecureDesktopName(), record_->desktop);
}

TEST_F(PinEntry, NoPictureWhenItCannotBeMadeWholeAndTheWallpaperStays) {
  const int picturesBefore = CountTemporaryPictures();
  {
    ImportPatch rows(module_.get(), "gdi32.dll", "GetDIBits", reinterpret_cast<void*>(&FormatButNoRows));
    ASSERT_TRUE(rows.applied());
    g_realGetDIBits = reinterpret_cast<GetDIBitsFunction>(rows.original());
    EXPECT_EQ(7u, Call(Pinpad(), 7));
  }
  EXPECT_EQ(SecureDesktopName(), record_->desktop) << "the entry still runs on the secure desktop";
  EXPECT_EQ(userWallpaper_, record_->wallpaper) << "a picture of undelivered rows became the wallpaper";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures());

  const std::wstring folder = ProgramFolder() + L"current_directory\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(folder.c_str());
  {
    ImportPatch temporary(module_.get(), "kernel32.dll", "GetTempPathA", reinterpret_cast<void*>(&NoTemporaryFolder));
    ASSERT_TRUE(temporary.applied());
    EXPECT_EQ(8u, Call(Pinpad(), 8));
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(0, record_->picturesInCurrentDirectory) << "without a temporary folder the picture went to the current one";
  EXPECT_EQ(userWallpaper_, record_->wallpaper);
  RemoveDirectoryW(folder.c_str());
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
  // Whether an entry runs without its desktop while `source` runs as FOLDER\NAME beside the test.
  const auto offWhileRunning = [this](const std::wstring& source, const std::wstring& folder, const wchar_t* name) {
    const std::wstring path = ProgramFolder() + folder, program = path + L"\\" + name;
    CreateDirectoryW(path.c_str(), nullptr);
    ChildProcess running;
    EXPECT_TRUE(CopyFileW(source.c_str(), program.c_str(), FALSE) && running.Start(program, {}));
    Sleep(300);
    EXPECT_EQ(1u, Call(Pinpad(), 1));
    running.Kill();
    DeleteFileW(program.c_str());
    RemoveDirectoryW(path.c_str());
    return Word(record_->block, 0xB0) == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner_));
  };
  const std::wstring target = ProgramFolder() + L"target_process.exe", idle64 = L"" TAMSU_IDLE64;
  const std::wstring lookAlike = L"\xFF2E\xFF2C\xFF2E\xFF2F\xFF34\xFF25\xFF33\xFF0E\xFF25\xFF38\xFF25";  // full-width
  EXPECT_TRUE(offWhileRunning(target, L"Mail", L"NLNOTES.EXE"));
  if (Is64BitWindows()) {  // 32-bit Windows runs no 64-bit program
    EXPECT_TRUE(offWhileRunning(idle64, L"Mail", L"NLNOTES.EXE")) << "a 64-bit program";
    EXPECT_TRUE(offWhileRunning(idle64, L"nlnotes.exe.d", L"mail.exe")) << "a 64-bit program only its folder names";
  }
  EXPECT_FALSE(offWhileRunning(target, lookAlike, L"mail.exe")) << "full-width letters are not the name";
}

TEST_F(PinEntry, MissingLibraryOrEntryPointGivesItsCodeAndLeavesNothingBehind) {
  const int picturesBefore = CountTemporaryPictures();
  EXPECT_EQ(kPinpadMissing, Call(ProgramFolder() + L"no_such_pinpad.dll", 1));
  EXPECT_EQ(kPinpadMissing, Call(ProgramFolder() + L"test_pinpad_partial.dll", 1));
  EXPECT_EQ(0, partialRecord_->getKeyInfoCalls) << "neither entry point is called";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures());
  EXPECT_EQ(userWallpaper_, Wallpaper());
}

// The quit's post lingers before it returns, so that whatever the worker still does after posting
// happens only once the caller has seen the quit.
BOOL WINAPI PostThenLinger(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
  const BOOL posted = PostThreadMessageW(thread, message, wParam, lParam);
  Sleep(500);
  return posted;
}

TEST_F(PinEntry, QuitDuringTheEntryEndsTheWaitAndComesBackOnceTheUserIsBack) {
  ImportPatch lingering(module_.get(), "user32.dll", "PostThreadMessageW", reinterpret_cast<void*>(&PostThenLinger));
  ASSERT_TRUE(lingering.applied());
  const int picturesBefore = CountTemporaryPictures();
  const long before = record_->indicatorCalls;
  ASSERT_TRUE(QuitOnceTheEntryBegins(7));
  EXPECT_EQ(kEntryFailed, Call(Pinpad(), 0x80000000u | 1500));
  EXPECT_EQ(before, record_->indicatorCalls) << "the export waited for the entry";
  // The caller pumps on as an ordinary application until its quit comes back.
  MSG message = {};
  bool quit = false;
  for (DWORD start = GetTickCount(); !quit && GetTickCount() - start < 20000;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    while (!quit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      quit = message.message == WM_QUIT;
      if (!quit) DispatchMessageW(&message);
    }
  }
  ASSERT_TRUE(quit) << "the WM_QUIT was swallowed";
  EXPECT_EQ(7u, message.wParam);
  EXPECT_EQ(before + 1, record_->indicatorCalls) << "the quit came back before the entry had ended";
  EXPECT_NE(userWallpaper_, record_->wallpaper) << "the entry ran without its picture";
  EXPECT_EQ(userWallpaper_, Wallpaper()) << "the quit came back before the wallpaper was restored";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the quit came back before the picture was deleted";
  EXPECT_EQ(3u, Call(Pinpad(), 3)) << "a new entry at once after the quit was refused: the claim outlived the quit";
}

VdInputPin g_nestedCall = nullptr;
uint32_t g_nestedResult = 0;
void CALLBACK CallAgain(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  g_nestedResult = g_nestedCall(nullptr, (ProgramFolder() + L"test_pinpad.dll").c_str(), 0, 9, 0, 1, 0, 0, 0, 0, 0, 0);
}

TEST_F(PinEntry, CallersMessagesAreDispatchedDuringTheEntryAndASecondEntryFromThemIsRefused) {
  g_timerTicks = 0;
  g_nestedCall = vdInputPin_;
  g_nestedResult = 0;
  const DWORD off = 0;  // without the secure desktop only the process's own guard can refuse it
  SetEnableDesktop(REG_DWORD, &off, sizeof off);
  const long before = record_->indicatorCalls;
  SetTimer(owner_, 1, 50, nullptr);
  const UINT_PTR again = SetTimer(nullptr, 0, 100, CallAgain);
  EXPECT_EQ(0x80000000u | 800, Call(Pinpad(), 0x80000000u | 800));
  KillTimer(owner_, 1);
  KillTimer(nullptr, again);
  EXPECT_GE(g_timerTicks, 4) << "timer messages were not dispatched while the entry ran";
  EXPECT_EQ(kEntryFailed, g_nestedResult) << "an entry started from a message the pump dispatched";
  EXPECT_EQ(before + 1, record_->indicatorCalls);
}

// Callers in processes of their own: target_process.exe with the shipped library.
TEST_F(PinEntry, ACallerThatFreesTheLibraryOrEndsMidEntryNeitherCrashesNorLeavesThePicture) {
  const std::wstring caller = ProgramFolder() + L"target_process.exe";
  int picturesBefore = CountTemporaryPictures();
  EXPECT_EQ(kEntryFailed, RunProgram(caller, CallerArguments(L"0x800005DC", L"free")))
      << "freed after the early return, the library was unmapped under its worker";
  EXPECT_EQ(picturesBefore, CountTemporaryPictures());
  picturesBefore = CountTemporaryPictures();
  EXPECT_EQ(kEntryFailed, RunProgram(caller, CallerArguments(L"0x800005DC", L"exit")));
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the picture outlived a caller that ended mid-entry";

  // Terminated, a caller runs nothing of ours: its picture waits for the next entry, which removes it.
  UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, kTestPinpadEnteredEvent));
  ASSERT_TRUE(entered && ResetEvent(entered.get()));
  ChildProcess terminated;
  ASSERT_TRUE(terminated.Start(caller, CallerArguments(L"0x40000001")));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 30000)) << "the other process's entry never began";
  terminated.Kill();
  ASSERT_EQ(picturesBefore + 1, CountTemporaryPictures()) << "the terminated caller left no picture to find";
  EXPECT_EQ(5u, Call(Pinpad(), 5));
  EXPECT_EQ(picturesBefore, CountTemporaryPictures()) << "the next entry left the terminated caller's picture";
}

TEST_F(PinEntry, OneSecureDesktopEntryAtATimeInTheLogonSession) {
  UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, kTestPinpadEnteredEvent));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, kTestPinpadReleaseEvent));
  ASSERT_TRUE(entered && ResetEvent(entered.get()) && release && ResetEvent(release.get()));
  ChildProcess first;
  ASSERT_TRUE(first.Start(ProgramFolder() + L"target_process.exe", CallerArguments(L"0x40000001")));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 30000)) << "the other process's entry never began";
  const long before = record_->indicatorCalls;
  EXPECT_EQ(kEntryFailed, Call(Pinpad(), 5)) << "a second secure desktop ran beside the other process's";
  EXPECT_EQ(before, record_->indicatorCalls);
  const DWORD off = 0;
  SetEnableDesktop(REG_DWORD, &off, sizeof off);
  EXPECT_EQ(6u, Call(Pinpad(), 6)) << "an entry without the secure desktop is held back too";
  SetEnableDesktop(REG_DWORD, nullptr, 0);
  SetEvent(release.get());
  DWORD code = 0;
  ASSERT_TRUE(first.Wait(30000, &code));
  EXPECT_EQ(0x40000001u, code) << "the first entry did not run to its end";
  EXPECT_EQ(5u, Call(Pinpad(), 5)) << "still refused after the other entry ended";

  // A name another object holds cannot be had: the secure desktop is refused, as when taken.
  UniqueHandle squatter(CreateMutexA(nullptr, FALSE, ("Local\\" + SecureDesktopName()).c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_EQ(kEntryFailed, Call(Pinpad(), 7));
}

}  // namespace
}  // namespace tamsu
