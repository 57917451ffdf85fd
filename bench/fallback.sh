#!/usr/bin/env bash
# Where the index cannot win, the search must fall back to the scan and cost
# at most a little more than -scan: every case runs kelcmd with its own
# choice and with -scan alternately (median of 3 each), checks the outputs
# are identical, and prints both processor times (user + sys) and wall
# times, the ratios (the choice over -scan; at most 1.2 is the rule; on a
# shared machine the processor time is the one to judge) and what the
# search chose.
#
# Cases: the real tables of ../shared/data (or of $KEL_SHARED_DATA) when
# they are there (census k = 2, 8 and 10,000, german, compas,
# credit-default), the synthetic tables of bench/make_tables.py
# (all-nominal ties, 30 measured attributes). KEL_CASES=real or
# KEL_CASES=synthetic runs only those; KEL_CASES=large adds a generated
# hiring table of 200,000 rows with k = 10,000, where the scan spends most
# of its time keeping 10,000 neighbours in order (tens of minutes a run).
#
# Usage: [KEL_CASES=real|synthetic|large] bench/fallback.sh [THREADS]   (default 2; several minutes)
set -euo pipefail
threads=${1:-2}
source "$(dirname "$0")/timing.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cases=${KEL_CASES:-all}
if [ "$cases" != real ]; then python3 "$root/bench/make_tables.py" "$work/t" 100000; fi
if [ "$cases" = large ]; then python3 "$root/examples/make_hiring.py" "$work" 200000; fi

case_run() {  # NAME META DATA SELECT [options...]
  local name=$1 meta=$2 data=$3 select=$4
  shift 4
  median_pair "" -scan "$meta" "$data" "$select" "$work" -j "$threads" "$@"
  local chose
  chose=$("$stats" "$meta" "$data" "$select" -j "$threads" "$@" | sed -n 's/^search: //p')
  awk -v n="$name" -v a="$cpu_a" -v b="$cpu_b" -v wa="$wall_a" -v wb="$wall_b" -v c="$chose" \
    'BEGIN { printf "%-36s %8.3f s %8.3f s %6.2f %6.2f   %s\n", n, a, b, a / b, wa / wb, c }'
}

printf '%-36s %10s %10s %6s %6s   %s\n' case "cpu chosen" "cpu -scan" "ratio" "(wall)" "search chosen"
shared=${KEL_SHARED_DATA:-$root/../shared/data}
if [ "$cases" = synthetic ]; then
  :
elif [ -d "$shared/adult" ]; then
  a=$shared/adult
  case_run "census (adult, women), k = 2" "$a/adult.meta" "$a/adult.csv" "$a/adult-sex.sel" -knn 2
  case_run "census (adult, women), k = 8" "$a/adult.meta" "$a/adult.csv" "$a/adult-sex.sel" -knn 8
  case_run "census, k = 10000" "$a/adult.meta" "$a/adult.csv" "$a/adult-sex.sel" -knn 10000
  case_run "german (sex), k = 8" "$shared/german/german.meta" "$shared/german/german.csv" \
    "$shared/german/german-sex.sel" -knn 8
  case_run "compas (race), k = 8" "$shared/compas/compas.meta" "$shared/compas/compas.csv" \
    "$shared/compas/compas-race.sel" -knn 8
  case_run "credit-default (sex), k = 8" "$shared/credit-default/credit-default.meta" \
    "$shared/credit-default/credit-default.csv" "$shared/credit-default/credit-default-sex.sel" -knn 8
else
  echo "(no $shared: the real tables are skipped)"
fi
if [ "$cases" = real ]; then exit 0; fi
case_run "all-nominal ties, 100k, -all, k = 8" "$work/t/ties/t.meta" "$work/t/ties/t.csv" "$work/t/ties/t.sel" -knn 8 -all
case_run "30 measured, 100k, -all, k = 8" "$work/t/wide/t.meta" "$work/t/wide/t.csv" "$work/t/wide/t.sel" -knn 8 -all
if [ "$cases" = large ]; then
  case_run "hiring 200k, k = 10000" "$work/hiring.meta" "$work/hiring.csv" "$work/hiring-women.sel" -knn 10000
fi
