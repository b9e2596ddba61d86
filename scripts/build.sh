#!/usr/bin/env bash
# Builds the three deliverables (32-bit, XP-loadable, fully static), the tools and the setup into dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-prereqs.sh

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-win32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/win32 -j"$(nproc)"
./installer/build-installer.sh >/dev/null

echo
echo "Built in dist/:"
for f in TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuSetup_ZUVA.exe tools/TamsuCli.exe tools/TamsuKeySim.exe; do
  printf '  %-24s %s\n' "$f" "$(file -b "dist/$f" | cut -d, -f1)"
done
