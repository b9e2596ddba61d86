#!/usr/bin/env bash
# Runs every test: the import check of the deliverables, the native tier (GoogleTest under
# AddressSanitizer and UndefinedBehaviorSanitizer, then libFuzzer targets) and the Windows tier (GoogleTest cross-built
# for i686, run under Wine in a private prefix that is made and removed here), the browser tier, the
# signing of a copy of dist/ and a second build of the deliverables that must be identical.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s)
logs=build/test-logs
mkdir -p "$logs"

./scripts/build.sh

echo; echo "== Import, mitigation and version resource checks"
./scripts/check-binaries.sh dist
# The check itself must catch an import newer than XP.
if ./scripts/check-imports.sh tests/imports/xp-allowlist.txt build/win32/tests/imports/newer_import_probe.exe \
    >/dev/null 2>&1; then
  echo "import check: a binary importing GetTickCount64 passed the check" >&2
  exit 1
fi
echo "import check: a binary importing GetTickCount64 is refused"
# Each check itself must refuse each probe, and for what that probe lacks.
refused_by() {  # CHECK (mitigation|version), FILE, what the refusal must name, what the file is
  local out script=check-pe-mitigations.sh
  [[ $1 == version ]] && script=check-version-resources.sh
  if out=$(./scripts/"$script" "$2" 2>&1); then
    echo "$1 check: $4 passed the check" >&2
    return 1
  fi
  if [[ $out != *"$3"* ]]; then
    echo "$1 check: $4 was refused without naming \"$3\": $out" >&2
    return 1
  fi
  echo "$1 check: $4 is refused"
}
refused() { refused_by mitigation "build/win32/tests/imports/$1" "$2" "$3"; }
refused no_aslr_probe.exe "DYNAMIC_BASE not set" "a binary without ASLR"
refused no_nx_probe.exe "NX_COMPAT not set" "a binary without DEP"
refused relocs_stripped_probe.exe "relocations stripped" "a binary with its relocations stripped"
refused no_reloc_data_probe.exe "no base relocation data" "a binary marked DYNAMIC_BASE without relocation data"
# A program's image under a DLL's name: its own OriginalFilename and a manifest no DLL may carry.
mkdir -p build/test-probes && cp dist/TamsuSerB.exe build/test-probes/Plugin_ZUVA.dll
refused_by version build/win32/tests/imports/newer_import_probe.exe \
  "no VERSIONINFO resource; no manifest" "a program without version resource and manifest"
refused_by version build/test-probes/Plugin_ZUVA.dll "OriginalFilename is 'TamsuSerB.exe'" \
  "a program renamed"
refused_by version build/test-probes/Plugin_ZUVA.dll "a DLL carrying a manifest" \
  "a DLL with a manifest"

