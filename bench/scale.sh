#!/usr/bin/env bash
# The index against the exhaustive scan on a large table: generates the
# hiring table (examples/make_hiring.py) in a scratch folder outside the
# tree, runs kelcmd as it is (the index, where it pays) and with -scan
# alternately (median of 3 each), checks that the outputs, histograms and
# consoles are identical, and prints both times, their ratio and the
# distance evaluations per tested tuple of each.
#
# Usage: bench/scale.sh [ROWS [K [THREADS]]]   (default 1000000 8 2)
# The scan of a million rows takes about a minute a run on two cores.
set -euo pipefail
rows=${1:-1000000}
k=${2:-8}
threads=${3:-2}
source "$(dirname "$0")/timing.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$root/examples/make_hiring.py" "$work" "$rows"
meta=$work/hiring.meta data=$work/hiring.csv select=$work/hiring-women.sel

median_pair "" -scan "$meta" "$data" "$select" "$work" -knn "$k" -j "$threads"
info=$("$stats" "$meta" "$data" "$select" -knn "$k" -j "$threads")
tested=$(sed -n 's/.*tested tuples: \([0-9]*\).*/\1/p' <<<"$info")
per_index=$(sed -n 's/^evaluations per tested tuple: \([0-9.]*\) (scan: \([0-9]*\))/\1/p' <<<"$info")
per_scan=$(sed -n 's/^evaluations per tested tuple: \([0-9.]*\) (scan: \([0-9]*\))/\2/p' <<<"$info")

echo "table: hiring, $rows rows, $tested tested tuples, k = $k, -j $threads; outputs identical"
echo "$info" | grep -E '^(search|trees|sample)[: ]' | sed 's/^/  /'
printf 'default %8.2f s wall %8.2f s cpu %12.1f distance evaluations per tested tuple\n' "$wall_a" "$cpu_a" "$per_index"
printf '%-7s %8.2f s wall %8.2f s cpu %12.1f distance evaluations per tested tuple\n' -scan "$wall_b" "$cpu_b" "$per_scan"
awk -v a="$wall_a" -v b="$wall_b" -v ca="$cpu_a" -v cb="$cpu_b" \
  'BEGIN { printf "ratio   %8.1f x wall %6.1f x cpu (-scan / default)\n", b / a, cb / ca }'
