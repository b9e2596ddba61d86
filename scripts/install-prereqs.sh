#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (run as root).
# Idempotent: returns quickly when every package is already present.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev file procps
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 llvm lld
  wine wine32:i386 wine64 wine32-preloader:i386 wine64-preloader
  xvfb xauth
  nsis nsis-pluginapi
  googletest
  nlohmann-json3-dev
  chromium chromium-driver openssl python3
  # Authenticode signing (bookworm's osslsigncode 2.5 has all that scripts/sign.sh uses); a SoftHSM
  # token and OpenSSL's PKCS#11 engine for the signing check's hardware-key path.
  osslsigncode softhsm2 libengine-pkcs11-openssl
)

as_root() {
  [ "$(id -u)" -eq 0 ] || { echo "install-prereqs: run as root to $*" >&2; exit 1; }
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# QEMU's i386 emulator (see below) from backports: bookworm's 7.2 crashes multi-threaded Wine processes.
backports=/etc/apt/sources.list.d/bookworm-backports.list
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
qemu_ok=false
dpkg --compare-versions "${qemu_version:-0}" ge 1:10 && qemu_ok=true

if [ ${#missing[@]} -gt 0 ] || [ "$qemu_ok" = false ]; then
  as_root "install: ${missing[*]} qemu-user-static"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  [ -e "$backports" ] || echo 'deb http://deb.debian.org/debian bookworm-backports main' > "$backports"
  # A mirror caught mid-sync fails one index; what the others list may still install everything.
  apt-get update -qq || echo "install-prereqs: a package index could not be fetched; installing from the rest" >&2
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
  apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
fi

# Wine runs 32-bit programs through its 32-bit Linux loader. Some kernels here are built without
# 32-bit support (the loader fails with "Exec format error"); there the loader runs under QEMU's
# user-mode i386 emulator, registered with binfmt_misc. Wine's preloader keeps start-up fast.
# An existing registration of ours is made again, so that it runs the emulator installed now.
fs=/proc/sys/fs/binfmt_misc
if [ -e "$fs/qemu-i386" ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  as_root "register the i386 emulator"
  [ -e "$fs/register" ] || mount -t binfmt_misc binfmt_misc "$fs"
  [ -e "$fs/qemu-i386" ] && echo -1 > "$fs/qemu-i386"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$fs/register"
  /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "install-prereqs: 32-bit Wine cannot run here" >&2; exit 1; }
fi
