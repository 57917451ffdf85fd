#!/usr/bin/env bash
# What the evidence options cost on a census-sized table: the plain run, with
# -nbr and -json (neighbours file, input digests), and with -perm N placebo
# runs (default 100); prints each time, the cost per placebo run and the
# placebo line itself.
#
# Usage: bench/evidence.sh [N] [extra kelcmd options...]   (e.g. 100 -j 2)
# The table: see bench/census_table.sh. Times are of one run each: take them
# on a quiet machine.
set -euo pipefail
runs=${1:-100}
shift || true
source "$(dirname "$0")/census_table.sh"

seconds() {  # wall seconds of one run; its console in $work/console
  local start end
  start=$(date +%s.%N)
  "$kelcmd" "$@" >"$work/console"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

base=$(seconds "$meta" "$data" "$select" "$work/out.csv" -knn 8 "$@")
evidence=$(seconds "$meta" "$data" "$select" "$work/out.csv" -knn 8 -nbr "$work/nbr.csv" -json "$work/s.json" "$@")
placebo=$(seconds "$meta" "$data" "$select" "$work/out.csv" -knn 8 -perm "$runs" "$@")
echo "plain run:           $base s"
echo "with -nbr and -json: $evidence s ($(wc -l <"$work/nbr.csv") neighbour lines)"
echo "with -perm $runs:       $placebo s, $(awk -v a="$base" -v b="$placebo" -v n="$runs" 'BEGIN { printf "%.3f", (b - a) / n }') s per placebo run"
grep '^placebo:' "$work/console"
