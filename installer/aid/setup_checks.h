// What the setup checks for itself rather than trusting a program's exit status: the service as the
// service control manager sees it, the install folder's security, the staged files. Each check
// returns an empty string when it holds, else the reason, for the log.
#pragma once

#include <windows.h>

#include <string>

namespace tamsu {
namespace setup {

// Stops the service, waits until it has stopped and its monitor has ended, deletes it and waits
// until it is gone (a service marked for deletion goes only when the last handle to it closes).
// The whole wait is bounded by `timeoutMs`. A service that is not there holds at once.
std::wstring RemoveServiceAndWait(const wchar_t* name, DWORD timeoutMs);

// The service exists, runs `program` (quoted), starts automatically, reaches SERVICE_RUNNING and
// has a monitor the client library accepts serving the list, all within `timeoutMs`.
std::wstring VerifyServiceRuns(const wchar_t* name, const wchar_t* program, DWORD timeoutMs);

// Makes `path` (missing parents must exist) or takes an existing folder: owner and DACL from
// kInstallFolderSddl. A link in its place is refused: its target would get the rights.
std::wstring ProtectInstallFolder(const wchar_t* path);

// The SHA-256 of a file in lower-case hex; empty when it cannot be read.
std::wstring FileSha256(const wchar_t* path);

// The running uninstaller cannot delete itself; it can move itself out of the install folder (on
// the same volume) and have the move's target deleted at the next restart, so that the folder can
// go now. Empty when it moved, else the reason.
std::wstring MoveRunningProgramAway(const wchar_t* program, const wchar_t* installFolder);

}  // namespace setup
}  // namespace tamsu
