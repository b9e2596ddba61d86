#!/usr/bin/env bash
# The signing of a release, with a throwaway CA, key and RFC 3161 service made here (build/signing-test,
# never committed). A copy of dist/ is packaged signed as the build does it: every Windows file in it
# must verify against that CA with a SHA-1 and a nested SHA-256 signature, each timestamped; a changed
# byte must fail; the binary checks must pass; the key on a SoftHSM token must sign through PKCS#11;
# failures must fail; the signed setup must install under Wine, serve, install a signed uninstaller
# and uninstall. dist/ stays as built. Run after scripts/build.sh and a build of build/posix.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$root/build/signing-test
rm -rf "$work" && mkdir -p "$work"
passed=0 failed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "PASS  $what"; passed=$((passed + 1)); else echo "FAIL  $what"; failed=$((failed + 1)); fi
}
unset TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE TAMSU_SIGN_PKCS11_KEY TAMSU_SIGN_CERT TAMSU_SIGN_PASSWORD_FILE \
  TAMSU_SIGN_TIMESTAMP_URL

cat > "$work/openssl.cnf" <<EOF
[test_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign
[test_signer]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[test_tsa]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = $work/tsa.serial
signer_cert = $work/tsa.crt
certs = $work/ca.crt
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256
EOF
pki() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" -days 2 -subj "/CN=Tamsu test CA" \
    -config <(cat /etc/ssl/openssl.cnf "$work/openssl.cnf") -extensions test_ca || return 1
  for name in signer tsa; do
    openssl req -newkey rsa:2048 -nodes -keyout "$work/$name.key" -out "$work/$name.csr" -subj "/CN=Tamsu test $name" &&
    openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
      -extfile "$work/openssl.cnf" -extensions "test_$name" -out "$work/$name.crt" || return 1
  done
  echo 01 > "$work/tsa.serial" && head -c 12 /dev/urandom | base64 > "$work/password" &&
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.crt" -certfile "$work/ca.crt" \
    -passout "file:$work/password" -out "$work/signer.p12"
} >"$work/pki.log" 2>&1
check "a throwaway CA with code-signing and timestamping certificates" pki

