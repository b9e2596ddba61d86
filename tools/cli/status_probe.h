// `TamsuCli status`: looks at the machine with read-only opens and prints the report. Nothing is
// sent to any key and nothing is changed; the run ends within 10 s whatever it meets.
#pragma once

namespace tamsu {
namespace cli {

struct StatusOptions {
  bool json = false;
  bool full = false;  // device paths with their serial numbers
};

// The report on standard output; the exit code is the worst finding (0, 1 or 2).
int StatusCommand(const StatusOptions& options);

}  // namespace cli
}  // namespace tamsu
