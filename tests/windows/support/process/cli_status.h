// `TamsuCli status --json` (the shipped dist/tools/TamsuCli.exe) run as the tools that use it would
// run it: its report parsed, its findings by id, its exit code and how long it took.
#pragma once

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process/child_process.h"

namespace tamsu {
namespace testing_support {

struct StatusRun {
  ProgramRun run;
  nlohmann::json report;  // discarded (is_discarded()) when the output is not one JSON object
};

// `program`: the built one in dist/ unless another copy (the installed one) is named.
inline StatusRun RunStatus(const std::vector<std::wstring>& options = {}, std::wstring program = std::wstring()) {
  std::vector<std::wstring> arguments{L"status", L"--json"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  if (program.empty()) program = DistPath(L"tools\\TamsuCli.exe");
  StatusRun status{RunProgramWithOutput(program, arguments, 60000), nullptr};
  status.report = nlohmann::json::parse(status.run.out, nullptr, false);
  return status;
}

inline std::vector<std::string> FindingIds(const nlohmann::json& report) {
  std::vector<std::string> ids;
  if (report.is_object() && report.contains("findings") && report["findings"].is_array()) {
    for (const auto& finding : report["findings"]) ids.push_back(finding.value("id", ""));
  }
  return ids;
}

inline bool HasFinding(const nlohmann::json& report, const std::string& id) {
  const std::vector<std::string> ids = FindingIds(report);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace testing_support
}  // namespace tamsu
