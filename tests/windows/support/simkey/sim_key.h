// A simulated key behind the key seam: the CD-ROM interfaces the platform would list, and keys that
// check each pass-through request as a real key's driver would and answer 0xF1/0xF2 with the key's
// framing. Linked instead of key_io_win32 into tests and developer tools, never into a deliverable.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tamsu {
namespace sim {

using Bytes = std::vector<uint8_t>;
// Turns one command message into the answer (without its two length bytes).
using Responder = std::function<Bytes(const Bytes& command)>;

constexpr size_t kMaxAnswerLength = 4094;  // the largest answer whose frame fits the channel's buffer

// Answers: the status word 90 00 alone (the default); the command followed by 90 00; `length` bytes
// of a counting pattern ending in 90 00.
Responder StatusOnly();
Responder Echo();
Responder FixedLength(size_t length);

// How one interface behaves towards the enumeration.
struct InterfaceOptions {
  bool classPropertyReadable = true;
  bool detailSizeZero = false;  // the size query reports 0
  bool detailFails = false;     // the detail query itself fails
};

constexpr size_t kRecordedReceives = 256;

struct KeyStats {
  int opens = 0;
  int sends = 0;
  int receives = 0;
  int refused = 0;                       // requests a driver would refuse (bad record, code or size)
  int stalled = 0;                       // receives that entered a stall
  // Transfer length of each receive, in order; only the first ones, so that a long run does not grow.
  std::vector<uint32_t> receiveLengths;
  Bytes lastCommand;
};

class SimKeyBus;
struct SimKeyBusImpl;  // also serves the seam's calls

// One simulated CD-ROM interface; a key when its path carries the key's vendor and revision.
class SimKey {
 public:
  const std::string& path() const { return path_; }

  void SetResponder(Responder responder);
  // The next send, or the receive after `skip` good ones, completes with this SCSI status and
  // moves no data.
  void FailNextSend(uint8_t scsiStatus);
  void FailNextReceive(uint8_t scsiStatus, int skip = 0);
  // The next command's answer is `missing` bytes short of what its frame announces: each of its
  // receives delivers (and reports) at most the bytes the key has.
  void ShortenNextAnswer(size_t missing = 1);
  // The next send is taken, then the key is gone: the receive fails and so does every open.
  void UnplugDuringNextCommand();
  // The next receive blocks until `release` is set, or at most `timeoutMs`: a key that does not
  // answer, or that answers late.
  void StallNextReceive(HANDLE release, DWORD timeoutMs = INFINITE);
  // Called with each command whose send fails on purpose (under the bus's lock, like the responder).
  void SetFailedSendObserver(std::function<void(const Bytes& command)> observer);
  // From now on a key that vanishes is present again `delayMs` later, listed and opened again;
  // handles opened before it vanished stay dead, as a real key's would.
  void PlugBackAfter(DWORD delayMs);
  void Unplug();
  void Plug();
  bool present() const;
  KeyStats stats() const;

 private:
  friend class SimKeyBus;
  friend struct SimKeyBusImpl;
  SimKey(SimKeyBus& bus, std::string path, InterfaceOptions options);
  void Vanish();
  // Whether the key is there now; brings a vanished key back once its plug-back delay has passed.
  bool PresentNow();

  SimKeyBus& bus_;
  std::string path_;
  InterfaceOptions options_;
  bool present_ = true;
  bool unplugAfterSend_ = false;
  int failSendStatus_ = -1;
  int failReceiveStatus_ = -1;
  int failReceiveSkip_ = 0;
  size_t shortenNextAnswer_ = 0;
  HANDLE stallRelease_ = nullptr;
  DWORD stallTimeoutMs_ = INFINITE;
  DWORD plugBackMs_ = INFINITE;  // INFINITE: a vanished key stays away until Plug
  DWORD vanishedAt_ = 0;
  std::function<void(const Bytes&)> failedSendObserver_;
  Responder responder_;
  Bytes frame_;             // the pending answer frame: two length bytes, then the answer
  size_t deliverable_ = 0;  // how much of frame_ the key gives
  KeyStats stats_;
};

// The process-wide set of simulated interfaces, in enumeration order.
class SimKeyBus {
 public:
  static SimKeyBus& Instance();

  SimKey& Add(const std::string& path, InterfaceOptions options = {});
  // Removes every interface and fault; handles still open stop working.
  void Reset();
  void FailInterfaceSet(bool fail);  // SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE

  int OpenKeyHandles() const;
  int OpenInterfaceSets() const;
  int ClassPropertyQueries() const;

  SimKeyBusImpl& internals() { return *impl_; }

 private:
  SimKeyBus();
  friend class SimKey;
  std::unique_ptr<SimKeyBusImpl> impl_;
};

}  // namespace sim
}  // namespace tamsu
