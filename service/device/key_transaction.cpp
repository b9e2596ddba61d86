#include "key_transaction.h"

#include <cstring>

#include "device_result.h"
#include "pass_through_record.h"

namespace tamsu {

uint32_t ExpectedAnswerSize(const uint8_t* command, uint32_t commandLength) {
  if (commandLength >= 7 && command[4] == 0) return command[5] * 256u + command[6] + 16u;
  if (commandLength == 5) return command[4];
  return 0;
}

uint32_t AnswerFrameLength(const uint8_t* frame) { return frame[0] * 256u + frame[1]; }

uint32_t Transact(PassThroughPort& port, const uint8_t* command, uint32_t commandLength, uint8_t* answer,
                  uint32_t* answerLength) {
  using pass_through::kCdbLength;
  using pass_through::kReceiveCdb;
  using pass_through::kSendCdb;
  if (!answerLength || (commandLength && !command)) return kScardENotReady;
  const uint32_t capacity = answer ? *answerLength : 0;

  uint32_t result = port.PassThroughOut(kSendCdb, kCdbLength, commandLength, command);
  if (result != kDeviceSuccess) return result;

  const uint32_t expected = ExpectedAnswerSize(command, commandLength);
  uint8_t frame[kAnswerBufferSize] = {};
  // An extended-length guess may exceed the buffer; the frame's own length decides what follows.
  uint32_t asked = expected + 4 < kAnswerBufferSize ? expected + 4 : kAnswerBufferSize;
  uint32_t delivered = 0;
  result = port.PassThroughIn(kReceiveCdb, kCdbLength, asked, frame, &delivered);
  if (result != kDeviceSuccess) return result;
  // The key may deliver less than the guess, but length bytes it did not send are not its answer's.
  // A report of more than was asked is a broken one.
  if (delivered < 2 || delivered > asked) return kScardENotReady;

  const uint32_t length = AnswerFrameLength(frame);
  *answerLength = length;
  if (length + 2 > kAnswerBufferSize || length > capacity) return kScardENotReady;

  if (length > expected + 2) {
    // The key gives the whole frame again from its start.
    asked = length + 2;
    result = port.PassThroughIn(kReceiveCdb, kCdbLength, asked, frame, &delivered);
    if (result != kDeviceSuccess) return result;
  }
  // Bytes the key did not deliver are the buffer's zeros or the first receive's, never the answer.
  if (delivered < length + 2 || delivered > asked) return kScardENotReady;
  if (length) std::memcpy(answer, frame + 2, length);
  return kDeviceSuccess;
}

}  // namespace tamsu
