// The meaning of each status word, after ISO/IEC 7816-4's table of SW1-SW2 values.
#include <cstdio>
#include <string>

#include "apdu_text.h"

namespace tamsu {
namespace cli {
namespace {

// What the %u of a text stands for: nothing, SW2 as a byte count (00 is 256), or SW2's low nibble.
enum class Value { kNone, kLength, kCounter };

struct StatusWord {
  unsigned char sw1;
  unsigned char low;  // SW2 range, both ends included
  unsigned char high;
  Value value;
  const char* text;
};

// The first entry that covers the status word gives its meaning: exact values before ranges.
const StatusWord kStatusWords[] = {
    {0x90, 0x00, 0x00, Value::kNone, "success"},
    {0x90, 0x01, 0xFF, Value::kNone, "proprietary status"},
    {0x61, 0x00, 0xFF, Value::kLength, "success, %u more bytes available (GET RESPONSE)"},
    {0x62, 0x00, 0x00, Value::kNone, "warning, state unchanged: no information given"},
    {0x62, 0x81, 0x81, Value::kNone, "warning: part of the returned data may be corrupted"},
    {0x62, 0x82, 0x82, Value::kNone, "warning: end of file or record reached before reading Ne bytes"},
    {0x62, 0x83, 0x83, Value::kNone, "warning: selected file deactivated"},
    {0x62, 0x84, 0x84, Value::kNone, "warning: file control information not formatted"},
    {0x62, 0x85, 0x85, Value::kNone, "warning: selected file in termination state"},
    {0x62, 0x86, 0x86, Value::kNone, "warning: no input data available from a sensor on the card"},
    {0x62, 0x02, 0x80, Value::kNone, "warning, state unchanged: triggering by the card"},
    {0x62, 0x00, 0xFF, Value::kNone, "warning, state unchanged"},
    {0x63, 0x00, 0x00, Value::kNone, "warning, state changed: no information given"},
    {0x63, 0x81, 0x81, Value::kNone, "warning: file filled up by the last write"},
    {0x63, 0xC0, 0xCF, Value::kCounter, "warning: counter %u (tries left)"},
    {0x63, 0x00, 0xFF, Value::kNone, "warning, state changed"},
    {0x64, 0x00, 0x00, Value::kNone, "execution error, state unchanged"},
    {0x64, 0x01, 0x01, Value::kNone, "execution error: immediate response required by the card"},
    {0x64, 0x02, 0x80, Value::kNone, "execution error: triggering by the card"},
    {0x64, 0x00, 0xFF, Value::kNone, "execution error, state unchanged"},
    {0x65, 0x00, 0x00, Value::kNone, "execution error, state changed: no information given"},
    {0x65, 0x81, 0x81, Value::kNone, "execution error: memory failure"},
    {0x65, 0x00, 0xFF, Value::kNone, "execution error, state changed"},
    {0x66, 0x00, 0xFF, Value::kNone, "security-related issue"},
    {0x67, 0x00, 0x00, Value::kNone, "wrong length"},
    {0x68, 0x81, 0x81, Value::kNone, "logical channel not supported"},
    {0x68, 0x82, 0x82, Value::kNone, "secure messaging not supported"},
    {0x68, 0x83, 0x83, Value::kNone, "last command of the chain expected"},
    {0x68, 0x84, 0x84, Value::kNone, "command chaining not supported"},
    {0x68, 0x00, 0xFF, Value::kNone, "functions in CLA not supported"},
    {0x69, 0x81, 0x81, Value::kNone, "command incompatible with file structure"},
    {0x69, 0x82, 0x82, Value::kNone, "security status not satisfied"},
    {0x69, 0x83, 0x83, Value::kNone, "authentication method blocked"},
    {0x69, 0x84, 0x84, Value::kNone, "reference data not usable"},
    {0x69, 0x85, 0x85, Value::kNone, "conditions of use not satisfied"},
    {0x69, 0x86, 0x86, Value::kNone, "command not allowed (no current EF)"},
    {0x69, 0x87, 0x87, Value::kNone, "expected secure messaging data objects missing"},
    {0x69, 0x88, 0x88, Value::kNone, "incorrect secure messaging data objects"},
    {0x69, 0x00, 0xFF, Value::kNone, "command not allowed"},
    {0x6A, 0x80, 0x80, Value::kNone, "incorrect parameters in the command data field"},
    {0x6A, 0x81, 0x81, Value::kNone, "function not supported"},
    {0x6A, 0x82, 0x82, Value::kNone, "file or application not found"},
    {0x6A, 0x83, 0x83, Value::kNone, "record not found"},
    {0x6A, 0x84, 0x84, Value::kNone, "not enough memory space in the file"},
    {0x6A, 0x85, 0x85, Value::kNone, "Nc inconsistent with TLV structure"},
    {0x6A, 0x86, 0x86, Value::kNone, "incorrect parameters P1-P2"},
    {0x6A, 0x87, 0x87, Value::kNone, "Nc inconsistent with parameters P1-P2"},
    {0x6A, 0x88, 0x88, Value::kNone, "referenced data or reference data not found"},
    {0x6A, 0x89, 0x89, Value::kNone, "file already exists"},
    {0x6A, 0x8A, 0x8A, Value::kNone, "DF name already exists"},
    {0x6A, 0x00, 0xFF, Value::kNone, "wrong parameters P1-P2"},
    {0x6B, 0x00, 0x00, Value::kNone, "wrong parameters P1-P2"},
    {0x6C, 0x00, 0xFF, Value::kLength, "wrong Le field: %u bytes available"},
    {0x6D, 0x00, 0x00, Value::kNone, "instruction code not supported or invalid"},
    {0x6E, 0x00, 0x00, Value::kNone, "class not supported"},
    {0x6F, 0x00, 0x00, Value::kNone, "no precise diagnosis"},
    {0x91, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x92, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x93, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x94, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x95, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x96, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x97, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x98, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x99, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9A, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9B, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9C, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9D, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9E, 0x00, 0xFF, Value::kNone, "proprietary status"},
    {0x9F, 0x00, 0xFF, Value::kNone, "proprietary status"},
};

}  // namespace

std::string StatusText(unsigned char sw1, unsigned char sw2) {
  for (const StatusWord& entry : kStatusWords) {
    if (entry.sw1 != sw1 || sw2 < entry.low || sw2 > entry.high) continue;
    unsigned value = 0;
    if (entry.value == Value::kLength) value = sw2 == 0 ? 256u : sw2;
    if (entry.value == Value::kCounter) value = sw2 & 0x0Fu;
    if (entry.value == Value::kNone) return entry.text;
    char text[128];
    std::snprintf(text, sizeof text, entry.text, value);
    return text;
  }
  return "unknown status word";
}

}  // namespace cli
}  // namespace tamsu
