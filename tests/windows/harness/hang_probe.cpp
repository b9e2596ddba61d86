// Never ends on its own: the harness's time-out must stop it.
#include <windows.h>

int main() {
  Sleep(INFINITE);
  return 0;
}
