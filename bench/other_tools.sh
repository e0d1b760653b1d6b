#!/usr/bin/env bash
# The hive benchmark's installation read by korvane-sim and by the tools a user would otherwise
# reach for: hivexget (one value), hivexregedit --export and reged -x (the whole hive as a .reg
# file). Each runs ROUNDS times in turns; the median time and the median peak resident memory
# are printed, as /usr/bin/time gives them.
#   bench/other_tools.sh BUILD_DIR [ROUNDS]   (BUILD_DIR: a bench build, such as build/bench)
set -euo pipefail
build=${1:?usage: bench/other_tools.sh BUILD_DIR [ROUNDS]}
rounds=${2:-5}
for tool in hivexget hivexregedit reged /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/setup.sh bench" >&2; exit 2; }
done
scratch=$(mktemp -d /tmp/korvane-tools-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
"$build/bench/korvane-bench" write-hives "$scratch/WINDOWS" >/dev/null
system="$scratch/WINDOWS/system32/config/SYSTEM"
echo "SYSTEM hive: $(stat -c %s "$system") bytes; $rounds rounds in turns, medians"

names=("korvane-sim --json --windows (a preview)" "hivexget SYSTEM '\\Select' Current"
       "hivexregedit --export SYSTEM '\\'" "reged -x SYSTEM HKEY_LOCAL_MACHINE\\SYSTEM '\\'")
run() {  # run INDEX: one tool, its output dropped; prints "SECONDS KB"
  local out="$scratch/out.reg"
  rm -f "$out"
  case $1 in
    0) /usr/bin/time -f '%e %M' -o "$scratch/time" "$build/korvane-sim" --json --windows "$scratch/WINDOWS" >/dev/null ;;
    1) /usr/bin/time -f '%e %M' -o "$scratch/time" hivexget "$system" '\Select' Current >/dev/null ;;
    2) /usr/bin/time -f '%e %M' -o "$scratch/time" hivexregedit --export "$system" '\' >"$out" ;;
    3) /usr/bin/time -f '%e %M' -o "$scratch/time" reged -x "$system" 'HKEY_LOCAL_MACHINE\SYSTEM' '\' "$out" >/dev/null ;;
  esac
  tail -n 1 "$scratch/time"
}
declare -A seconds kilobytes
for ((round = 0; round < rounds; round++)); do
  for i in "${!names[@]}"; do
    read -r s k < <(run "$i")
    seconds[$i]+="$s "; kilobytes[$i]+="$k "
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
printf '%-52s %8s %10s\n' "" "time" "peak"
for i in "${!names[@]}"; do
  printf '%-52s %6.2f s %6.1f MiB\n' "${names[$i]}" "$(median <<<"${seconds[$i]}")" \
    "$(median <<<"${kilobytes[$i]}" | awk '{print $1 / 1024}')"
done
