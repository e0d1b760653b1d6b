#!/usr/bin/env bash
# Builds korvane-sim and runs it on the bundled sample machine (or as the options say):
#   scripts/run.sh [korvane-sim options]      e.g. scripts/run.sh --lang 0x0411
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup.sh
korvane_setup native
cmake --preset native >/dev/null
cmake --build --preset native --target korvane-sim >/dev/null
exec build/native/korvane-sim "$@"
