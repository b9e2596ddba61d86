#!/usr/bin/env bash
# The import, mitigation and version resource checks of the Windows files that ship in DIR (default
# dist/): the build's own files, and the same files once signed.
#   check-binaries.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
d=$(cd "${1:-$root/dist}" && pwd)
cd "$root"
ours=("$d/TamsuSerB.exe" "$d/Plugin_ZUVA.dll" "$d/TamsuVD_ZUVA.dll" "$d/setup-aid/TamsuSetupAid.dll" "$d/TamsuWebHost.exe")
# TamsuCli too: a support desk asks customers on any supported Windows to run it.
./scripts/check-imports.sh tests/imports/xp-allowlist.txt "${ours[@]}" "$d/tools/TamsuCli.exe"
./scripts/check-pe-mitigations.sh "${ours[@]}" "$d"/tools/*.exe
./scripts/check-version-resources.sh "${ours[@]}" "$d"/tools/*.exe
# The client library, for x86 and x64.
objdump64=x86_64-w64-mingw32-objdump  # reads both image formats
for arch in x86 x64; do
  OBJDUMP=$objdump64 ./scripts/check-imports.sh tests/imports/xp-allowlist.txt "$d/sdk/$arch/TamsuClient.dll"
  OBJDUMP=$objdump64 ./scripts/check-pe-mitigations.sh "$d/sdk/$arch/TamsuClient.dll"
done
./scripts/check-version-resources.sh "$d/sdk/x86/TamsuClient.dll" "$d/sdk/x64/TamsuClient.dll"
