// A stand-in for the Smart Card service, which Wine lacks, run by the service manager:
//   scard_standin.exe LOG MS     reports START_PENDING for MS milliseconds, then SERVICE_RUNNING
//   scard_standin.exe LOG fail   ends every start at once with a service-specific error
// Each start appends "TICK start" to LOG, and "TICK running" just before the manager is told. TICK is
// GetTickCount, one clock with the test's, so the test can count the starts and tell when they came.
// Any other command line ends with exit code 2.
// Copied as sc.exe, it records its own call instead ("TICK sc ARGS" in calls.log beside it) and
// ends: Wine's sc has no "config", so this is how a test sees that command run.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cstring>
#include <cwctype>

namespace {

const wchar_t* g_logPath = nullptr;
bool g_fail = false;
DWORD g_startMs = 0;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
HANDLE g_stop = nullptr;

// `text` is at most 399 characters: the line always fits.
void Log(const char* text) {
  char line[420];
  const int length = std::snprintf(line, sizeof line, "%lu %s\r\n", static_cast<unsigned long>(GetTickCount()), text);
  if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
  HANDLE file = CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

void Report(DWORD state, DWORD waitHint = 0) {
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  g_status.dwCheckPoint = state == SERVICE_START_PENDING ? g_status.dwCheckPoint + 1 : 0;
  g_status.dwWaitHint = waitHint;
  SetServiceStatus(g_handle, &g_status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    SetEvent(g_stop);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_handle = RegisterServiceCtrlHandlerExW(L"SCardSvr", Control, nullptr);
  if (!g_handle) return;
  Log("start");
  if (g_fail) {
    g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = 1;
    Report(SERVICE_STOPPED);
    return;
  }
  // Checkpoints every 100 ms, as a slow but healthy service gives them.
  for (DWORD waited = 0; waited < g_startMs; waited += 100) {
    Report(SERVICE_START_PENDING, 2000);
    Sleep(g_startMs - waited < 100 ? g_startMs - waited : 100);
  }
  Log("running");
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED);
}

// "sc ARGS" in calls.log beside this program, when it runs as sc.exe.
bool RecordedAsSc(int argc, wchar_t** argv) {
  static wchar_t path[MAX_PATH + 16];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\') --name;
  if (length == 0 || length >= MAX_PATH || lstrcmpiW(name, L"sc.exe") != 0) return false;
  lstrcpyW(name, L"calls.log");
  g_logPath = path;
  char text[400] = "sc";
  for (int i = 1; i < argc; ++i) {
    const size_t used = strlen(text);
    std::snprintf(text + used, sizeof text - used, " %ls", argv[i]);
  }
  Log(text);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (RecordedAsSc(argc, argv)) return 0;
  if (argc != 3) return 2;
  g_logPath = argv[1];
  g_fail = wcscmp(argv[2], L"fail") == 0;
  if (!g_fail) {
    wchar_t* end = nullptr;
    const unsigned long ms = std::wcstoul(argv[2], &end, 10);
    if (!std::iswdigit(argv[2][0]) || *end != L'\0' || ms > 60000) return 2;
    g_startMs = ms;
  }
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"SCardSvr";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return g_stop && StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
