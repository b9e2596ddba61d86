// Plugin_ZUVA: the NSIS installer plug-in. The entry point does no work of its own beyond reading
// the version record once.
#include <windows.h>

#include "call_frame.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) tamsu::plugin::LoadedOsVersion();
  return TRUE;
}
