// The secure desktop of one PIN entry: a named desktop whose wallpaper is a half-bright picture
// of the user's screen, opened on the worker thread and closed again after the entry.
#pragma once

#include <windows.h>

namespace tamsu {
namespace pinentry {

struct DesktopSession {
  bool active = false;    // the worker was moved and the wallpaper replaced
  bool switched = false;  // the new desktop is shown
  char savedWallpaper[MAX_PATH] = {};
  char picturePath[MAX_PATH] = {};
  HDESK threadDesktop = nullptr;  // the worker's own desktop; never closed here
  HDESK inputDesktop = nullptr;
  HDESK newDesktop = nullptr;
};

void openDesktopSession(bool useSecureDesktop);
void closeDesktopSession();
// Writes the bitmap as a picture file; writes nothing when either is missing or the format query fails.
void saveBitmapFile(HBITMAP bitmap, const char* path);

}  // namespace pinentry
}  // namespace tamsu
