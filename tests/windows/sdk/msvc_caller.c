/* Calls every export as code compiled by MSVC does, declaring them itself as a program without our
 * header might: one through a dllimport reference (__imp_), the rest through the import thunks. The
 * test command links it with lld-link against dist/sdk/{x86,x64}/TamsuClient.lib. */
__declspec(dllimport) long __stdcall TamsuListKeys(char* paths, unsigned long* length);
long __stdcall TamsuConnect(const char* path, unsigned long timeoutMs, void** key);
long __stdcall TamsuTransmit(void* key, const unsigned char* command, unsigned long commandLength,
                             unsigned char* answer, unsigned long* answerLength, unsigned long timeoutMs);
long __stdcall TamsuDisconnect(void* key);
const char* __stdcall TamsuErrorText(long code);

int start(void) {
  unsigned long length = 0;
  void* key = 0;
  return (int)(TamsuListKeys(0, &length) + TamsuConnect("key", 0, &key) + TamsuTransmit(key, 0, 0, 0, &length, 0) +
               TamsuDisconnect(key) + (TamsuErrorText(0) != 0));
}
