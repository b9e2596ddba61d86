// TamsuVD_ZUVA: PIN entry on a secure desktop through the caller's pinpad library.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
