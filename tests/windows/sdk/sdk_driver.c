/* The SDK's calls from a 64-bit program, for the 32-bit tests that serve the keys (sdk_test.cpp).
 * Each step's result goes to OUTPUT_FILE as a line "STEP=RESULT":
 *   sdk_driver64 OUTPUT_FILE STEP...
 *   list                  list 0xCODE LENGTH PATH...
 *   connect:MS:PATH       connect 0xCODE
 *   send:CAPACITY:MS:HEX  send 0xCODE LENGTH [ANSWER in hex, on success]
 *   close                 close 0xCODE
 *   nulls                 nulls 0xCODE... (each NULL argument in turn)
 * Exit codes: 0 every step ran, 2 usage error. */
#include <stdio.h>
#include <string.h>

#include "tamsu_client.h"

int main(int argc, char** argv) {
  static char paths[4096];
  static BYTE command[TAMSU_MAX_COMMAND], answer[8192];
  TAMSU_KEY key = NULL;
  FILE* out;
  int i;
  if (argc < 3 || !(out = fopen(argv[1], "wb"))) return 2;
  for (i = 2; i < argc; ++i) {
    const char* step = argv[i];
    DWORD length = sizeof paths, size = 0, b;
    unsigned long capacity = 0, ms = 0;
    unsigned int byte;
    int used = 0;
    LONG code;
    fprintf(out, "%d=", i - 1);
    if (strcmp(step, "list") == 0) {
      const char* p;
      code = TamsuListKeys(paths, &length);
      fprintf(out, "list 0x%08lX %lu", (unsigned long)code, (unsigned long)length);
      for (p = paths; code == TAMSU_S_SUCCESS && *p; p += strlen(p) + 1) fprintf(out, " %s", p);
    } else if (sscanf(step, "connect:%lu:%n", &ms, &used) == 1 && used > 0) {
      code = TamsuConnect(step + used, ms, &key);
      fprintf(out, "connect 0x%08lX", (unsigned long)code);
    } else if (sscanf(step, "send:%lu:%lu:%n", &capacity, &ms, &used) == 2 && used > 0 && capacity <= sizeof answer) {
      for (step += used; size < sizeof command && sscanf(step, "%2x", &byte) == 1; step += 2) command[size++] = (BYTE)byte;
      length = capacity;
      code = TamsuTransmit(key, command, size, answer, &length, ms);
      fprintf(out, "send 0x%08lX %lu ", (unsigned long)code, (unsigned long)length);
      for (b = 0; code == TAMSU_S_SUCCESS && b < length; ++b) fprintf(out, "%02x", answer[b]);
    } else if (strcmp(step, "close") == 0) {
      code = TamsuDisconnect(key);
      key = NULL;
      fprintf(out, "close 0x%08lX", (unsigned long)code);
    } else if (strcmp(step, "nulls") == 0) {
      fprintf(out, "nulls 0x%08lX 0x%08lX 0x%08lX 0x%08lX 0x%08lX", (unsigned long)TamsuListKeys(paths, NULL),
              (unsigned long)TamsuConnect(NULL, 0, &key), (unsigned long)TamsuConnect("x", 0, NULL),
              (unsigned long)TamsuTransmit(NULL, command, 1, answer, &length, 0),
              (unsigned long)TamsuDisconnect(NULL));
    } else {
      return 2;
    }
    fprintf(out, "\r\n");
    fflush(out);
  }
  fclose(out);
  return 0;
}
