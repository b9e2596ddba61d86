// A pinpad library for the PIN entry tests: records what it is given and returns indicatorArg.
// With bit 31 of indicatorArg set it first sleeps for the low 16 bits in milliseconds; with bit
// 30 it then waits for the release event.
#include <windows.h>

#include <cstring>

#include "test_pinpad.h"

namespace {
TestPinpadRecord g_record;
}

extern "C" __declspec(dllexport) const TestPinpadRecord* __cdecl TestPinpad_Record() { return &g_record; }

extern "C" __declspec(dllexport) uint32_t __stdcall Pinpad_GetKeyInfo(uint32_t keySelector) {
  InterlockedIncrement(&g_record.getKeyInfoCalls);
  g_record.keySelector = keySelector;
  return keySelector * 0x100 + 0x42;
}

#ifndef TEST_PINPAD_WITHOUT_INDICATOR
extern "C" __declspec(dllexport) uint32_t
    __stdcall Pinpad_Indicator(uint32_t zero, uint32_t indicatorArg, uint32_t keyInfo, void* block) {
  g_record.indicatorArgs[0] = zero;
  g_record.indicatorArgs[1] = indicatorArg;
  g_record.indicatorArgs[2] = keyInfo;
  memcpy(g_record.block, block, sizeof g_record.block);
  memset(g_record.desktop, 0, sizeof g_record.desktop);
  DWORD needed = 0;
  GetUserObjectInformationA(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, g_record.desktop,
                            sizeof g_record.desktop - 1, &needed);
  memset(g_record.wallpaper, 0, sizeof g_record.wallpaper);
  SystemParametersInfoA(SPI_GETDESKWALLPAPER, sizeof g_record.wallpaper - 1, g_record.wallpaper, 0);
  HANDLE file = CreateFileA(g_record.wallpaper, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  g_record.wallpaperFileExisted = file != INVALID_HANDLE_VALUE;
  if (g_record.wallpaperFileExisted) {
    DWORD read = 0;
    ReadFile(file, g_record.wallpaperHeader, sizeof g_record.wallpaperHeader, &read, nullptr);
    g_record.wallpaperFileSize = GetFileSize(file, nullptr);
    CloseHandle(file);
  }
  g_record.picturesInCurrentDirectory = 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA("*.bmp", &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
    ++g_record.picturesInCurrentDirectory;
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // Only now, with the picture read and closed again, is the entry waiting for the user.
  if (HANDLE entered = OpenEventW(EVENT_MODIFY_STATE, FALSE, kTestPinpadEnteredEvent)) {
    SetEvent(entered);
    CloseHandle(entered);
  }
  if (indicatorArg & 0x80000000u) Sleep(indicatorArg & 0xFFFF);
  if (indicatorArg & 0x40000000u) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kTestPinpadReleaseEvent);
    WaitForSingleObject(release, 30000);
    CloseHandle(release);
  }
  InterlockedIncrement(&g_record.indicatorCalls);
  return indicatorArg;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
