// The secure desktop of one PIN entry: a named desktop whose wallpaper is a half-bright picture
// of the user's screen, opened on the worker thread and closed again after the entry.
#pragma once

#include <windows.h>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace pinentry {

// One entry's session, owned by the worker that opened it.
struct DesktopSession {
  bool active = false;    // the worker was moved to the new desktop
  bool switched = false;  // the new desktop is shown
  // The secure desktop was asked for but cannot be had: it could not be set up (a desktop of its
  // name existed before the entry, the input desktop was out of reach), or not shown. The entry
  // does not run then.
  bool refused = false;
  wchar_t savedWallpaper[MAX_PATH] = {};  // wide: a path outside the ANSI code page comes back whole
  char picturePath[MAX_PATH] = {};  // empty unless a whole picture was written (the wallpaper while active)
  HDESK threadDesktop = nullptr;    // the worker's own desktop; not ours to close
  UniqueDesktop inputDesktop;
  UniqueDesktop newDesktop;
};

// The session of the process's logon session (0 when it cannot be read): it names the desktop.
DWORD CurrentSessionId();

DesktopSession openDesktopSession(bool useSecureDesktop);
void closeDesktopSession(DesktopSession& session);
// For a process that ends during an entry: deletes the picture still on screen, if any. Calls
// only what a module may call while it is being unloaded.
void deletePictureLeftAtExit();
// Writes the bitmap as a picture file; false, and no file, unless the whole picture was written.
bool saveBitmapFile(HBITMAP bitmap, const char* path);

}  // namespace pinentry
}  // namespace tamsu
