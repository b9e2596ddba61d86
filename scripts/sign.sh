#!/usr/bin/env bash
# Authenticode signatures from Linux (osslsigncode). Every file gets two: SHA-1 first, the only one
# Windows XP SP3 can check, and SHA-256 nested in it for everything later; each is timestamped
# (RFC 3161) when a timestamp service is configured. The key never lives in the repository; the
# environment names it:
#   TAMSU_SIGN_PKCS12          a PKCS#12 file: the key and its certificate chain
#   TAMSU_SIGN_PKCS11_MODULE   or a PKCS#11 module (/usr/lib/softhsm/libsofthsm2.so, a token's own) with
#   TAMSU_SIGN_PKCS11_KEY      the key on the token (a PKCS#11 URI: "pkcs11:token=...;object=...")
#   TAMSU_SIGN_CERT            and the signing certificate and its intermediates (PEM)
#   TAMSU_SIGN_PASSWORD_FILE   the PKCS#12 file's password, or the token's PIN (optional)
#   TAMSU_SIGN_TIMESTAMP_URL   RFC 3161 timestamp services, blank-separated, tried in order (optional)
#
#   sign.sh --configured      exit 0 when a key is configured, 1 when none is, 2 (with the reason)
#                             when the configuration is incomplete
#   sign.sh --payload DIR     signs every Windows file that ships in DIR (a dist/ folder) but the setup
#   sign.sh --unsign DIR      removes the signatures of those files (an unsigned build after a signed one)
#   sign.sh FILE...           signs the named files (the setup; makensis's hook for the uninstaller)
# A file that already carries signatures loses them first, so signing again replaces them. A file is
# replaced only once both signatures are made: a failure leaves it as it was and exits 1.
set -euo pipefail

# The Windows files of a dist/ folder that ship, the setup apart (it embeds the first six).
payload=(TamsuSerB.exe Plugin_ZUVA.dll TamsuVD_ZUVA.dll TamsuWebHost.exe setup-aid/TamsuSetupAid.dll
         tools/TamsuCli.exe tools/TamsuKeySim.exe sdk/x86/TamsuClient.dll sdk/x64/TamsuClient.dll)

die() { echo "sign: $*" >&2; exit 1; }

# A signing's working folder holds an unsigned copy and the key's output: gone however the run ends.
work=
trap '[ -z "$work" ] || rm -rf "$work"' EXIT

# Sets key_args from the environment; returns 1 when no key is configured, 2 when it is incomplete.
key_args=()
configuration() {
  local p12=${TAMSU_SIGN_PKCS12:-} module=${TAMSU_SIGN_PKCS11_MODULE:-} key=${TAMSU_SIGN_PKCS11_KEY:-}
  local cert=${TAMSU_SIGN_CERT:-} password=${TAMSU_SIGN_PASSWORD_FILE:-}
  if [ -z "$p12" ] && [ -z "$module" ] && [ -z "$key" ]; then
    return 1
  fi
  if [ -n "$p12" ] && { [ -n "$module" ] || [ -n "$key" ]; }; then
    echo "sign: TAMSU_SIGN_PKCS12 and TAMSU_SIGN_PKCS11_* are both set; choose one key" >&2; return 2
  fi
  if [ -n "$password" ] && [ ! -r "$password" ]; then
    echo "sign: TAMSU_SIGN_PASSWORD_FILE $password cannot be read" >&2; return 2
  fi
  if [ -n "$p12" ]; then
    [ -r "$p12" ] || { echo "sign: TAMSU_SIGN_PKCS12 $p12 cannot be read" >&2; return 2; }
    key_args=(-pkcs12 "$p12")
  else
    [ -n "$module" ] && [ -n "$key" ] && [ -n "$cert" ] ||
      { echo "sign: a PKCS#11 key needs TAMSU_SIGN_PKCS11_MODULE, TAMSU_SIGN_PKCS11_KEY and TAMSU_SIGN_CERT" >&2; return 2; }
    [ -r "$module" ] || { echo "sign: TAMSU_SIGN_PKCS11_MODULE $module cannot be read" >&2; return 2; }
    [ -r "$cert" ] || { echo "sign: TAMSU_SIGN_CERT $cert cannot be read" >&2; return 2; }
    key_args=(-pkcs11module "$module" -key "$key" -certs "$cert")
  fi
  # Read from the file, so that the secret never shows on a command line.
  [ -z "$password" ] || key_args+=(-readpass "$password")
  local url urls=()
  read -r -a urls <<<"${TAMSU_SIGN_TIMESTAMP_URL:-}"  # split on blanks, never globbed
  for url in "${urls[@]}"; do key_args+=(-ts "$url"); done
  return 0
}

