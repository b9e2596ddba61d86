#!/usr/bin/env bash
# Builds DIR/TamsuSetup_ZUVA.exe from the deliverables in DIR (default dist/; run scripts/build.sh
# first). With a signing key configured (scripts/sign.sh), the files that ship are signed first (the
# setup embeds them and checks their hashes, so they must be final), then the uninstaller as makensis
# embeds it, then the setup. Without one, the files are left unsigned, and signatures left from an
# earlier signed build are removed.
#   installer/build-installer.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd)
for f in TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuWebHost.exe tools/TamsuCli.exe setup-aid/TamsuSetupAid.dll; do
  [ -f "$dist/$f" ] || { echo "build-installer: $dist/$f is missing; run scripts/build.sh" >&2; exit 1; }
done
signing=0
"$root/scripts/sign.sh" --configured || signing=$?
case $signing in
  0) "$root/scripts/sign.sh" --payload "$dist"
     sign_command=(-DSIGN_COMMAND="$root/scripts/sign.sh") ;;
  1) "$root/scripts/sign.sh" --unsign "$dist"
     sign_command=() ;;
  *) exit 1 ;;  # a key half-configured is an error, never an unsigned build
esac
makensis -V2 -DDIST_DIR="$dist" -DOUT_FILE="$dist/TamsuSetup_ZUVA.exe" "${sign_command[@]}" \
  "$root/installer/TamsuSetup_ZUVA.nsi"
[ "$signing" -ne 0 ] || "$root/scripts/sign.sh" "$dist/TamsuSetup_ZUVA.exe"
echo "$dist/TamsuSetup_ZUVA.exe${sign_command:+ (signed, the uninstaller inside it too)}"
