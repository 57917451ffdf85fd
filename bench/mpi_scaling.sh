#!/usr/bin/env bash
# What spreading the analysis over MPI ranks costs on one machine: the same
# analysis by kelcmd with 1 and 2 threads and by kelcmd-mpi with 1 and 2
# ranks, RUNS times each in alternation, every output checked identical to
# kelcmd's; prints the median and best wall times (mpirun's start included)
# and the ratios that matter: 2 ranks x 1 thread against 1 rank x 2 threads
# and against kelcmd -j 2 (ranks against threads at equal cores), and 1 rank
# against kelcmd (the cost of the job itself).
#
# Usage: bench/mpi_scaling.sh [census | ROWS | DIR] [RUNS (default 5)] [extra options...]
#   census: ../shared/data/adult, women, as bench/census_table.sh picks it
#           (or $DATA/adult when the data folder is elsewhere)
#   ROWS:   examples/make_hiring.py's hiring table of ROWS rows, made in a scratch folder
#   DIR:    a folder holding hiring.meta, hiring.csv and hiring-women.sel
# CONFIGS picks the configurations to run (default: all, "0 1 2 3 4" in the
# order of `configs` below). The options default to -knn 8. mpirun runs with --bind-to none, or the one
# rank of `-n 1 ... -j 2` would be bound to one core and its threads share it.
# Measure on a quiet machine (`uptime`): other work on a 2-core machine
# falsifies every figure.
set -euo pipefail
table=${1:-census}
runs=${2:-5}
shift $(( $# < 2 ? $# : 2 ))
options=("$@")
[ ${#options[@]} -gt 0 ] || options=(-knn 8)

root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release >/dev/null
cmake --build --preset release --target kelcmd kelcmd-mpi >/dev/null
kelcmd=$root/build/release/app/kelcmd
kelcmd_mpi=$root/build/release/app/mpi/kelcmd-mpi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$(id -u)" = 0 ]; then export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1; fi

case $table in
  census)
    adult=${DATA:-$root/../shared/data}/adult
    meta=$adult/adult.meta data=$adult/adult.csv select=$adult/adult-sex.sel ;;
  *[!0-9]*)
    meta=$table/hiring.meta data=$table/hiring.csv select=$table/hiring-women.sel ;;
  *)
    python3 "$root/examples/make_hiring.py" "$work" "$table"
    meta=$work/hiring.meta data=$work/hiring.csv select=$work/hiring-women.sel ;;
esac
echo "table: $data ($(wc -l <"$data") rows, $(stat -c %s "$data") bytes), options: ${options[*]}"

configs=("kelcmd -j 1" "kelcmd -j 2" "1 rank x 1" "1 rank x 2" "2 ranks x 1")
read -ra chosen <<<"${CONFIGS:-0 1 2 3 4}"
run_config() {  # runs configuration $1, writing $2
  local input=("$meta" "$data" "$select" "$2")
  # The CPU time of the command and of every process it waited for.
  local timed=(/usr/bin/time -o "$work/cpu" -f '%U %S')
  local mpi=("${timed[@]}" mpirun --bind-to none)
  case $1 in
    0) "${timed[@]}" "$kelcmd" "${input[@]}" -j 1 "${options[@]}" ;;
    1) "${timed[@]}" "$kelcmd" "${input[@]}" -j 2 "${options[@]}" ;;
    2) "${mpi[@]}" -n 1 "$kelcmd_mpi" "${input[@]}" -j 1 "${options[@]}" ;;
    3) "${mpi[@]}" -n 1 "$kelcmd_mpi" "${input[@]}" -j 2 "${options[@]}" ;;
    4) "${mpi[@]}" -n 2 "$kelcmd_mpi" "${input[@]}" -j 1 "${options[@]}" ;;
  esac
}
for _ in $(seq "$runs"); do
  for c in "${chosen[@]}"; do
    # EPOCHREALTIME is read by the shell itself: only the command is timed.
    start=${EPOCHREALTIME/[.,]/}
    run_config $c "$work/out$c.csv" >"$work/console$c" 2>"$work/errors$c"
    end=${EPOCHREALTIME/[.,]/}
    echo "$c $(( end - start )) $(awk '{ printf "%d", ($1 + $2) * 1e6 }' "$work/cpu")" >>"$work/times"
    first=$work/out${chosen[0]}.csv
    cmp -s "$first" "$work/out$c.csv" || { echo "output of '${configs[$c]}' differs from '${configs[${chosen[0]}]}'" >&2; exit 1; }
  done
done
tr '\r' '\n' <"$work/console${chosen[0]}" | grep '^output:'
echo "tested rows: $(wc -l <"$work/out${chosen[0]}.csv"); outputs identical over $runs runs each"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

median() {  # median and best of column $2 of configuration $1, in seconds
  awk -v c="$1" -v f="$2" '$1 == c { print $f }' "$work/times" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.3f %.3f", v[int((NR + 1) / 2)] / 1e6, v[1] / 1e6 }'
}
declare -a med
for c in "${chosen[@]}"; do
  read -r m b <<<"$(median $c 2)"
  read -r cm _ <<<"$(median $c 3)"
  med[$c]=$m
  printf '%-12s wall median %8.3f s  best %8.3f s  cpu median %8.3f s\n' "${configs[$c]}" "$m" "$b" "$cm"
done
[ ${#chosen[@]} = 5 ] || exit 0
awk -v a="${med[4]}" -v b="${med[3]}" -v k2="${med[1]}" -v r1="${med[2]}" -v k1="${med[0]}" 'BEGIN {
  printf "2 ranks x 1 / 1 rank x 2: %.3f\n", a / b
  printf "2 ranks x 1 / kelcmd -j 2: %.3f\n", a / k2
  printf "1 rank x 1 / kelcmd -j 1: %.3f\n", r1 / k1
}'
