// The simulator's answer table: command patterns mapped to answers, read from a text file.
//
//   # comment (a line whose first non-blank character is #); blank lines are skipped
//   00 A4 04 00 02 3F 00  => 90 00
//   00 B0 ?? ?? 02        => 12 34 90 00
//   80 CA ...             => 6A 88
//
// A rule is PATTERN => ANSWER. The pattern is bytes, each two hex digits or ?? (any byte); the
// last token may be ... (any number of further bytes, none included). The answer is 1 to 4094
// bytes of hex. Bytes may be written apart or together (00A4 0400); a token of an odd number of
// digits is an error. The first rule that matches a command gives its answer.
// No platform calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamsu {
namespace keysim {

constexpr size_t kMaxTableFileSize = 1 << 20;

struct AnswerRule {
  std::vector<uint8_t> bytes;
  std::vector<bool> wildcard;  // per byte of the pattern
  bool openEnd = false;        // ends in ...
  std::vector<uint8_t> answer;
};

class AnswerTable {
 public:
  // Reads the whole text; on the first malformed line returns false with *line (1-based) and
  // *problem set, and keeps no rule.
  bool Parse(const std::string& text, size_t* line, std::string* problem);
  // The answer of the first rule that matches, or null.
  const std::vector<uint8_t>* Find(const uint8_t* command, size_t length) const;
  size_t size() const { return rules_.size(); }

 private:
  std::vector<AnswerRule> rules_;
};

}  // namespace keysim
}  // namespace tamsu