echo; echo "== Client library (dist/sdk): import libraries for MSVC and MinGW, samples (its checks are above)"
objdump64=x86_64-w64-mingw32-objdump  # reads both image formats
imports_of() { "$objdump64" -p "$1" | sed -n '/DLL Name: TamsuClient.dll/,/^$/p' | awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | sort; }
exports_of() { "$objdump64" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[ *[0-9]+\]/ { print $NF }' | sort; }
# A program linked with each import library must import exactly the names the DLL exports: on x86,
# MSVC's and MinGW's callers reference the decorated stdcall names (_Name@N), which must lead to
# the undecorated exports.
sdk_links() {  # ARCH CLANG_TARGET LLD_MACHINE MINGW_TRIPLE
  local arch=$1 out=build/sdk-check/$1 exports
  mkdir -p "$out"
  exports=$(exports_of "dist/sdk/$arch/TamsuClient.dll")
  clang --target="$2" -c tests/windows/sdk/msvc_caller.c -o "$out/msvc_caller.obj"
  lld-link /nologo /entry:start /nodefaultlib /subsystem:console /machine:"$3" /out:"$out/msvc_caller.exe" \
    "$out/msvc_caller.obj" "dist/sdk/$arch/TamsuClient.lib"
  "$4-gcc-win32" -std=c89 -pedantic -Wall -Wextra -Werror -Idist/sdk/include dist/sdk/samples/list_and_send.c \
    -Ldist/sdk/"$arch" -lTamsuClient -o "$out/list_and_send.exe"
  for program in msvc_caller list_and_send; do
    if [ "$(imports_of "$out/$program.exe")" != "$exports" ]; then
      echo "sdk: $arch $program.exe imports $(imports_of "$out/$program.exe" | xargs), the DLL exports $(xargs <<<"$exports")" >&2
      return 1
    fi
  done
  echo "sdk: $arch: TamsuClient.lib links an MSVC object, the sample builds with MinGW; both import $(xargs <<<"$exports")"
}
sdk_links x86 i686-pc-windows-msvc x86 i686-w64-mingw32
sdk_links x64 x86_64-pc-windows-msvc x64 x86_64-w64-mingw32

echo; echo "== Native tier"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j"$(nproc)"
ctest --test-dir build/native -j"$(nproc)" --output-on-failure --timeout 120 2>&1 | tee "$logs/native.log"

echo; echo "== Fuzzing (libFuzzer, ASan, UBSan; bounded time per target)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DTAMSU_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSU_FUZZ_SECONDS=10 >/dev/null
cmake --build build/fuzz -j"$(nproc)"
ctest --test-dir build/fuzz -j"$(nproc)" --verbose >"$logs/fuzz-verbose.log" 2>&1 || true
./scripts/fuzz-summary.sh "$logs/fuzz-verbose.log" | tee "$logs/fuzz.log"

echo; echo "== Windows tier (Wine)"
cmake -S . -B build/posix -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw-posix.cmake \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/posix -j"$(nproc)"
figures=build/posix/tests/windows/figures.log
rm -f "$figures"
# Both tiers run as 64-bit Windows 7 (WOW64): the matrix below adds 32-bit XP and 64-bit 10.
tests/windows/harness/wine-session --display null --version win7 -- \
  ctest --test-dir build/posix -L windows --output-on-failure --timeout 150 2>&1 | tee "$logs/windows.log"
echo; echo "== Windows tier with a display (Wine under Xvfb)"
tests/windows/harness/wine-session --display xvfb --version win7 -- \
  ctest --test-dir build/posix -L display --output-on-failure --timeout 150 2>&1 | tee "$logs/display.log"

echo; echo "== Windows versions: 32-bit XP and 64-bit 10 beside the tiers' 64-bit 7 (scripts/matrix.sh runs every one)"
matrix_failed=0
./scripts/matrix.sh win32:winxp win64:win10 2>&1 | tee "$logs/matrix.log" || matrix_failed=1

echo; echo "== Browser: the extension, the page library and TamsuWebHost in headless Chromium"
browser_failed=0
tests/windows/harness/wine-session --display null -- python3 tests/browser/run.py \
  --host-command "wine $root/dist/TamsuWebHost.exe" --keysim "$root/dist/tools/TamsuKeySim.exe" 2>&1 |
  tee "$logs/browser.log" || browser_failed=1
# A host that garbles or never answers can only be a stand-in's.
python3 tests/browser/run.py --only bad_host_reply silent_host 2>&1 | tee -a "$logs/browser.log" || browser_failed=1

echo; echo "== Signing: a signed copy of dist/ with a throwaway CA, through PKCS#12 and PKCS#11, installed under Wine"
signing_failed=0
./scripts/check-signing.sh 2>&1 | tee "$logs/signing.log" || signing_failed=1

echo; echo "== Reproducible build: the deliverables built again elsewhere, and dist/SHA256SUMS"
reproducible_failed=0
./scripts/check-reproducible.sh --deliverables 2>&1 | tee "$logs/reproducible.log" || reproducible_failed=1
# The list of sums names every file in dist/ and matches each.
if (cd dist && sha256sum --quiet --strict -c SHA256SUMS) &&
   [ "$(cd dist && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)" = "$(awk '{ print $2 }' dist/SHA256SUMS)" ]; then
  echo "PASS  dist/SHA256SUMS lists every file of dist/ with its SHA-256" | tee -a "$logs/reproducible.log"
else
  echo "FAIL  dist/SHA256SUMS does not list every file of dist/ with its SHA-256" | tee -a "$logs/reproducible.log"
  reproducible_failed=$((reproducible_failed + 1))
fi

echo; echo "== Figures of the soak and fault runs"
cat "$figures" 2>/dev/null || echo "(none recorded)"

summary() { grep -E 'tests passed, [0-9]+ tests failed out of' "$1" | tail -1; }
count() { summary "$1" | sed -E "s/.*, ([0-9]+) tests failed out of ([0-9]+).*/\\$2/"; }
native_failed=$(( $(count "$logs/native.log" 1) + $(count "$logs/fuzz.log" 1) ))
native_total=$(( $(count "$logs/native.log" 2) + $(count "$logs/fuzz.log" 2) ))
windows_failed=$(( $(count "$logs/windows.log" 1) + $(count "$logs/display.log" 1) ))
windows_total=$(( $(count "$logs/windows.log" 2) + $(count "$logs/display.log" 2) ))
browser_total=$(grep -cE '^(PASS|FAIL) ' "$logs/browser.log" || true)
browser_failed_cases=$(grep -cE '^FAIL ' "$logs/browser.log" || true)
[ "$browser_failed" -eq 0 ] || [ "$browser_failed_cases" -gt 0 ] || browser_failed_cases=1
signing_total=$(grep -cE '^(PASS|FAIL) ' "$logs/signing.log" || true)
signing_failed_checks=$(grep -cE '^FAIL ' "$logs/signing.log" || true)
[ "$signing_failed" -eq 0 ] || [ "$signing_failed_checks" -gt 0 ] || signing_failed_checks=1
failed=$((native_failed + windows_failed + matrix_failed + browser_failed_cases + signing_failed_checks + reproducible_failed))
passed=$((native_total + windows_total + browser_total - native_failed - windows_failed - browser_failed_cases +
          signing_total - signing_failed_checks + 2 - reproducible_failed))
echo
echo "Native tier (with fuzzing): $((native_total - native_failed)) of $native_total passed"
echo "Windows tier: $((windows_total - windows_failed)) of $windows_total passed"
echo "Browser: $((browser_total - browser_failed_cases)) of $browser_total cases passed"
echo "Signing: $((signing_total - signing_failed_checks)) of $signing_total checks passed"
grep '^Signing figure:' "$logs/signing.log" || true
if [ "$reproducible_failed" -eq 0 ]; then echo "Reproducible build: the deliverables and the setup built again are identical; SHA256SUMS matches dist/"
else echo "Reproducible build: a file differs or SHA256SUMS does not match (above)"; fi
if [ "$matrix_failed" -eq 0 ]; then echo "Windows versions: every scenario passed on 32-bit XP and 64-bit 10, and the tiers ran as 64-bit 7"
else echo "Windows versions: a scenario failed (the table above)"; fi
echo "Suite time: $(( $(date +%s) - start )) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
