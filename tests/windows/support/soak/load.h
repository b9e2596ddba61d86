// The test side of soak and fault runs: soak_client processes against keys, their summed reports,
// and the figures of a process under load.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"

namespace tamsu {
namespace testing_support {

struct KeyUnderLoad {
  std::wstring path;
  uint8_t tag;  // the tag the simulated key answers with
};

struct LoadTotals {
  unsigned long commands = 0, verified = 0, failed = 0, lost = 0, corrupt = 0, disconnects = 0;
  unsigned long lists = 0, listFailures = 0, opens = 0, openFailures = 0;
  unsigned long largestCommand = 0, largestAnswer = 0, slowestListMs = 0;
  unsigned long hostile = 0, hostileAsDesigned = 0, hostileWrong = 0;
  int clients = 0, clientsWithFailures = 0, clientsRecovered = 0;
  std::string firstMismatch, firstListFailure, firstHostileWrong;
  // Failures every one of which the client saw as an error; a wrong answer is `corrupt` instead.
  unsigned long visibleFailures() const { return failed + lost; }
};

class Load {
 public:
  // `clientsPerKey` client processes for each key; each drops its connection on about
  // `disconnectPermille` commands in a thousand and asks for the list every `listEvery` commands.
  Load(std::vector<KeyUnderLoad> keys, int clientsPerKey, DWORD disconnectPermille, DWORD listEvery);
  ~Load();

  // Before Start: one more client, of the key, sending malformed messages instead of commands.
  void AddHostileClient(int keyIndex) { hostileKeys_.push_back(keyIndex); }
  bool Start();
  // Sums the reports (rewritten every second while the clients run); -1 for every key.
  LoadTotals Totals(int keyIndex = -1) const;
  // Waits until every client of the key (or of all keys) has verified `count` more answers than
  // at the call; false after `timeoutMs`.
  bool WaitForProgress(int keyIndex, unsigned long count, DWORD timeoutMs) const;
  // Tells the clients to end and waits for them; true when all ended on their own with 0.
  bool Stop(DWORD timeoutMs = 30000);

 private:
  struct Client {
    int keyIndex;
    bool hostile;
    std::wstring report;
    ChildProcess process;
  };
  bool StartClient(int keyIndex, bool hostile);
  std::vector<unsigned long> VerifiedPerClient(int keyIndex) const;

  std::vector<KeyUnderLoad> keys_;
  int clientsPerKey_;
  DWORD disconnectPermille_, listEvery_;
  std::vector<int> hostileKeys_;
  std::wstring stopName_;
  UniqueHandle stop_;
  std::vector<std::unique_ptr<Client>> clients_;
};

struct ProcessFigures {
  DWORD handles = 0;
  DWORD threads = 0;
  SIZE_T workingSetBytes = 0;
  SIZE_T privateBytes = 0;  // committed memory of its own
  bool valid = false;
};
ProcessFigures MeasureProcess(DWORD processId);

// Prints "[figure] " and the text, and appends the line to figures.log beside the test program,
// which the test command shows after the run (CTest keeps the output of passing tests to itself).
void Figure(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace testing_support
}  // namespace tamsu
