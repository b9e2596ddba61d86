#!/usr/bin/env bash
# Builds the three deliverables (32-bit, XP-loadable, fully static), the tools and the setup into dist/,
# and the client library for x86 and x64 into dist/sdk/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-prereqs.sh

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-win32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/win32 -j"$(nproc)"
./installer/build-installer.sh >/dev/null
# The 64-bit client library alone (and the 64-bit program of its tests).
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw-win32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/win64 -j"$(nproc)"

echo
echo "Built in dist/:"
for f in TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuSetup_ZUVA.exe tools/TamsuCli.exe tools/TamsuKeySim.exe \
  sdk/x86/TamsuClient.dll sdk/x64/TamsuClient.dll; do
  printf '  %-26s %s\n' "$f" "$(file -b "dist/$f" | cut -d, -f1)"
done
echo "  sdk/include/tamsu_client.h, sdk/samples/, import libraries sdk/{x86,x64}/libTamsuClient.dll.a and TamsuClient.lib"
