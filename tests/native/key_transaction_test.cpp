#include "service/device/key_transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "service/device/device_result.h"
#include "service/device/pass_through_record.h"

namespace tamsu {
namespace {

using Bytes = std::vector<uint8_t>;

// A key as the channel sees it: it keeps the frame of the last command and returns it from its
// start on every receive, cut to the transfer length, and reports the bytes it delivered (or, where
// receiveReports holds a count for the receive, delivers at most that many and reports the count).
// Records every request.
class FakeKeyPort : public PassThroughPort {
 public:
  struct Request {
    uint8_t opcode;
    uint32_t length;
  };

  explicit FakeKeyPort(Bytes answer) { SetAnswer(answer); }
  void SetAnswer(const Bytes& answer) {
    frame_ = {static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())};
    frame_.insert(frame_.end(), answer.begin(), answer.end());
  }

  uint32_t PassThroughOut(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, const void* data) override {
    requests.push_back({cdb[0], dataLength});
    EXPECT_EQ(6u, cdbLength);
    command.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + dataLength);
    return sendResult;
  }
  uint32_t PassThroughIn(const uint8_t* cdb, size_t cdbLength, uint32_t dataLength, void* data,
                         uint32_t* delivered) override {
    requests.push_back({cdb[0], dataLength});
    EXPECT_EQ(6u, cdbLength);
    EXPECT_LE(dataLength, kAnswerBufferSize) << "asked the key for more than the answer buffer holds";
    const size_t receiveIndex = receives++;
    if (receiveIndex < receiveResults.size() && receiveResults[receiveIndex] != 0) return receiveResults[receiveIndex];
    const bool reported = receiveIndex < receiveReports.size();
    const size_t count = std::min<size_t>({dataLength, frame_.size(), reported ? receiveReports[receiveIndex] : ~0u});
    std::memcpy(data, frame_.data(), count);
    *delivered = reported ? receiveReports[receiveIndex] : static_cast<uint32_t>(count);
    return 0;
  }

  std::vector<uint32_t> ReceiveLengths() const {
    std::vector<uint32_t> lengths;
    for (const auto& r : requests) {
      if (r.opcode == 0xF2) lengths.push_back(r.length);
    }
    return lengths;
  }

  std::vector<Request> requests;
  Bytes command;
  uint32_t sendResult = 0;
  std::vector<uint32_t> receiveResults;
  std::vector<uint32_t> receiveReports;
  size_t receives = 0;

 private:
  Bytes frame_;
};

Bytes Pattern(size_t length) {
  Bytes b(length);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

struct Outcome {
  uint32_t result;
  uint32_t length;
  Bytes answer;
};

Outcome Exchange(FakeKeyPort& key, const Bytes& command, uint32_t capacity = 4096) {
  Bytes answer(capacity + 16, 0xCC);  // room past the capacity shows any overrun
  uint32_t length = capacity;
  uint32_t result = Transact(key, command.data(), static_cast<uint32_t>(command.size()), answer.data(), &length);
  for (size_t i = capacity; i < answer.size(); ++i) EXPECT_EQ(0xCC, answer[i]) << "wrote past the caller's buffer";
  answer.resize(result == 0 ? length : 0);
  return {result, length, answer};
}

TEST(ExpectedAnswerSize, FollowsTheCommandForm) {
  const uint8_t shortLe[] = {0x00, 0xB0, 0, 0, 0x10};
  EXPECT_EQ(0x10u, ExpectedAnswerSize(shortLe, 5));
  const uint8_t leZero[] = {0x00, 0xB0, 0, 0, 0x00};
  EXPECT_EQ(0u, ExpectedAnswerSize(leZero, 5));
  const uint8_t extended[] = {0x00, 0xD6, 0, 0, 0x00, 0x01, 0x00};
  EXPECT_EQ(256u + 16, ExpectedAnswerSize(extended, 7));
  const uint8_t extendedMax[] = {0x00, 0xD6, 0, 0, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(65535u + 16, ExpectedAnswerSize(extendedMax, 7));
  const uint8_t shortLc[] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
  EXPECT_EQ(0u, ExpectedAnswerSize(shortLc, 7));
  const uint8_t header[] = {0x00, 0xA4, 0x04, 0x00};
  EXPECT_EQ(0u, ExpectedAnswerSize(header, 4));
  EXPECT_EQ(0u, ExpectedAnswerSize(extended, 6));  // six bytes: neither form
  EXPECT_EQ(0u, ExpectedAnswerSize(nullptr, 0));
}

TEST(Transact, ShortCommandWithLeNeedsOneReceive) {
  FakeKeyPort key(Pattern(0x12));
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00, 0x10});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(0x12u, out.length);
  EXPECT_EQ(Pattern(0x12), out.answer);
  EXPECT_EQ(std::vector<uint32_t>{0x14}, key.ReceiveLengths());
  ASSERT_FALSE(key.requests.empty());
  EXPECT_EQ(0xF1, key.requests[0].opcode);
  EXPECT_EQ(5u, key.requests[0].length);
  EXPECT_EQ(Bytes({0x00, 0xB0, 0x00, 0x00, 0x10}), key.command);
}

