#!/usr/bin/env bash
# README's first command: installs the prerequisites, builds everything into dist/, then shows the
# package working under Wine in a private prefix that is removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/build.sh
echo
echo "== Demo under Wine (a private prefix, removed at the end)"
exec tests/windows/harness/wine-session -- "$root/scripts/demo-steps.sh"
