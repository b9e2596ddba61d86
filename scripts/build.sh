#!/usr/bin/env bash
# Builds the three deliverables (32-bit, XP-loadable, fully static), the tools and the setup into dist/,
# and the client library for x86 and x64 into dist/sdk/; signs what ships when a signing key is
# configured (scripts/sign.sh names the variables), and lists every file's SHA-256 in dist/SHA256SUMS.
#   scripts/build.sh [--deliverables]    --deliverables: only what the setup installs, and the setup
# The images are stamped with SOURCE_DATE_EPOCH, by default the time of the last commit, so that two
# builds of a commit give the same unsigned files (scripts/check-reproducible.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
targets=()
if [ "${1:-}" = --deliverables ]; then
  targets=(--target TamsuSerB Plugin_ZUVA TamsuVD_ZUVA TamsuWebHost TamsuCli TamsuSetupAid)
elif [ $# -gt 0 ]; then
  echo "usage: scripts/build.sh [--deliverables]" >&2; exit 1
fi
./scripts/install-prereqs.sh
# A partial build would sign and list whatever an earlier build left in dist/: a release is built whole.
if [ ${#targets[@]} -gt 0 ] && ./scripts/sign.sh --configured 2>/dev/null; then
  echo "build: --deliverables builds unsigned; unset the signing key (README, \"Signing a release\")" >&2; exit 1
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "build: not a git checkout; set SOURCE_DATE_EPOCH (seconds since 1970) to the sources' date" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-win32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAMSU_SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" >/dev/null
cmake --build build/win32 -j"$(nproc)" "${targets[@]}"
if [ ${#targets[@]} -eq 0 ]; then
  # The 64-bit client library alone (and the 64-bit program of its tests).
  cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw-win32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAMSU_SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" >/dev/null
  cmake --build build/win64 -j"$(nproc)"
fi
# Signs the files that ship (when a key is configured) before the setup embeds them, then the setup.
./installer/build-installer.sh
# What ships, as shipped (signed or not), relative to dist/.
(cd dist && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum > SHA256SUMS)

echo
echo "Built in dist/ (SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH):"
for f in TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuWebHost.exe TamsuSetup_ZUVA.exe tools/TamsuCli.exe \
  tools/TamsuKeySim.exe sdk/x86/TamsuClient.dll sdk/x64/TamsuClient.dll; do
  [ -f "dist/$f" ] && printf '  %-26s %s\n' "$f" "$(file -b "dist/$f" | cut -d, -f1)"
done
[ ${#targets[@]} -gt 0 ] ||
  echo "  sdk/include/tamsu_client.h, sdk/samples/, import libraries sdk/{x86,x64}/libTamsuClient.dll.a and TamsuClient.lib"
echo "  SHA256SUMS"
if ./scripts/sign.sh --configured 2>/dev/null; then
  echo "Signed: every Windows file, the uninstaller inside the setup and the setup (SHA-1 and nested SHA-256)"
else
  echo "Unsigned: no signing key is configured (README, \"Signing a release\")"
fi