TEST(Transact, HeaderOnlyCommandReadsFourThenTheWholeFrame) {
  FakeKeyPort shortAnswer({0x90, 0x00});
  Outcome out = Exchange(shortAnswer, {0x00, 0xA4, 0x04, 0x00});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(Bytes({0x90, 0x00}), out.answer);
  EXPECT_EQ(std::vector<uint32_t>{4}, shortAnswer.ReceiveLengths());

  FakeKeyPort longAnswer(Pattern(0x22));
  out = Exchange(longAnswer, {0x00, 0xA4, 0x04, 0x00});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(Pattern(0x22), out.answer);
  EXPECT_EQ((std::vector<uint32_t>{4, 0x24}), longAnswer.ReceiveLengths());
}

TEST(Transact, ExtendedLengthCommandGuessesFromItsLengthField) {
  FakeKeyPort key(Pattern(100));
  Outcome out = Exchange(key, {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(Pattern(100), out.answer);
  EXPECT_EQ(std::vector<uint32_t>{276}, key.ReceiveLengths());
}

TEST(Transact, SevenByteCommandWithNonZeroByteFourExpectsNothing) {
  FakeKeyPort key(Pattern(3));
  Outcome out = Exchange(key, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ((std::vector<uint32_t>{4, 5}), key.ReceiveLengths());
  EXPECT_EQ(Pattern(3), out.answer);
}

TEST(Transact, AnswerThatFillsTheBufferExactlyIsWhole) {
  FakeKeyPort key(Pattern(4094));
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(4094u, out.length);
  EXPECT_EQ(Pattern(4094), out.answer);
  EXPECT_EQ((std::vector<uint32_t>{4, 4096}), key.ReceiveLengths());
}

TEST(Transact, EmptyAnswerIsDelivered) {
  FakeKeyPort key({});
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00, 0x00});
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(0u, out.length);
  EXPECT_EQ(std::vector<uint32_t>{4}, key.ReceiveLengths());
}

TEST(Transact, FailedSendIssuesNoReceive) {
  FakeKeyPort key(Pattern(2));
  key.sendResult = kScardENotReady;
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00, 0x10});
  EXPECT_EQ(kScardENotReady, out.result);
  EXPECT_TRUE(key.ReceiveLengths().empty());
}

TEST(Transact, FailedFirstOrSecondReceiveFailsTheTransaction) {
  FakeKeyPort first(Pattern(0x22));
  first.receiveResults = {kScardENotReady};
  EXPECT_EQ(kScardENotReady, Exchange(first, {0x00, 0xA4, 0x04, 0x00}).result);
  EXPECT_EQ(1u, first.ReceiveLengths().size());

  FakeKeyPort second(Pattern(0x22));
  second.receiveResults = {0, kScardENotReady};
  EXPECT_EQ(kScardENotReady, Exchange(second, {0x00, 0xA4, 0x04, 0x00}).result);
  EXPECT_EQ(2u, second.ReceiveLengths().size());
}

