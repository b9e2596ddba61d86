/* TamsuClient sample: lists the keys, connects to the first one and sends one command.
 *
 * MinGW:  i686-w64-mingw32-gcc list_and_send.c -I../include -L../x86 -lTamsuClient -o list_and_send.exe
 *         (x86_64-w64-mingw32-gcc ... -L../x64 for 64 bits)
 * MSVC:   cl list_and_send.c /I..\include ..\x86\TamsuClient.lib   (..\x64 for 64 bits)
 * Run it beside TamsuClient.dll of its bitness. */
#include <stdio.h>

#include "tamsu_client.h"

int main(void) {
  char paths[4096];
  DWORD length = sizeof paths;
  TAMSU_KEY key;
  /* SELECT by name, no data: most cards answer with a status word. */
  const BYTE command[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  BYTE answer[TAMSU_MAX_COMMAND];
  DWORD answerLength = sizeof answer;
  DWORD i;

  LONG result = TamsuListKeys(paths, &length);
  if (result != TAMSU_S_SUCCESS) {
    fprintf(stderr, "list: %s (0x%08lX)\n", TamsuErrorText(result), (unsigned long)result);
    return 1;
  }
  printf("first key: %s\n", paths);

  /* Wait up to 5 s while another program uses the key. */
  result = TamsuConnect(paths, 5000, &key);
  if (result != TAMSU_S_SUCCESS) {
    fprintf(stderr, "connect: %s (0x%08lX)\n", TamsuErrorText(result), (unsigned long)result);
    return 1;
  }
  /* Key operations can be slow: allow 30 s for the answer. */
  result = TamsuTransmit(key, command, sizeof command, answer, &answerLength, 30000);
  if (result == TAMSU_S_SUCCESS) {
    printf("answer:");
    for (i = 0; i < answerLength; ++i) printf(" %02X", answer[i]);
    printf("\n");
  } else {
    fprintf(stderr, "transmit: %s (0x%08lX)\n", TamsuErrorText(result), (unsigned long)result);
  }
  TamsuDisconnect(key);
  return result == TAMSU_S_SUCCESS ? 0 : 1;
}
