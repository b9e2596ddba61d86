// TamsuCli's text side, free of platform calls: hex APDUs, expected answers, script lines, status
// word meanings, JSON strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/protocol/pipe_protocol.h"

namespace tamsu {
namespace cli {

using Bytes = std::vector<unsigned char>;

constexpr size_t kMaxApduBytes = kPipeBufferSize;  // the longest command or answer a key exchanges

// Hex digits, two per byte, with spaces, tabs or colons between bytes ("00A40400", "00 A4 04 00",
// "00:A4:04:00"). With `mask`, '?' stands for any digit: mask has 0 bits where the value is
// free. False with the reason in *problem; columns count from `firstColumn`.
bool ParseHex(const std::string& text, Bytes* out, std::string* problem, Bytes* mask = nullptr,
              size_t firstColumn = 1);

// An answer the script expects: two bytes are the status word alone, more the whole answer.
struct Expectation {
  Bytes value;
  Bytes mask;
  bool Matches(const Bytes& answer) const;
  std::string Text() const;  // "?? 90 00"
};

struct ScriptLine {
  unsigned line = 0;
  Bytes apdu;
  bool expects = false;
  Expectation expected;
};

// The APDUs of a script, one per line, each optionally followed by "-> EXPECTED"; '#' and '//'
// start comments. False with the line and reason in *problem.
bool ParseScript(const std::string& text, std::vector<ScriptLine>* lines, std::string* problem);

// Meaning of a status word after ISO/IEC 7816-4's table: "file or application not found".
std::string StatusText(unsigned char sw1, unsigned char sw2);

// The command again with its expected length (Le) set to `le`, for a 6Cxx answer; false when the
// command's layout is not one of the four cases.
bool WithLe(const Bytes& command, unsigned char le, Bytes* out);

// "00 A4 04 00" or, without separator, "00A40400".
std::string HexText(const unsigned char* data, size_t length, const char* separator = " ");

// A JSON string literal, quotes included, of UTF-16 text.
std::string JsonString(const std::u16string& text);

}  // namespace cli
}  // namespace tamsu
