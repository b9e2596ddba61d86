#!/usr/bin/env bash
# Builds dist/TamsuSetup_ZUVA.exe from the deliverables in dist/ (run scripts/build.sh first).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for f in TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuWebHost.exe setup-aid/TamsuSetupAid.dll; do
  [ -f "$root/dist/$f" ] || { echo "build-installer: dist/$f is missing; run scripts/build.sh" >&2; exit 1; }
done
makensis -V2 -DDIST_DIR="$root/dist" -DOUT_FILE="$root/dist/TamsuSetup_ZUVA.exe" "$root/installer/TamsuSetup_ZUVA.nsi"
echo "dist/TamsuSetup_ZUVA.exe"
