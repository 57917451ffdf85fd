#!/usr/bin/env bash
# The whole analysis end to end, with the straightforward per-pair search
# (-reference) and with the fast search, on a census-sized table: checks that
# both write identical files and prints both times and their ratio.
#
# Usage: bench/e2e.sh [extra kelcmd options...]   (e.g. -j 1, -all, -pre)
# Uses ../shared/data/adult (48,842 rows, 16,192 women) when present,
# otherwise a generated hiring table of the same size.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release >/dev/null
cmake --build --preset release --target kelcmd >/dev/null
kelcmd=$root/build/release/app/kelcmd
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

adult=$root/../shared/data/adult
if [ -f "$adult/adult.csv" ]; then
  meta=$adult/adult.meta data=$adult/adult.csv select=$adult/adult-sex.sel
  echo "table: census (adult), 48,842 rows"
else
  python3 "$root/examples/make_hiring.py" "$work" 48842
  meta=$work/hiring.meta data=$work/hiring.csv select=$work/hiring-women.sel
  echo "table: generated hiring table, 48,842 rows"
fi

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
