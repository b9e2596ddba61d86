// TamsuCli status's readers of what the machine holds: a PE's first bytes, registry strings,
// manifests, command lines and device paths, any bytes at all. Nothing reads past its input, a
// security directory always lies inside its file, a serial number never survives shortening, and
// any text in any fact still gives a report that is ASCII JSON.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/cli/status/status_report.h"

namespace status = tamsu::status;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint64_t fileSize = (data[0] | data[1] << 8 | data[2] << 16) * 16ull;
  const uint8_t* rest = data + 4;
  const size_t restSize = size - 4;
  // Copies, so that the sanitizer sees any read past their ends.
  const std::vector<uint8_t> bytes(rest, rest + restSize);
  if (const auto directory = status::SecurityDirectoryOf(bytes.data(), bytes.size(), fileSize)) {
    if (static_cast<uint64_t>(directory->offset) + directory->size > fileSize || directory->size < 8) std::abort();
    status::IsAuthenticodeEntry(bytes.data(), bytes.size(), *directory);
  }
  const std::vector<std::string> strings = status::MultiStrings(bytes.data(), bytes.size());
  const std::vector<std::string> all = status::AllStrings(bytes.data(), bytes.size());
  if (strings.size() > all.size()) std::abort();
  const std::string text(rest, rest + restSize);
  status::ManifestProgram(text);
  status::ProgramOfCommandLine(text);
  status::PendingFilesOfOurs(all, text);

  const std::string shortened = status::ShortDevicePath(text);
  std::vector<size_t> hashes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '#') hashes.push_back(i);
  }
  if (hashes.size() == 3 && shortened.find("<serial>") == std::string::npos &&
      shortened.find("<hidden>") == std::string::npos) {
    std::abort();  // a path of the key's form kept its instance segment
  }

  status::StatusFacts facts;
  facts.install.checked = facts.install.entry = true;
  facts.install.folder = text;
  facts.install.version = strings.empty() ? text : strings.front();
  facts.install.files.push_back({text, (data[3] & 1) != 0, text, std::nullopt});
  facts.service.presence = status::Presence::kPresent;
  facts.service.state = data[3];
  facts.service.configKnown = true;
  facts.service.startType = data[3] >> 4;
  facts.service.binaryPath = text;
  facts.service.programPresent = false;
  facts.monitor.checked = facts.keysChecked = true;
  for (const std::string& path : all) facts.keys.push_back({path});
  facts.webHost.checked = facts.webHost.configPresent = true;
  facts.webHost.browsers.push_back({text, true, false, text, true, text, false});
  facts.runEntry = {true, true, false, text, false};
  facts.pending = {true, all};
  const std::vector<status::Finding> findings = status::Evaluate(facts);
  const std::string json = status::RenderJson(facts, findings, {(data[3] & 2) != 0});
  for (unsigned char c : json) {
    if (c >= 0x80) std::abort();
  }
  if (nlohmann::json::parse(json, nullptr, false).is_discarded()) std::abort();
  status::RenderText(facts, findings, {});
  return 0;
}
