#!/usr/bin/env bash
# Fails when a deliverable imports a function that is not on the allowlist of functions that exist
# on Windows XP SP3 (DLL and function; DLL names compared without case).
#   check-imports.sh ALLOWLIST FILE...
set -euo pipefail
allow=$1; shift
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

allowed=$( { grep -vE '^\s*(#|$)' "$allow" || true; } | awk '{print toupper($1) " " $2}' | sort -u)
status=0
for file in "$@"; do
  imports=$("$objdump" -p "$file" | awk '
    /^\tDLL Name:/ { dll = toupper($3); next }
    /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ && dll != "" { print dll " " $NF }
    /^\t[0-9a-f]+\t +[0-9]+ *$/ && dll != "" { print dll " #ordinal" }
    /^$/ { }' | sort -u)
  count=$(printf '%s\n' "$imports" | grep -c . || true)
  bad=$(comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$allowed") | grep . || true)
  if [ -n "$bad" ]; then
    echo "import check: $(basename "$file") imports what is not allowed:" >&2
    printf '  %s\n' $bad | paste - - >&2
    status=1
  else
    echo "import check: $(basename "$file"): $count imports, all on the XP allowlist"
  fi
done
exit $status
