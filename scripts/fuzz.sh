#!/usr/bin/env bash
# Runs every fuzz target longer than the test suite does: ./scripts/fuzz.sh [SECONDS per target, default 300]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-prereqs.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DTAMSU_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAMSU_FUZZ_SECONDS="${1:-300}" >/dev/null
cmake --build build/fuzz -j"$(nproc)"
mkdir -p build/test-logs
status=0
ctest --test-dir build/fuzz --verbose >build/test-logs/fuzz-long.log 2>&1 || status=$?
./scripts/fuzz-summary.sh build/test-logs/fuzz-long.log
exit "$status"
