// What the test pinpad library saw in its last entry, read by the tests through TestPinpad_Record.
#pragma once

#include <windows.h>

#include <cstdint>

struct TestPinpadRecord {
  long getKeyInfoCalls;
  long indicatorCalls;
  uint32_t keySelector;
  uint32_t indicatorArgs[3];  // the first three arguments of Pinpad_Indicator
  uint8_t block[184];
  char desktop[256];    // the name of the calling thread's desktop
  char wallpaper[260];  // the wallpaper while the entry ran
  bool wallpaperFileExisted;
  uint8_t wallpaperHeader[54];
  uint32_t wallpaperFileSize;
  long picturesInCurrentDirectory;  // *.bmp files there while the entry ran
};

// Set by the test pinpad as its entry begins (when someone has created it): the secure desktop
// and the picture are in place from then until the entry ends.
constexpr wchar_t kTestPinpadEnteredEvent[] = L"TamsuTestPinpadEntered";
// With bit 30 of indicatorArg the entry lasts until this event is set (30 s at most).
constexpr wchar_t kTestPinpadReleaseEvent[] = L"TamsuTestPinpadRelease";

// A caller that quits mid-entry: a timer of the calling thread posts WM_QUIT(code) from inside
// the export's message pump once the pinpad's entry has begun. False when it cannot be set up.
namespace test_pinpad_quit {
inline HANDLE g_entered = nullptr;
inline int g_code = 0;
inline void CALLBACK QuitWhenEntered(HWND, UINT, UINT_PTR timer, DWORD) {
  if (WaitForSingleObject(g_entered, 0) != WAIT_OBJECT_0) return;
  KillTimer(nullptr, timer);
  PostQuitMessage(g_code);
}
}  // namespace test_pinpad_quit
inline bool QuitOnceTheEntryBegins(int code) {
  using namespace test_pinpad_quit;
  if (!g_entered) g_entered = CreateEventW(nullptr, TRUE, FALSE, kTestPinpadEnteredEvent);
  if (!g_entered || !ResetEvent(g_entered)) return false;
  g_code = code;
  return SetTimer(nullptr, 0, 20, QuitWhenEntered) != 0;
}
