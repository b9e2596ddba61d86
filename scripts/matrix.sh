#!/usr/bin/env bash
# Runs the end-to-end scenarios in every Windows configuration Wine can present and prints a table:
# configuration against scenario, pass or fail. Run after ./scripts/build.sh and a build of the
# Windows tier (build/posix, as ./scripts/test.sh makes it).
#   scripts/matrix.sh [ARCH:VERSION ...]     default: every configuration below
# The test command runs a cross-section of it (scripts/test.sh, "Windows versions").
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# What Wine 8 accepts: a 32-bit prefix (32-bit Windows, no WOW64) takes nt40 to win10 but not
# winxp64; a 64-bit prefix takes winxp64 and later but not nt40, win2k or winxp.
all_configs=(win32:nt40 win32:win2k win32:winxp win32:win2003 win32:vista win32:win7 win32:win8 win32:win10
             win64:winxp64 win64:win2003 win64:vista win64:win7 win64:win8 win64:win81 win64:win10)
# Each scenario: a name and the CTest tests that make it up.
scenarios=(
  "package:^PackageInstaller\\.Installs"
  "service:^ServiceTest\\.(InstallStartControlStopRemove|KilledMonitorIsRestartedAndTheRunEntryKept)$"
  "security:^PipeSecurity\\.|^ServiceMutex\\."
  "plug-in:^PluginInstaller\\.|^PopArgument\\.|^LongArguments\\."
  "pin-entry:^PinEntry\\."
)
# The package needs Windows 2000 or later, and its installer says so on NT 4: no package there.
# The secure desktop is shown on XP, 7 and 10 (it needs Xvfb, the slowest session).
applies() {  # CONFIG SCENARIO
  case "$1:$2" in
    win32:nt40:package|win32:nt40:service) return 1 ;;
    *:winxp:pin-entry|*:win7:pin-entry|*:win10:pin-entry) return 0 ;;
    *:pin-entry) return 1 ;;
  esac
  return 0
}

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=("${all_configs[@]}")
logs=build/test-logs/matrix
mkdir -p "$logs"
declare -A result
failed=0
# One session per configuration and display: the scenarios' tests run together, and each
# scenario passes when all of its tests ran and passed.
for config in "${configs[@]}"; do
  arch=${config%%:*}; version=${config#*:}
  for display in null xvfb; do
    regex=
    for scenario in "${scenarios[@]}"; do
      name=${scenario%%:*}
      { [ "$name" = pin-entry ] && [ "$display" = xvfb ]; } || { [ "$name" != pin-entry ] && [ "$display" = null ]; } || continue
      applies "$config" "$name" && regex="${regex:+$regex|}${scenario#*:}"
    done
    [ -n "$regex" ] || continue
    log="$logs/$arch-$version-$display.log"
    tests/windows/harness/wine-session --display "$display" --arch "$arch" --version "$version" -- \
      ctest --test-dir build/posix -R "$regex" --output-on-failure --timeout 300 >"$log" 2>&1
    for scenario in "${scenarios[@]}"; do
      name=${scenario%%:*}
      { [ "$name" = pin-entry ] && [ "$display" = xvfb ]; } || { [ "$name" != pin-entry ] && [ "$display" = null ]; } || continue
      applies "$config" "$name" || continue
      ran=$(grep -E "Test +#[0-9]+: " "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | grep -cE "${scenario#*:}")
      bad=$(grep -E "Test +#[0-9]+: " "$log" | grep -vE " Passed " | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' |
            grep -cE "${scenario#*:}")
      if [ "$ran" -gt 0 ] && [ "$bad" -eq 0 ]; then
        result[$config/$name]=pass
      else
        result[$config/$name]=FAIL; failed=$((failed + 1))
      fi
    done
  done
  # "-" where a scenario does not apply, whichever session it belongs to.
  for scenario in "${scenarios[@]}"; do
    applies "$config" "${scenario%%:*}" || result[$config/${scenario%%:*}]="-"
  done
done

printf '\n%-16s' "configuration"
for scenario in "${scenarios[@]}"; do printf '%-11s' "${scenario%%:*}"; done
printf '\n'
for config in "${configs[@]}"; do
  printf '%-16s' "$config"
  for scenario in "${scenarios[@]}"; do printf '%-11s' "${result[$config/${scenario%%:*}]}"; done
  printf '\n'
done
printf '\n(logs in %s; "-" does not apply)\n' "$logs"
[ "$failed" -eq 0 ]
