#!/usr/bin/env bash
# Builds the libFuzzer targets (a clang build with address and undefined-behaviour sanitizers
# in build/fuzz) and runs each of them, one after the other, for a bounded time:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      default: 60 seconds each, every target
#   scripts/fuzz.sh 600                        ten minutes each
# Each target starts from its committed seeds in fuzz/corpus/TARGET, copied into a working
# corpus under build/fuzz/corpus/TARGET that grows from run to run; the committed seeds are
# never changed. Crashing, leaking or slow inputs land in build/fuzz/findings/TARGET/, and the
# script then exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup.sh

seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_machine_file fuzz_run fuzz_hive)

# What the build needs (hivex, pkg-config, ...), as for the native build, and clang with the
# compiler-rt runtimes (libFuzzer, the sanitizers) from Debian.
korvane_setup native
korvane_apt_install clang libclang-rt-dev

build=build/fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]}"

# Inputs larger than these only repeat what smaller ones reach: a machine file of a few
# kilobytes holds every construct, a run input of 4 KB describes hundreds of keys, and a hive
# of six bins holds a sample installation's SYSTEM with room for the run's keys.
max_len() {
  case "$1" in
    fuzz_machine_file) echo 8192 ;;
    fuzz_hive) echo 28672 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/$target"
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/$target.log"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  dict=()
  [ "$target" = fuzz_machine_file ] && dict=(-dict=fuzz/machine_file.dict)
  [ "$target" = fuzz_hive ] && dict=(-dict=fuzz/hive.dict)

  printf '\n== %s for %s s (log: %s)\n' "$target" "$seconds" "$log"
  result=0
  "$binary" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || result=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  grep -E '^Done [0-9]+ runs' "$log" || true
  if [ "$result" -ne 0 ]; then
    status=1
    echo "$target: FINDING (exit $result); the input is in $findings/, the report in $log:" >&2
    grep -m 1 -E 'ERROR|fuzz_[a-z_]+: |runtime error|Test unit written' "$log" >&2 || tail -n 20 "$log" >&2
    summary+=("$target: finding after ${runs:-?} runs")
  else
    summary+=("$target: ${runs:-?} runs in $seconds s, no finding")
  fi
done

printf '\n== summary\n'
printf '%s\n' "${summary[@]}"
exit $status
