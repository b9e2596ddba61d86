// Programs that tests start: each with a time-out, and killed if the test leaves it running.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace testing_support {

// The folder of the running test program, with a trailing backslash.
std::wstring ProgramFolder();
// A fresh file name in the temporary folder.
std::wstring TemporaryFileName(const wchar_t* prefix);
// A file of the built package in dist/, as a Windows path (Wine maps Z: to the root).
std::wstring DistPath(const wchar_t* relative);
// The "name=value" lines (CR LF ended) that the test installers write beside themselves.
std::map<std::string, std::string> ReadResultLines(const std::wstring& path);
// A whole file ("" when it cannot be read), and a text's lines without their LF or CR LF.
std::string ReadText(const std::wstring& path);
std::vector<std::string> TextLines(const std::string& text);

struct ProcessEntry {
  DWORD id;
  DWORD parent;
};
// The running processes whose executable has this file name (any letter case).
std::vector<ProcessEntry> ProcessesNamed(const wchar_t* name);
// The processes of that name started by another of that name: the service's monitor children.
std::vector<DWORD> ChildrenOfSameName(const wchar_t* name);

// Terminates every process of that name and waits for each: what a failed test may leave running.
void KillProcessesNamed(const wchar_t* name);
// The service's current state (SERVICE_RUNNING, ...), or 0 when it cannot be queried.
DWORD ServiceState(const wchar_t* serviceName);

// The service built with simulated keys (sim_service\TamsuSerB.exe beside the test program), and
// its keys, one line each ("stall:" before a path: a key that stops answering on its first
// receive), written to simkeys.txt beside it; false when they cannot be.
std::wstring SimService();
bool WriteSimKeys(const std::vector<std::string>& lines);

// Polls until the condition holds; false when it still does not after the time-out.
bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition, DWORD pollMs = 50);

// The hidden window of the monitor process `processId`, once it exists; null after the time-out.
HWND WaitForMonitorWindow(DWORD processId, DWORD timeoutMs = 10000);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();  // kills a child still running

  // Starts `program` (a path) with the arguments, each quoted; `show` asks for a visible window.
  bool Start(const std::wstring& program, const std::vector<std::wstring>& arguments, bool show = false);
  // Waits; on time-out kills the child and returns false.
  bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
  bool Running() const;
  void Kill();
  DWORD id() const { return id_; }
  DWORD threadId() const { return threadId_; }

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
  DWORD threadId_ = 0;
};

// monitor_host.exe beside the test program, with a stop event of its own made here and named as
// its first argument; `arguments` follow it. Asked to stop, and killed if it lingers, when destroyed.
class MonitorHost {
 public:
  explicit MonitorHost(const std::vector<std::wstring>& arguments);
  ~MonitorHost();
  MonitorHost(const MonitorHost&) = delete;
  MonitorHost& operator=(const MonitorHost&) = delete;

  void RequestStop();
  // Asks it to stop and waits; true when it ended on its own with 0.
  bool Stop(DWORD timeoutMs = 30000);
  ChildProcess& process() { return process_; }

 private:
  UniqueHandle stop_;
  ChildProcess process_;
};

// Runs a program to its end: its exit code, or 0xBAD0 when it cannot start, 0xBAD2 when it outlives
// the time-out (it is killed).
DWORD RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments, DWORD timeoutMs = 30000);

// A program's run with its output in files (a Wine program's output is not read through a pipe):
// exit code (0xBAD0 when it cannot start, 0xBAD1 when it outlives the time-out and is killed), what
// it wrote to standard output and error, and how long it ran. `input`, when given, is its standard input.
struct ProgramRun {
  DWORD code = 0xBAD0;
  std::string out;
  std::string err;
  DWORD ms = 0;
};
ProgramRun RunProgramWithOutput(const std::wstring& program, const std::vector<std::wstring>& arguments,
                                DWORD timeoutMs = 60000, const std::string* input = nullptr);

// A server of `pipeName` (`instances` of it, one by default) that takes every client and every
// message and never answers: a program that has taken the service's name, or a server that hangs.
// Stops on destruction.
class SilentPipeServer {
 public:
  explicit SilentPipeServer(const wchar_t* pipeName, DWORD instances = 1);
  ~SilentPipeServer();
  SilentPipeServer(const SilentPipeServer&) = delete;
  SilentPipeServer& operator=(const SilentPipeServer&) = delete;

  bool valid() const { return valid_; }
  int messages() const { return messages_; }  // what clients sent, however short

 private:
  bool Wait(HANDLE pipe, HANDLE event);  // false once asked to stop (the I/O cancelled)
  void Serve(HANDLE pipe);

  UniqueHandle stop_;
  std::vector<UniqueFileHandle> pipes_;
  std::atomic<int> messages_{0};
  std::vector<std::thread> threads_;
  bool valid_ = false;
};

// The scripted pipe client (pipe_client.exe beside the test program): its steps and result lines.
class PipeClient {
 public:
  explicit PipeClient(const std::vector<std::wstring>& steps);
  ~PipeClient();
  // Waits for the client to end and returns every line it wrote; a client that outlives the
  // time-out is killed and "timeout" is added.
  std::vector<std::string> Finish(DWORD timeoutMs = 30000);
  // Lines written so far, while the client may still run.
  std::vector<std::string> Lines() const;

 private:
  std::wstring output_;
  ChildProcess process_;
};

// Runs a client to its end.
std::vector<std::string> RunPipeClient(const std::vector<std::wstring>& steps, DWORD timeoutMs = 30000);

// TamsuKeySim from dist/tools/ with its output in files, started and waited for until it serves or
// has ended; stopped through a stop event of its own when destroyed.
class KeySim {
 public:
  explicit KeySim(std::vector<std::wstring> arguments);
  ~KeySim();
  KeySim(const KeySim&) = delete;
  KeySim& operator=(const KeySim&) = delete;
  // Its exit code; 0xBAD when it did not start or had to be killed.
  DWORD Stop();
  std::string Out() const { return ReadText(outName_); }
  std::string Err() const { return ReadText(errName_); }

 private:
  std::wstring stopName_;
  std::wstring outName_;
  std::wstring errName_;
  UniqueHandle stop_;
  UniqueHandle process_;
  DWORD code_ = 0xBAD;
};

}  // namespace testing_support
}  // namespace tamsu
