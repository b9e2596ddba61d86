#!/usr/bin/env bash
# Builds the Windows tier and prints the pipe benchmark's figures, run under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-prereqs.sh
cmake -S . -B build/bench -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-posix.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$(nproc)" --target pipe_bench
WINE_RUN_TIMEOUT=600 tests/windows/harness/wine-session -- tests/windows/harness/wine-run build/bench/tests/windows/pipe_bench.exe
