#!/usr/bin/env bash
# Installs what is missing, builds the native, win64 and win32 trees and a sanitizer build,
# and runs every test: unit tests, korvane-sim end to end, korvane.exe under Wine, and each
# fuzz target for a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup.sh
korvane_setup all

jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '\n== %s\n' "$*"; }

step "win64 and win32 builds"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

step "native build"
cmake --preset native -DKORVANE_WIN64_BUILD="$root/build/win64" -DKORVANE_WIN32_BUILD="$root/build/win32" >/dev/null
cmake --build --preset native -j "$jobs"

step "sanitizer build (address, undefined)"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize -j "$jobs"

status=0
step "tests with sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset native-sanitize -j "$jobs" || status=1

step "tests"
# Whether the i686 build runs under Wine here, in its 32-bit prefix; where not, ctest reports
# those cases as skipped.
KORVANE_WINE_ARCH=win32 python3 tests/wine/winehost.py check-arch || true
ctest --preset native -j "$jobs" || status=1

step "fuzz targets, a minute each"
scripts/fuzz.sh 60 || status=1
exit $status
