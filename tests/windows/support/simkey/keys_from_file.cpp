// Linked into a program in place of the platform's keys: the simulated keys named one per line in
// simkeys.txt beside the program, each giving the soak traffic's answers (the Nth line's tag is N).
// A line "stall:PATH" makes a key whose first receive blocks until the named manual-reset event
// "TamsuSimKeyRelease" is set, as a key that does not answer would.
// Made before main so that the program's own code finds them as it would find plugged keys.
#include <windows.h>

#include <string>

#include "common/win/unique_resource.h"
#include "simkey/sim_key.h"
#include "soak/soak_traffic.h"

namespace {

struct KeysFromFile {
  KeysFromFile() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wstring name(path, length);
    name.erase(name.find_last_of(L'\\') + 1);
    name += L"simkeys.txt";
    tamsu::UniqueFileHandle file(
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return;
    char buffer[4096];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return;
    const std::string text(buffer, read);
    uint8_t tag = 0;
    const std::string stall = "stall:";
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const bool stalls = line.compare(0, stall.size(), stall) == 0;
      if (stalls) line.erase(0, stall.size());
      const uint8_t keyTag = ++tag;
      tamsu::sim::SimKey& key = tamsu::sim::SimKeyBus::Instance().Add(line);
      key.SetResponder([keyTag](const tamsu::sim::Bytes& command) { return tamsu::soak::Answer(keyTag, command); });
      if (stalls) {
        static const tamsu::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"TamsuSimKeyRelease"));
        key.StallNextReceive(release.get());
      }
    }
  }
} keysFromFile;

}  // namespace
