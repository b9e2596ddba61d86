#!/usr/bin/env bash
# Prints each fuzz target's verdict and executions from a verbose CTest log of the fuzz tree, then
# CTest's summary line; on a failure, libFuzzer's and the sanitizers' reports go to stderr.
#   fuzz-summary.sh VERBOSE_LOG
set -euo pipefail
log=$1
awk '$2 == "Test" && $4 ~ /^Fuzz\./ { n = $3; gsub(/[#:]/, "", n); name[n] = $4; verdict[n] = $6 }
     $1 ~ /^[0-9]+:$/ && $2 == "stat::number_of_executed_units:" { n = $1; sub(/:/, "", n); runs[n] = $3 }
     /tests passed, [0-9]+ tests failed out of/ { summary = $0 }
     END { for (n in name) printf "fuzz: %s: %s, %s executions\n", name[n], verdict[n], runs[n] == "" ? "?" : runs[n]
           print summary }' "$log"
if ! grep -q ", 0 tests failed" "$log"; then
  grep -E "ERROR|SUMMARY|deadly signal|Test failed" "$log" | head -40 >&2 || true
fi
