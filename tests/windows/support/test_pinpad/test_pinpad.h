// What the test pinpad library saw in its last entry, read by the tests through TestPinpad_Record.
#pragma once

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
};