TEST(Transact, AnswerNotDeliveredWholeFailsTheTransaction) {
  const Bytes readBinary = {0x00, 0xB0, 0x00, 0x00, 0x10}, header = {0x00, 0xA4, 0x04, 0x00};
  FakeKeyPort oneReceive(Pattern(0x12));  // the frame fits the first receive of 0x14 bytes
  oneReceive.receiveReports = {0x13};
  EXPECT_EQ(kScardENotReady, Exchange(oneReceive, readBinary).result);
  oneReceive.receives = 0;
  oneReceive.receiveReports = {0x15};  // more than was asked: not believed
  EXPECT_EQ(kScardENotReady, Exchange(oneReceive, readBinary).result);

  FakeKeyPort secondReceive(Pattern(0x22));
  secondReceive.receiveReports = {2, 0x23};  // a first receive of only the length bytes is enough
  EXPECT_EQ(kScardENotReady, Exchange(secondReceive, header).result);
  secondReceive.receives = 0;
  secondReceive.receiveReports = {2};
  EXPECT_EQ(Pattern(0x22), Exchange(secondReceive, header).answer);

  // One length byte of 01 22 would read as 01 00: the wrong second receive must not follow.
  FakeKeyPort halfLength(Pattern(0x122));
  halfLength.receiveReports = {1};
  EXPECT_EQ(kScardENotReady, Exchange(halfLength, header).result);
  EXPECT_EQ(std::vector<uint32_t>{4}, halfLength.ReceiveLengths());
}

TEST(Transact, ExtendedGuessBeyondTheBufferIsCutToIt) {
  // Lc = 0x1000: the guess E + 4 = 4116 does not fit the 4096-byte answer buffer.
  Bytes command = {0x00, 0xD6, 0x00, 0x00, 0x00, 0x10, 0x00};
  command.resize(7 + 0x1000 - 20, 0x5A);
  FakeKeyPort key({0x90, 0x00});
  Outcome out = Exchange(key, command);
  EXPECT_EQ(0u, out.result);
  EXPECT_EQ(Bytes({0x90, 0x00}), out.answer);
  EXPECT_EQ(std::vector<uint32_t>{4096}, key.ReceiveLengths());
}

TEST(Transact, FrameLongerThanTheBufferFailsWithoutAskingForIt) {
  FakeKeyPort key(Pattern(4095));
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00});
  EXPECT_EQ(kScardENotReady, out.result);
  EXPECT_EQ(std::vector<uint32_t>{4}, key.ReceiveLengths());

  FakeKeyPort huge(Pattern(0xFFFF));  // a length field the key cannot honour
  out = Exchange(huge, {0x00, 0xD6, 0x00, 0x00, 0x00, 0xFF, 0xFF});
  EXPECT_EQ(kScardENotReady, out.result);
  EXPECT_EQ(std::vector<uint32_t>{4096}, huge.ReceiveLengths());
}

TEST(Transact, AnswerLongerThanTheCallersBufferFailsWithoutCopying) {
  FakeKeyPort key(Pattern(40));
  Outcome out = Exchange(key, {0x00, 0xB0, 0x00, 0x00, 0x28}, 39);
  EXPECT_EQ(kScardENotReady, out.result);
  FakeKeyPort fits(Pattern(40));
  EXPECT_EQ(0u, Exchange(fits, {0x00, 0xB0, 0x00, 0x00, 0x28}, 40).result);
}

TEST(Transact, MissingBuffersAreRefused) {
  FakeKeyPort key(Pattern(2));
  uint8_t answer[8];
  EXPECT_EQ(kScardENotReady, Transact(key, nullptr, 5, answer, nullptr));
  uint32_t length = sizeof answer;
  EXPECT_EQ(kScardENotReady, Transact(key, nullptr, 5, answer, &length));
  EXPECT_TRUE(key.requests.empty());
}

}  // namespace
}  // namespace tamsu
