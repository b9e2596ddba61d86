// TamsuSerB: the service program and, with "-m", its monitor process.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
