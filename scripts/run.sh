#!/usr/bin/env bash
# Builds korvane-sim (build/native/korvane-sim) and runs it on the bundled sample machine, or
# as the options say:
#   scripts/run.sh [korvane-sim options]      e.g. scripts/run.sh --lang 0x0411
# The build is quiet when it succeeds; when it fails, its own output is shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup.sh
korvane_setup native
log=$(mktemp)
if ! { cmake --preset native && cmake --build --preset native --target korvane-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "run.sh: the build failed (its output is above)" >&2
  exit 1
fi
rm -f "$log"
exec build/native/korvane-sim "$@"
