#!/usr/bin/env bash
# The signing of a release, checked with a throwaway CA, code-signing key and timestamp service made
# here (in build/signing-test, never committed). A copy of dist/ is packaged signed as the build does
# it (installer/build-installer.sh with a PKCS#12 key): every Windows file in it must carry a SHA-1
# and a nested SHA-256 signature that verify against that CA, each timestamped; a byte changed after
# signing must fail; the signed files must pass the build's binary checks; the same key on a SoftHSM
# token must sign through PKCS#11; a signing failure must be reported, never shipped; and the signed
# setup must install under Wine, serve, write a signed uninstaller and uninstall
# (PackageInstaller.InstallsRunsAndUninstalls... against the signed setup).
# dist/ itself is left as built, for the rest of the tests. Run after scripts/build.sh and a build of
# the Windows tier (build/posix).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$root/build/signing-test
rm -rf "$work"
mkdir -p "$work"
passed=0
failed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then printf 'PASS  %s\n' "$what"; passed=$((passed + 1)); else printf 'FAIL  %s\n' "$what"; failed=$((failed + 1)); fi
}
for key in TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE TAMSU_SIGN_PKCS11_KEY TAMSU_SIGN_CERT TAMSU_SIGN_PASSWORD_FILE \
  TAMSU_SIGN_TIMESTAMP_URL; do unset "$key"; done

# A CA, a code-signing certificate and a timestamping one under it.
cat > "$work/openssl.cnf" <<EOF
[test_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[test_signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[test_timestamper]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = $work/tsa.serial
crypto_device = builtin
signer_cert = $work/tsa.crt
certs = $work/ca.crt
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256
accuracy = secs:1
ess_cert_id_alg = sha1
EOF
pki() {
  local c=$work/openssl.cnf
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" -days 2 \
    -subj "/CN=Tamsu throwaway test CA" -config <(cat /etc/ssl/openssl.cnf "$c") -extensions test_ca &&
  for name in signer tsa; do
    openssl req -newkey rsa:2048 -nodes -keyout "$work/$name.key" -out "$work/$name.csr" -subj "/CN=Tamsu test $name" &&
    openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
      -extfile "$c" -extensions "test_$([ "$name" = tsa ] && echo timestamper || echo signer)" -out "$work/$name.crt" || return 1
  done &&
  echo 01 > "$work/tsa.serial" &&
  head -c 12 /dev/urandom | base64 > "$work/password" &&
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.crt" -certfile "$work/ca.crt" \
    -passout "file:$work/password" -out "$work/signer.p12"
} >"$work/pki.log" 2>&1
check "a throwaway CA, code-signing and timestamping certificates" pki

# An RFC 3161 timestamp service on 127.0.0.1, answering with openssl ts.
cat > "$work/tsa.py" <<'EOF'
import http.server, os, subprocess, sys, tempfile
config, port_file = sys.argv[1], sys.argv[2]
class Timestamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "query"), "wb") as f:
                f.write(query)
            ok = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", os.path.join(d, "query"),
                                 "-out", os.path.join(d, "reply")], capture_output=True).returncode == 0
            reply = open(os.path.join(d, "reply"), "rb").read() if ok else b""
        self.send_response(200 if ok else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Timestamps)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()
EOF
python3 "$work/tsa.py" "$work/openssl.cnf" "$work/tsa.port" 2>"$work/tsa.log" &
tsa_pid=$!
trap 'kill "$tsa_pid" 2>/dev/null' EXIT
for _ in $(seq 50); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done
timestamp_url=http://127.0.0.1:$(cat "$work/tsa.port" 2>/dev/null)

# Both signatures verify against the throwaway CA, SHA-1 first and SHA-256 nested, each timestamped.
signed_twice() {  # FILE
  local out digests stamps
  if ! out=$(osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -in "$1" 2>&1); then
    printf '%s\n' "$out" | grep -iE 'error|fail|mismatch|no signature' | head -5 | sed 's/^/      /'
    return 1
  fi
  digests=$(printf '%s\n' "$out" | sed -n 's/^Message digest algorithm  *: //p' | xargs)
  stamps=$(printf '%s\n' "$out" | grep -c '^Timestamp Server Signature verification: ok')
  [ "$digests" = "SHA1 SHA256" ] && [ "$stamps" -eq 2 ] && printf '%s\n' "$out" | grep -q '^Number of verified signatures: 2$' ||
    { echo "      digests: ${digests:-none}; verified timestamps: $stamps"; return 1; }
}

# The package signed as the build signs it, in a copy of dist/.
cp -a dist "$work/dist"
rm -f "$work/dist/SHA256SUMS" "$work/dist/uninstall.exe"
export TAMSU_SIGN_PKCS12=$work/signer.p12 TAMSU_SIGN_PASSWORD_FILE=$work/password TAMSU_SIGN_TIMESTAMP_URL=$timestamp_url
package() { installer/build-installer.sh "$work/dist" >"$work/package.log" 2>&1; }
start=$(date +%s%N)
check "the package is built signed (installer/build-installer.sh with a PKCS#12 key and a timestamp service)" package
package_ms=$(( ($(date +%s%N) - start) / 1000000 ))
sed 's/^/      /' "$work/package.log"
# sign.sh reports each of its runs: the files before makensis, the uninstaller, the setup.
read -r sign_files sign_ms < <(sed -nE 's/^sign: ([0-9]+) file.* in ([0-9]+)\.([0-9]{3}) s$/\1 \2\3/p' "$work/package.log" |
  awk '{ files += $1; ms += $2 } END { print files + 0, ms + 0 }')