# The size of the PE image's certificate table (0: unsigned), from its data directory.
certificate_table_size() {
  local pe magic directory size
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] || die "$1 is not a PE image"
  magic=$(od -An -tu2 -j$((pe + 24)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case $magic in
    267) directory=$((pe + 24 + 96)) ;;   # PE32 (0x10b)
    523) directory=$((pe + 24 + 112)) ;;  # PE32+ (0x20b)
    *) die "$1 is not a PE image" ;;
  esac
  size=$(od -An -tu4 -j$((directory + 4 * 8 + 4)) -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$size" ] || die "$1 is not a PE image"
  echo "$size"
}

# remove-signature gives back the linker's bytes exactly (the table ends the file, the checksum is
# recomputed).
unsigned_copy() {  # FILE OUT
  local size
  size=$(certificate_table_size "$1")
  if [ "$size" -ne 0 ]; then
    osslsigncode remove-signature -in "$1" -out "$2" >/dev/null || die "cannot remove the signatures of $1"
  else
    cp "$1" "$2"
  fi
}

sign_file() {
  local file=$1
  [ -f "$file" ] || die "$file is missing"
  work=$(mktemp -d "${TMPDIR:-/tmp}/tamsu-sign.XXXXXX")
  unsigned_copy "$file" "$work/0"
  if ! osslsigncode sign "${key_args[@]}" -h sha1 -n "Tamsu ZUVA" -in "$work/0" -out "$work/1" >"$work/log" 2>&1 ||
     ! osslsigncode sign "${key_args[@]}" -nest -h sha256 -n "Tamsu ZUVA" -in "$work/1" -out "$work/2" >>"$work/log" 2>&1; then
    sed 's/^/  | /' "$work/log" >&2
    die "signing $file failed; it is left as it was"
  fi
  # In place (cat, not mv), so that the file keeps its mode and any link to it.
  cat "$work/2" > "$file"
  rm -rf "$work"
  work=
}

# The run's figure, for the build's output and the signing check.
report() {  # COUNT START_NS
  local ms=$(( ($(date +%s%N) - $2) / 1000000 ))
  printf 'sign: %d file(s), SHA-1 and nested SHA-256%s, in %d.%03d s\n' "$1" \
    "${TAMSU_SIGN_TIMESTAMP_URL:+, timestamped}" $((ms / 1000)) $((ms % 1000))
}

[ $# -gt 0 ] || die "usage: sign.sh --configured | --payload DIR | --unsign DIR | FILE..."
state=0
configuration || state=$?
case $1 in
  --configured)
    exit "$state" ;;
  --unsign)
    [ $# -eq 2 ] || die "usage: sign.sh --unsign DIR"
    for name in "${payload[@]}"; do
      file=$2/$name
      [ -f "$file" ] || continue  # a build of some targets only
      size=$(certificate_table_size "$file")
      if [ "$size" -ne 0 ]; then
        unsigned_copy "$file" "$file.unsigned"
        cat "$file.unsigned" > "$file"
        rm -f "$file.unsigned"
      fi
    done
    exit 0 ;;
esac
[ "$state" -ne 1 ] || die "no signing key is configured (TAMSU_SIGN_PKCS12, or TAMSU_SIGN_PKCS11_MODULE and its key)"
[ "$state" -eq 0 ] || exit 2
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/install-prereqs.sh installs it)"

start=$(date +%s%N)
files=()
if [ "$1" = --payload ]; then
  [ $# -eq 2 ] || die "usage: sign.sh --payload DIR"
  for name in "${payload[@]}"; do files+=("$2/$name"); done
else
  files=("$@")
fi
# Every file must be there before any is touched.
for file in "${files[@]}"; do [ -f "$file" ] || die "$file is missing"; done
for file in "${files[@]}"; do sign_file "$file"; done
report "${#files[@]}" "$start"
