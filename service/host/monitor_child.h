// The service's companion: its own program started with " -m", kept running, stopped on request.
#pragma once

#include <windows.h>

namespace tamsu {

constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"TamsuReg_ZUVA.exe";  // the value's name and its data
constexpr DWORD kAfterStartPauseMs = 1000;
constexpr DWORD kStopGraceMs = 1000;
// A start that fails, or a monitor that ends within kShortMonitorLifeMs of its start (it could not
// serve: a name held by another process, a mutex holder that serves nothing), is followed by a
// pause before the next start: 1 s, then twice as long each time, up to 30 s. A monitor that lived
// longer is replaced at once, and the pause starts again from 1 s.
constexpr DWORD kFirstRetryDelayMs = 1000;
constexpr DWORD kMaxRetryDelayMs = 30000;
constexpr DWORD kShortMonitorLifeMs = 15000;

// The start step: holds the monitors' mutex open (never owned) for the service's whole life, so that
// no other process can create it while the service runs, then starts the first companion. 0, or the
// error of the failed start.
DWORD StartMonitorChild(int);
// The run step: keeps the Run entry, waits for the companion and starts the next one; a start that
// fails is retried with a growing delay. 0 to be called again, 0xFFFFFFFF when the service stops.
DWORD WatchMonitorChild(DWORD* currentState);
// The stop and shutdown callback: asks the companion to quit, then terminates it; ends any wait
// of the run step at once.
DWORD StopMonitorChild(int);
// Keeps HKLM's Run value `text` with the data `text` (the 64-bit view on 64-bit Windows).
void EnsureRunEntry(const wchar_t* text);

}  // namespace tamsu
