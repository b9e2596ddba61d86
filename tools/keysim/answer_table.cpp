#include "answer_table.h"

#include "common/protocol/pipe_protocol.h"
#include "simkey/sim_key.h"

namespace tamsu {
namespace keysim {
namespace {

constexpr size_t kMaxCommandLength = kPipeBufferSize;  // a device pipe's message
using sim::kMaxAnswerLength;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A token as it may be shown in a message: printable, and short.
std::string Shown(const std::string& token) {
  std::string shown;
  for (size_t i = 0; i < token.size() && i < 24; ++i) {
    const char c = token[i];
    shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return "'" + shown + (token.size() > 24 ? "...'" : "'");
}

std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> tokens;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(" \t", start);
    if (end == std::string::npos) end = text.size();
    tokens.push_back(text.substr(start, end - start));
    at = end;
  }
  return tokens;
}

// Appends the token's bytes; `wildcard` null means ?? is not allowed.
bool AppendBytes(const std::string& token, std::vector<uint8_t>* bytes, std::vector<bool>* wildcard) {
  if (token.size() % 2 != 0) return false;
  for (size_t i = 0; i < token.size(); i += 2) {
    if (wildcard && token[i] == '?' && token[i + 1] == '?') {
      bytes->push_back(0);
      wildcard->push_back(true);
      continue;
    }
    const int high = HexDigit(token[i]);
    const int low = HexDigit(token[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    if (wildcard) wildcard->push_back(false);
  }
  return true;
}

bool ParseRule(const std::string& line, AnswerRule* rule, std::string* problem) {
  const size_t arrow = line.find("=>");
  if (arrow == std::string::npos) {
    *problem = "no => between the command pattern and its answer";
    return false;
  }
  const std::vector<std::string> pattern = Tokens(line.substr(0, arrow));
  const std::vector<std::string> answer = Tokens(line.substr(arrow + 2));
  if (pattern.empty()) {
    *problem = "no command pattern before =>";
    return false;
  }
  if (answer.empty()) {
    *problem = "no answer after =>";
    return false;
  }
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == "...") {
      if (i + 1 != pattern.size()) {
        *problem = "... must be the command pattern's last token";
        return false;
      }
      rule->openEnd = true;
    } else if (!AppendBytes(pattern[i], &rule->bytes, &rule->wildcard)) {
      *problem = Shown(pattern[i]) + " in the command pattern is not hex bytes, ?? or ...";
      return false;
    }
    // Checked as it grows, so that a huge line never builds a huge pattern.
    if (rule->bytes.size() > kMaxCommandLength) {
      *problem = "the command pattern is longer than " + std::to_string(kMaxCommandLength) + " bytes";
      return false;
    }
  }
  for (const std::string& token : answer) {
    if (!AppendBytes(token, &rule->answer, nullptr)) {
      *problem = Shown(token) + " in the answer is not hex bytes";
      return false;
    }
    if (rule->answer.size() > kMaxAnswerLength) {
      *problem = "the answer is longer than " + std::to_string(kMaxAnswerLength) + " bytes";
      return false;
    }
  }
  return true;
}

}  // namespace

bool AnswerTable::Parse(const std::string& text, size_t* line, std::string* problem) {
  rules_.clear();
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string content = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!content.empty() && content.back() == '\r') content.pop_back();
    const size_t first = content.find_first_not_of(" \t");
    if (first == std::string::npos || content[first] == '#') continue;
    AnswerRule rule;
    if (!ParseRule(content, &rule, problem)) {
      *line = number;
      rules_.clear();
      return false;
    }
    rules_.push_back(std::move(rule));
  }
  return true;
}

const std::vector<uint8_t>* AnswerTable::Find(const uint8_t* command, size_t length) const {
  for (const AnswerRule& rule : rules_) {
    const size_t count = rule.bytes.size();
    if (rule.openEnd ? length < count : length != count) continue;
    size_t i = 0;
    while (i < count && (rule.wildcard[i] || rule.bytes[i] == command[i])) ++i;
    if (i == count) return &rule.answer;
  }
  return nullptr;
}

}  // namespace keysim
}  // namespace tamsu
