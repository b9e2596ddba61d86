#!/usr/bin/env bash
# Fails when an image is not marked for ASLR (DYNAMIC_BASE) and DEP (NX_COMPAT), or has lost the
# base relocations without which the loader cannot move it, whatever DYNAMIC_BASE says.
#   check-pe-mitigations.sh FILE...
set -euo pipefail
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

status=0
for file in "$@"; do
  name=$(basename "$file")
  if ! headers=$("$objdump" -p "$file" 2>/dev/null); then
    echo "mitigation check: $name: objdump cannot read it as an image" >&2
    status=1; continue
  fi
  # The first Characteristics line is the COFF header's; entry 5 of the data directories is the
  # base relocation table (RVA, size).
  read -r format chars dllchars relsize < <(printf '%s\n' "$headers" | awk '
    / file format / && format == "" { format = $NF }
    /^Characteristics 0x[0-9a-f]+$/ && chars == "" { chars = $2 }
    /^DllCharacteristics\t+[0-9a-f]+$/ && dll == "" { dll = "0x" $2 }
    /^Entry 5 [0-9a-f]+ [0-9a-f]+ / && rel == "" { rel = "0x" $4 }
    END { printf "%s %s %s %s\n", format == "" ? "-" : format, chars == "" ? "-" : chars,
                                  dll == "" ? "-" : dll, rel == "" ? "-" : rel }')
  hex='^0x[0-9a-f]+$'
  if [[ $format != pei-* || ! $chars =~ $hex || ! $dllchars =~ $hex || ! $relsize =~ $hex ]]; then
    echo "mitigation check: $name: not a PE image, or its headers could not be read" >&2
    status=1; continue
  fi
  missing=()
  (( dllchars & 0x40 )) || missing+=("DYNAMIC_BASE not set (no ASLR)")
  (( dllchars & 0x100 )) || missing+=("NX_COMPAT not set (no DEP)")
  (( chars & 0x1 )) && missing+=("relocations stripped (RELOCS_STRIPPED set)")
  (( relsize )) || missing+=("no base relocation data")
  if (( ${#missing[@]} )); then
    printf -v listed '%s; ' "${missing[@]}"
    echo "mitigation check: $name: ${listed%; }" >&2
    status=1
  else
    echo "mitigation check: $name: DYNAMIC_BASE NX_COMPAT, relocations kept ($((relsize)) bytes)"
  fi
done
exit $status
