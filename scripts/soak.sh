#!/usr/bin/env bash
# The soak run at a length of your choice (default 600 s), in a private Wine prefix:
#   scripts/soak.sh [SECONDS]
# The test suite runs the same test for 20 s.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-600}
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || { echo "usage: scripts/soak.sh [SECONDS]" >&2; exit 2; }
./scripts/install-prereqs.sh
cmake -S . -B build/posix -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-posix.cmake -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/posix -j"$(nproc)" --target soak_tests soak_client monitor_host pipe_client
export TAMSU_SOAK_SECONDS=$seconds WINE_RUN_TIMEOUT=$((seconds + 180))
# Run directly rather than through CTest, whose per-test time-out is the suite's.
tests/windows/harness/wine-session --display null -- \
  tests/windows/harness/wine-run build/posix/tests/windows/soak_tests.exe