# The timestamp service: openssl ts answers each request posted to 127.0.0.1.
python3 - "$work" 2>"$work/tsa.log" <<'EOF' &
import http.server, os, subprocess, sys
work = sys.argv[1]
class Service(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        open(work + "/ts.query", "wb").write(self.rfile.read(int(self.headers["Content-Length"])))
        ok = subprocess.run(["openssl", "ts", "-reply", "-config", work + "/openssl.cnf", "-queryfile",
                             work + "/ts.query", "-out", work + "/ts.reply"], capture_output=True).returncode == 0
        reply = open(work + "/ts.reply", "rb").read() if ok else b""
        self.send_response(200 if ok else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Service)
open(work + "/tsa.port.new", "w").write(str(server.server_address[1]))
os.rename(work + "/tsa.port.new", work + "/tsa.port")
server.serve_forever()
EOF
tsa_pid=$!
trap 'kill "$tsa_pid" 2>/dev/null' EXIT
for _ in $(seq 50); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done

verify() { osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -in "$1" 2>&1; }
# Both signatures verify, SHA-1 first and SHA-256 nested, each with its verified timestamp.
signed_twice() {  # FILE
  local out digests stamps
  out=$(verify "$1") || { grep -iE 'error|fail|mismatch|no signature' <<<"$out" | head -5 | sed 's/^/      /'; return 1; }
  digests=$(sed -n 's/^Message digest algorithm  *: //p' <<<"$out" | xargs)
  stamps=$(grep -c '^Timestamp Server Signature verification: ok' <<<"$out")
  [ "$digests" = "SHA1 SHA256" ] && [ "$stamps" -eq 2 ] && grep -q '^Number of verified signatures: 2$' <<<"$out" ||
    { echo "      digests: ${digests:-none}; verified timestamps: $stamps"; return 1; }
}

cp -a dist "$work/dist" && rm -f "$work/dist/SHA256SUMS"
export TAMSU_SIGN_PKCS12=$work/signer.p12 TAMSU_SIGN_PASSWORD_FILE=$work/password \
  TAMSU_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$work/tsa.port" 2>/dev/null)
package() { installer/build-installer.sh "$work/dist" >"$work/package.log" 2>&1; }
start=$(date +%s%N)
check "the package is built signed (installer/build-installer.sh, a PKCS#12 key, a timestamp service)" package
package_ms=$(( ($(date +%s%N) - start) / 1000000 ))
sed 's/^/      /' "$work/package.log"
# sign.sh reports each run: the files before makensis, the uninstaller, the setup.
read -r sign_files sign_ms < <(sed -nE 's/^sign: ([0-9]+) file.* in ([0-9]+)\.([0-9]{3}) s$/\1 \2\3/p' "$work/package.log" |
  awk '{ files += $1; ms += $2 } END { print files + 0, ms + 0 }')

pe_files=$(cd "$work/dist" && find . -type f \( -name '*.exe' -o -name '*.dll' \) -printf '%P\n' | LC_ALL=C sort)
for file in $pe_files; do
  check "$file: SHA-1 and nested SHA-256 signatures, timestamped, verify" signed_twice "$work/dist/$file"
done
# One byte changed in the middle of the signed content: both digests must mismatch.
tampered() {
  local file bad=0 at
  for file in $pe_files; do
    cp "$work/dist/$file" "$work/tampered" && at=$(( $(stat -c %s "$work/tampered") / 3 ))
    printf "\\x$(od -An -tx1 -j"$at" -N1 "$work/tampered" | tr -d ' ' | tr 0123456789abcdef fedcba9876543210)" |
      dd of="$work/tampered" bs=1 seek="$at" conv=notrunc status=none
    [ "$(verify "$work/tampered" | grep -c 'MISMATCH')" -eq 2 ] || { echo "      $file: a changed byte is not refused"; bad=1; }
  done
  return $bad
}
check "a byte changed after signing fails both signatures ($(wc -w <<<"$pe_files") files)" tampered
binaries() { scripts/check-binaries.sh "$work/dist" >"$work/binaries.log" 2>&1 || { sed 's/^/      /' "$work/binaries.log"; false; }; }
check "the signed files pass the import, mitigation and version resource checks" binaries

# The same key on a SoftHSM token, through PKCS#11.
pkcs11() {
  export SOFTHSM2_CONF=$work/softhsm2.conf
  mkdir -p "$work/tokens" && printf 'directories.tokendir = %s\n' "$work/tokens" > "$SOFTHSM2_CONF" && echo 1234 > "$work/pin"
  softhsm2-util --init-token --free --label tamsu-test --so-pin 0000 --pin 1234 &&
  openssl pkcs8 -topk8 -nocrypt -in "$work/signer.key" -out "$work/signer.pk8" &&
  softhsm2-util --import "$work/signer.pk8" --token tamsu-test --label signer --id 01 --pin 1234 &&
  cp dist/TamsuSerB.exe "$work/pkcs11-TamsuSerB.exe" &&
  env -u TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TAMSU_SIGN_CERT="$work/signer.crt" \
    TAMSU_SIGN_PKCS11_KEY="pkcs11:token=tamsu-test;object=signer;type=private" TAMSU_SIGN_PASSWORD_FILE="$work/pin" \
    scripts/sign.sh "$work/pkcs11-TamsuSerB.exe"
} >"$work/pkcs11.log" 2>&1
check "TamsuSerB.exe signed with the key on a SoftHSM token (PKCS#11)" pkcs11
check "TamsuSerB.exe signed through PKCS#11: SHA-1 and nested SHA-256, timestamped, verify" \
  signed_twice "$work/pkcs11-TamsuSerB.exe"

# A failed signing fails and leaves the file as it was; a half-configured key fails the build.
wrong_password() {
  cp dist/Plugin_ZUVA.dll "$work/wrong.dll" && echo 'not the password' > "$work/wrong-password"
  ! TAMSU_SIGN_PASSWORD_FILE=$work/wrong-password scripts/sign.sh "$work/wrong.dll" >"$work/wrong.log" 2>&1 &&
    grep -q "signing .*wrong.dll failed; it is left as it was" "$work/wrong.log" && cmp -s dist/Plugin_ZUVA.dll "$work/wrong.dll"
}
check "a wrong password fails the signing and leaves the file unchanged" wrong_password
half_configured() {
  cp -a dist "$work/half" && rm -f "$work/half/TamsuSetup_ZUVA.exe"
  ! env -u TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    installer/build-installer.sh "$work/half" >/dev/null 2>&1 && [ ! -e "$work/half/TamsuSetup_ZUVA.exe" ]
}
check "a PKCS#11 module without its key and certificate fails the build (no setup is made)" half_configured
kill "$tsa_pid" 2>/dev/null

# The installer test's first scenario (its program as CTest runs it) with the signed copy as the
# shipped files and setup; it copies the uninstaller it finds installed into the copy.
wine_start=$(date +%s)
TAMSU_SETUP_PAYLOAD=$work/dist WINE_RUN_TIMEOUT=300 tests/windows/harness/wine-session --display null -- \
  tests/windows/harness/wine-run build/posix/tests/windows/installer_tests.exe \
  --gtest_filter=PackageInstaller.InstallsRunsAndUninstallsInPlaceKeepingOtherProducts >"$work/wine.log" 2>&1
wine_status=$?
installed() {
  [ "$wine_status" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test\.' "$work/wine.log" || { tail -40 "$work/wine.log" | sed 's/^/      /'; false; }
}
check "the signed setup installs, the service serves, and it uninstalls (Wine, $(( $(date +%s) - wine_start )) s)" installed
check "uninstall.exe as the signed setup installs it: SHA-1 and nested SHA-256, timestamped, verify" \
  signed_twice "$work/dist/uninstall.exe"

printf '\nSigning figure: the whole dist/ (%d files, 2 signatures each, timestamped) signed in %d.%03d s;' \
  "$sign_files" $((sign_ms / 1000)) $((sign_ms % 1000))
printf ' with makensis, the signed package took %d.%03d s\n' $((package_ms / 1000)) $((package_ms % 1000))
echo "Signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
