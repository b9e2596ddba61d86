#!/usr/bin/env bash
# The demo's steps; run inside a Wine session by scripts/demo.sh. Each step prints what it does
# and whether it passed; the summary comes last.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist="$root/dist"
run() { timeout -k 5 60 wine "$@" </dev/null; }
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }
passed=0
failed=0
step() { printf '\n-- %s\n' "$1"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then printf '   PASS  %s\n' "$what"; passed=$((passed + 1)); else printf '   FAIL  %s\n' "$what"; failed=$((failed + 1)); fi
}
service_state() { timeout 30 wine sc query "Tamsu Service _ZUVA" 2>/dev/null </dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
install_dir="C:\\Program Files (x86)\\Tamsu_ZUVA"
unix_install_dir="$WINEPREFIX/drive_c/Program Files (x86)/Tamsu_ZUVA"
cli="$dist/tools/TamsuCli.exe"
keysim="$dist/tools/TamsuKeySim.exe"

step "1. The silent installer installs the package"
timeout 180 wine "$dist/TamsuSetup_ZUVA.exe" /S </dev/null
check "the installer ended" true
for _ in $(seq 50); do [ "$(service_state)" = RUNNING ] && break; sleep 0.2; done
check "Wine's service control manager runs \"Tamsu Service _ZUVA\"" [ "$(service_state)" = RUNNING ]
check "the program files are in $install_dir" test -f "$unix_install_dir/TamsuSerB.exe" -a -f "$unix_install_dir/TamsuVD_ZUVA.dll"
sleep 2
check "the service's monitor child runs" bash -c "ps aux | grep -v grep | grep -q 'TamsuSerB.exe -m'"

step "2. TamsuCli list asks the real service: this machine has no key"
out=$(run "$cli" list 2>&1 | tr -d '\r'); code=$?
printf '%s\n' "$out" | sed 's/^/   | /'
check "the list answers, with no key" [ "$code" -eq 0 ]

step "3. The key simulator serves two simulated keys (the service is stopped for it first)"
run "$unix_install_dir/TamsuSerB.exe" -k >/dev/null 2>&1
for _ in $(seq 50); do [ "$(service_state)" = STOPPED ] && break; sleep 0.2; done
check "the service stopped" [ "$(service_state)" = STOPPED ]
# The client library takes only the installed service, unless a developer allows any server.
export TAMSU_ALLOW_ANY_SERVER=1
timeout 60 wine "$keysim" --keys 2 --duration 25 </dev/null >/tmp/tamsu-demo-keysim.$$ 2>&1 &
sim=$!
sleep 3
sed 's/^/   | /' /tmp/tamsu-demo-keysim.$$
out=$(run "$cli" list 2>&1 | tr -d '\r'); code=$?
printf '%s\n' "$out" | sed 's/^/   | /'
check "TamsuCli lists the two simulated keys" bash -c "[ $code -eq 0 ] && [ \$(printf '%s\n' \"\$1\" | grep -c 'ven_varnelle') -ge 2 ]" _ "$out"
out=$(run "$cli" send --key 0 "00 A4 04 00 02 3F 00" "00 B0 00 00 10" 2>&1 | tr -d '\r'); code=$?
printf '%s\n' "$out" | sed 's/^/   | /'
check "short APDUs are answered (status 9000)" bash -c "[ $code -eq 0 ] && printf '%s' \"\$1\" | grep -q 9000" _ "$out"
long=$(printf '00D6000000012C'; head -c 600 /dev/zero | tr '\0' 'A')
out=$(run "$cli" send --key 1 "$long" 2>&1 | tr -d '\r'); code=$?
printf '%s\n' "$out" | grep -E '^(Key|> |< |SW)' | sed 's/^/   | /'
check "a long APDU (307 bytes) is answered whole" bash -c "[ $code -eq 0 ] && printf '%s' \"\$1\" | grep -q 9000" _ "$out"
wait "$sim" 2>/dev/null
rm -f /tmp/tamsu-demo-keysim.$$

step "4. The uninstaller removes everything"
timeout 180 wine "$unix_install_dir/uninstall.exe" /S "_?=$install_dir" </dev/null
rm -f "$unix_install_dir/uninstall.exe"; rmdir "$unix_install_dir" 2>/dev/null
sleep 2
check "the service is gone" [ -z "$(service_state)" ]
leftover() { pgrep -af 'TamsuSerB[.]exe' | grep -v -e pgrep -e 'timeout' || true; }
for _ in $(seq 25); do [ -z "$(leftover)" ] && break; sleep 0.2; done
leftover | sed 's/^/   | still running: /'
check "no TamsuSerB process is left" [ -z "$(leftover)" ]
check "the install folder is gone" [ ! -e "$unix_install_dir" ]
check "the uninstall entry is gone" bash -c "! timeout 30 wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamsu_ZUVA' /reg:32 >/dev/null 2>&1 </dev/null"
check "EnableDesktop is gone" bash -c "! timeout 30 wine reg query 'HKCU\\Software\\Varnelle\\Tamsu_ZUVA' /v EnableDesktop >/dev/null 2>&1 </dev/null"
check "the Run entry is gone (64-bit view)" bash -c "! timeout 30 wine reg query 'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run' /v TamsuReg_ZUVA.exe /reg:64 >/dev/null 2>&1 </dev/null"

printf '\n== Demo summary: %d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
