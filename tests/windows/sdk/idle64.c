/* A 64-bit program that waits to be ended, run by the PIN entry's tests under names of their own. */
#include <windows.h>

int main(void) { Sleep(INFINITE); }
