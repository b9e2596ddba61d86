#!/usr/bin/env bash
# Builds the sources again, in another folder and later than the build in dist/, and compares the
# unsigned files byte for byte: every file that differs or is missing is named, and the exit code
# is 1.
#   scripts/check-reproducible.sh [--deliverables]
# dist/ is the first build (run scripts/build.sh before); --deliverables builds and compares only
# what the setup installs (the deliverables, the web host, TamsuCli), its aid and the setup itself
# (the test command's quick form).
# When dist/ is signed, the first build's unsigned files are recovered: the signatures are removed
# from a copy of its files and the setup is made again from them without a key.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=()
case "$*" in
  "") ;;
  --deliverables) mode=(--deliverables) ;;
  *) echo "usage: scripts/check-reproducible.sh [--deliverables]" >&2; exit 1 ;;
esac
[ -f dist/TamsuSetup_ZUVA.exe ] || { echo "reproducible: no dist/; run scripts/build.sh first" >&2; exit 1; }

# The second build: the same sources (what git tracks or would, as they are now), in a folder of
# another name and depth, another time zone, nothing of the first build's tree.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then SOURCE_DATE_EPOCH=$(git log -1 --format=%ct); fi
export SOURCE_DATE_EPOCH
# dist/ from another commit (or another SOURCE_DATE_EPOCH) cannot match: say so rather than list
# every image as differing. The PE header's time stamp is 8 bytes into it.
pe=$(od -An -tu4 -j60 -N4 dist/TamsuSerB.exe | tr -d ' ')
stamp=$(od -An -tu4 -j$((pe + 8)) -N4 dist/TamsuSerB.exe | tr -d ' ')
if [ "$stamp" != "$SOURCE_DATE_EPOCH" ]; then
  echo "reproducible: dist/TamsuSerB.exe is stamped $stamp, not SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH" \
       "(the last commit's time): run scripts/build.sh for this commit first" >&2
  exit 1
fi
work=$root/build/repro-second-build
rm -rf "$work"
mkdir -p "$work/sources"
git ls-files -z --cached --others --exclude-standard --deduplicate |
  while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
  tar --null -T - -cf - | tar -xf - -C "$work/sources"
start=$(date +%s)
# No key: the comparison is of unsigned files.
if ! (cd "$work/sources" && env -u TAMSU_SIGN_PKCS12 -u TAMSU_SIGN_PKCS11_MODULE -u TAMSU_SIGN_PKCS11_KEY \
      TZ=XYZ-14 ./scripts/build.sh "${mode[@]}") >"$work/build.log" 2>&1; then
  tail -20 "$work/build.log" >&2
  echo "reproducible: the second build failed (log: $work/build.log)" >&2
  exit 1
fi
echo "reproducible: second build in $work/sources: $(( $(date +%s) - start )) s"
second=$work/sources/dist

# The first build, unsigned.
first=$root/dist
signed=0
for file in $(cd dist && find . -name '*.exe' -o -name '*.dll'); do
  rm -f "$work/signature"  # extract-signature writes no file that exists
  if osslsigncode extract-signature -in "dist/$file" -out "$work/signature" >/dev/null 2>&1; then signed=1; break; fi
done
if [ "$signed" -eq 1 ]; then
  first=$work/first-unsigned
  cp -a dist "$first"
  env -u TAMSU_SIGN_PKCS12 -u TAMSU_SIGN_PKCS11_MODULE -u TAMSU_SIGN_PKCS11_KEY \
    ./installer/build-installer.sh "$first" >/dev/null
  echo "reproducible: dist/ is signed; its files are compared without their signatures"
fi

# Everything the second build made, but the list of sums, whose signed form differs by design.
compared=0
differ=()
while IFS= read -r name; do
  compared=$((compared + 1))
  if [ ! -f "$first/$name" ]; then
    differ+=("$name (not in dist/)")
  elif ! cmp -s "$first/$name" "$second/$name"; then
    differ+=("$name")
  fi
done < <(cd "$second" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)
if [ ${#mode[@]} -eq 0 ]; then
  while IFS= read -r name; do
    [ -f "$second/$name" ] || differ+=("$name (not made by the second build)")
  done < <(cd "$first" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)
fi
# A second build that made nothing compares nothing: never "all identical".
[ "$compared" -gt 0 ] || { echo "reproducible: the second build made no file in $second" >&2; exit 1; }
if [ ${#differ[@]} -gt 0 ]; then
  printf 'reproducible: differs: %s\n' "${differ[@]}" >&2
  echo "reproducible: $((compared - ${#differ[@]})) of $compared files identical; both builds are kept in $work" >&2
  exit 1
fi
echo "reproducible: all $compared files identical to the first build's"
rm -rf "$work"
