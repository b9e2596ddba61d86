// One command-and-answer exchange with a key, over the two pass-through primitives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsu {

constexpr uint32_t kAnswerBufferSize = 4096;  // the answer frame is received into this many bytes

// The two raw primitives of a key channel; each returns 0 or kScardENotReady.
class PassThroughPort {
 public:
  virtual uint32_t PassThroughOut(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, const void* data) = 0;
  // On success *delivered is the number of bytes the key reports it put into `data`: a key may
  // deliver less than it was asked for.
  virtual uint32_t PassThroughIn(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, void* data,
                                 uint32_t* delivered) = 0;

 protected:
  ~PassThroughPort() = default;
};

// E, the answer size the first receive expects, from bytes 4 to 6 of the command.
uint32_t ExpectedAnswerSize(const uint8_t* command, uint32_t commandLength);

// The answer length L carried big-endian in the first two bytes of an answer frame.
uint32_t AnswerFrameLength(const uint8_t* frame);

// Sends the command with 0xF1 and collects the answer with one or two 0xF2 receives.
// *answerLength holds the capacity of `answer` on the way in and L on the way out.
// Never asks the key for more than kAnswerBufferSize bytes nor copies more than the caller holds:
// a first receive larger than the buffer is cut to it, and an answer whose frame does not fit the
// buffer, or that does not fit the caller's buffer, fails with kScardENotReady. So does an answer
// the key did not deliver whole: a first receive with less than the two length bytes, or a receive
// that carries the answer with less than the 2 + L bytes of its frame (or with a report of more
// than was asked).
uint32_t Transact(PassThroughPort& port, const uint8_t* command, uint32_t commandLength, uint8_t* answer,
                  uint32_t* answerLength);

}  // namespace tamsu