pe_files=$(cd "$work/dist" && find . -type f \( -name '*.exe' -o -name '*.dll' \) -printf '%P\n' | LC_ALL=C sort)
for file in $pe_files; do
  check "$file: SHA-1 and nested SHA-256 signatures, timestamped, verify" signed_twice "$work/dist/$file"
done

# A byte changed after signing, in the middle of the signed content, must fail both digests.
tampered() {
  local file bad=0 size
  mkdir -p "$work/tampered"
  for file in $pe_files; do
    if ! osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -in "$work/dist/$file" >/dev/null 2>&1; then
      echo "      $file does not verify even as signed"; bad=1; continue
    fi
    cp "$work/dist/$file" "$work/tampered/x"
    size=$(stat -c %s "$work/tampered/x")
    printf '\x5a' | dd of="$work/tampered/x" bs=1 seek=$((size / 3)) conv=notrunc status=none
    cmp -s "$work/dist/$file" "$work/tampered/x" && printf '\xa5' | dd of="$work/tampered/x" bs=1 seek=$((size / 3)) conv=notrunc status=none
    if osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -in "$work/tampered/x" >/dev/null 2>&1; then
      echo "      $file verifies with a byte changed"; bad=1
    fi
  done
  return $bad
}
check "a byte changed after signing fails verification ($(wc -w <<<"$pe_files") files)" tampered
binaries() { scripts/check-binaries.sh "$work/dist" >"$work/binaries.log" 2>&1 || { sed 's/^/      /' "$work/binaries.log"; false; }; }
check "the signed files pass the import, mitigation and version resource checks" binaries

# The same key on a SoftHSM token, through PKCS#11.
pkcs11() {
  export SOFTHSM2_CONF=$work/softhsm2.conf
  mkdir -p "$work/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" > "$SOFTHSM2_CONF"
  printf '1234\n' > "$work/pin"
  softhsm2-util --init-token --free --label tamsu-test --so-pin 0000 --pin 1234 &&
  openssl pkcs8 -topk8 -nocrypt -in "$work/signer.key" -out "$work/signer.pk8" &&
  softhsm2-util --import "$work/signer.pk8" --token tamsu-test --label signer --id 01 --pin 1234 &&
  cp dist/TamsuSerB.exe "$work/pkcs11-TamsuSerB.exe" &&
  env -u TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    TAMSU_SIGN_PKCS11_KEY="pkcs11:token=tamsu-test;object=signer;type=private" TAMSU_SIGN_CERT="$work/signer.crt" \
    TAMSU_SIGN_PASSWORD_FILE="$work/pin" scripts/sign.sh "$work/pkcs11-TamsuSerB.exe"
} >"$work/pkcs11.log" 2>&1
check "a PKCS#11 token (SoftHSM) holding the key signs TamsuSerB.exe" pkcs11
check "TamsuSerB.exe signed through PKCS#11: SHA-1 and nested SHA-256, timestamped, verify" \
  signed_twice "$work/pkcs11-TamsuSerB.exe"

# A failed signing is an error and leaves the file as it was; a key half-configured fails the build.
wrong_password() {
  cp dist/Plugin_ZUVA.dll "$work/wrong-password.dll"
  printf 'not the password\n' > "$work/wrong-password"
  ! TAMSU_SIGN_PASSWORD_FILE=$work/wrong-password scripts/sign.sh "$work/wrong-password.dll" >"$work/wrong-password.log" 2>&1 &&
    grep -q "signing .*wrong-password.dll failed; it is left as it was" "$work/wrong-password.log" &&
    cmp -s dist/Plugin_ZUVA.dll "$work/wrong-password.dll"
}
check "a wrong password fails the signing and leaves the file unchanged" wrong_password
half_configured() {
  rm -rf "$work/half" && cp -a dist "$work/half" && rm -f "$work/half/TamsuSetup_ZUVA.exe"
  ! env -u TAMSU_SIGN_PKCS12 TAMSU_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    installer/build-installer.sh "$work/half" >/dev/null 2>&1 && [ ! -e "$work/half/TamsuSetup_ZUVA.exe" ]
}
check "a PKCS#11 module without its key and certificate fails the build (no setup is made)" half_configured
kill "$tsa_pid" 2>/dev/null

# The signed setup under Wine: the installer test's first scenario, with the signed files as the
# shipped ones (the test program as CTest runs it); it leaves the uninstaller it found installed in
# the copy.
wine_start=$(date +%s)
TAMSU_SETUP_PAYLOAD=$work/dist WINE_RUN_TIMEOUT=300 tests/windows/harness/wine-session --display null -- \
  tests/windows/harness/wine-run build/posix/tests/windows/installer_tests.exe \
  --gtest_filter=PackageInstaller.InstallsRunsAndUninstallsInPlaceKeepingOtherProducts >"$work/wine.log" 2>&1
wine_status=$?
installed() {
  [ "$wine_status" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test\.' "$work/wine.log" ||
    { tail -40 "$work/wine.log" | sed 's/^/      /'; false; }
}
check "the signed setup installs, the service serves, and it uninstalls (Wine, $(( $(date +%s) - wine_start )) s)" installed
check "uninstall.exe as the signed setup installs it: SHA-1 and nested SHA-256, timestamped, verify" \
  signed_twice "$work/dist/uninstall.exe"

echo
printf 'Signing figure: the whole dist/ (%d files, 2 signatures each, timestamped) signed in %d.%03d s;' \
  "$sign_files" $((sign_ms / 1000)) $((sign_ms % 1000))
printf ' with makensis, the signed package took %d.%03d s\n' $((package_ms / 1000)) $((package_ms % 1000))
echo "Signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
