#!/usr/bin/env bash
# Builds everything and prints the benchmark table, measured under Wine in a private prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/build.sh >/dev/null
cmake -S . -B build/bench -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-posix.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$(nproc)" --target pipe_bench
WINE_RUN_TIMEOUT=600 tests/windows/harness/wine-session -- tests/windows/harness/wine-run build/bench/tests/windows/pipe_bench.exe
