#!/usr/bin/env bash
# Builds everything and prints the benchmark tables, measured under Wine in a private prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/build.sh >/dev/null
cmake -S . -B build/bench -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-posix.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$(nproc)" --target pipe_bench web_host_bench
WINE_RUN_TIMEOUT=600 tests/windows/harness/wine-session -- tests/windows/harness/wine-run build/bench/tests/windows/pipe_bench.exe
echo
# A page's transmit through headless Chromium, the extension and TamsuWebHost, beside the same
# transmit from a program and the host's own share.
tests/windows/harness/wine-session --display null -- python3 tests/browser/run.py \
  --bench "$root/build/bench/tests/windows/web_host_bench.exe" --host-command "wine $root/dist/TamsuWebHost.exe" \
  --keysim "$root/dist/tools/TamsuKeySim.exe"
