#!/usr/bin/env bash
# How the whole analysis scales from one thread to more: runs the program
# with -j 1 and with -j N in alternation, RUNS times each, checks that every
# output is identical, and prints the median and best wall times, the ratio
# of the medians and the median ratio of runs made one after the other. Alternating and taking medians keeps a busy or noisy
# machine from favouring either side.
#
# Usage: bench/threads.sh [N (default 2)] [RUNS (default 21)] [extra kelcmd options...]
# The table: see bench/census_table.sh.
set -euo pipefail
threads=${1:-2}
runs=${2:-21}
shift $(( $# < 2 ? $# : 2 ))
source "$(dirname "$0")/census_table.sh"

run() {  # prints the wall microseconds of one run with -j $1
  # EPOCHREALTIME is read by the shell itself: no process is timed but kelcmd.
  local start=${EPOCHREALTIME/[.,]/}
  "$kelcmd" "$meta" "$data" "$select" "$work/out$1.csv" -dst "$work/out$1.dst" -j "$1" "${@:2}" >/dev/null
  local end=${EPOCHREALTIME/[.,]/}
  echo $(( end - start ))
}

for _ in $(seq "$runs"); do
  echo "1 $(run 1 "$@")" >>"$work/times"
  echo "$threads $(run "$threads" "$@")" >>"$work/times"
  cmp -s "$work/out1.csv" "$work/out$threads.csv" && cmp -s "$work/out1.dst" "$work/out$threads.dst" ||
    { echo "outputs differ between -j 1 and -j $threads" >&2; exit 1; }
done

stats() {  # median and best of one thread count, in ms
  awk -v j="$1" '$1 == j { print $2 }' "$work/times" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.1f %.1f", v[int((NR + 1) / 2)] / 1000, v[1] / 1000 }'
}
read -r m1 b1 <<<"$(stats 1)"
read -r mn bn <<<"$(stats "$threads")"
printf 'outputs identical over %s runs each\n' "$runs"
printf -- '-j 1   median %7.1f ms  best %7.1f ms\n' "$m1" "$b1"
printf -- '-j %-3s median %7.1f ms  best %7.1f ms\n' "$threads" "$mn" "$bn"
# Each -j 1 run and the -j N run right after it met much the same machine:
# the median of their ratios is the least disturbed by a machine whose speed
# drifts.
paired=$(awk -v j="$threads" '$1 == 1 { one = $2 } $1 == j { print one / $2 }' "$work/times" | sort -g |
  awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }')
awk -v a="$m1" -v b="$mn" -v n="$threads" -v p="$paired" \
  'BEGIN { printf "%s threads: %.2fx faster than 1 (ratio of the medians), %.2fx (median of paired runs)\n", n, a / b, p }'
