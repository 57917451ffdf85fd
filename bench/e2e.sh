#!/usr/bin/env bash
# The whole analysis end to end, with the straightforward per-pair search
# (-reference) and with the fast search, on a census-sized table: checks that
# both write identical files and prints both times and their ratio.
#
# Usage: bench/e2e.sh [extra kelcmd options...]   (e.g. -j 1, -all, -pre)
# The table: see bench/census_table.sh.
set -euo pipefail
source "$(dirname "$0")/census_table.sh"

seconds() {  # wall seconds of one run
  local start end
  start=$(date +%s.%N)
  "$kelcmd" "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }' 
}

fast=$(seconds "$meta" "$data" "$select" "$work/fast.csv" -dst "$work/fast.dst" "$@")
reference=$(seconds "$meta" "$data" "$select" "$work/reference.csv" -dst "$work/reference.dst" -reference "$@")
cmp "$work/fast.csv" "$work/reference.csv"
cmp "$work/fast.dst" "$work/reference.dst"
printf 'outputs identical (%s rows)\n' "$(wc -l < "$work/fast.csv")"
awk -v f="$fast" -v r="$reference" 'BEGIN { printf "fast      %8.3f s\nreference %8.3f s\nratio     %8.1f x\n", f, r, r / f }' 
