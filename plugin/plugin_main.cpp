// Plugin_ZUVA: the NSIS installer plug-in.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
