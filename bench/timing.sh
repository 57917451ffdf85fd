# Sourced by bench/scale.sh and bench/fallback.sh: builds the release kelcmd
# and search_stats (the bench preset) and times whole runs.
# Sets root, kelcmd, stats; defines
#   timed OUT ARGS...        one run; prints "WALL CPU" seconds, output to OUT
#   median_pair A B ARGS...  runs ARGS with the extra options A, then B, three
#                            times alternately; sets wall_a cpu_a wall_b cpu_b
#                            (medians) and checks every output against the first
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cmake --preset bench >/dev/null
cmake --build build/bench -j2 --target kelcmd search_stats >/dev/null
kelcmd=$root/build/bench/app/kelcmd
stats=$root/build/bench/bench/search_stats

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) (figures are noisy when it is above 0.5)"

timed() {  # OUT ARGS... -> "wall cpu"
  local out=$1
  shift
  local TIMEFORMAT='%R %U %S'
  local t
  t=$({ time "$kelcmd" "$@" >"$out.console"; } 2>&1)
  awk -v t="$t" 'BEGIN { n = split(t, a, " "); printf "%.3f %.3f\n", a[n - 2], a[n - 1] + a[n] }'
}

median3() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

median_pair() {  # A B META DATA SELECT WORK [more options...]
  local a=$1 b=$2 meta=$3 data=$4 select=$5 work=$6
  shift 6
  local wa=() ca=() wb=() cb=() r w c
  for r in 1 2 3; do
    read -r w c < <(timed "$work/a$r.csv" "$meta" "$data" "$select" "$work/a$r.csv" -dst "$work/a$r.dst" $a "$@")
    wa+=("$w") ca+=("$c")
    read -r w c < <(timed "$work/b$r.csv" "$meta" "$data" "$select" "$work/b$r.csv" -dst "$work/b$r.dst" $b "$@")
    wb+=("$w") cb+=("$c")
  done
  for r in 1 2 3; do
    for side in a b; do
      cmp -s "$work/a1.csv" "$work/$side$r.csv" && cmp -s "$work/a1.dst" "$work/$side$r.dst" ||
        { echo "OUTPUTS DIFFER: $side$r"; exit 1; }
      diff <(grep -v 'time' "$work/a1.csv.console" | tr '\r' '\n' | grep -v '^n = ') \
           <(grep -v 'time' "$work/$side$r.csv.console" | tr '\r' '\n' | grep -v '^n = ') >/dev/null ||
        { echo "CONSOLES DIFFER: $side$r"; exit 1; }
    done
  done
  wall_a=$(median3 "${wa[@]}") cpu_a=$(median3 "${ca[@]}") wall_b=$(median3 "${wb[@]}") cpu_b=$(median3 "${cb[@]}")
  rm -f "$work"/[ab][123].*
}
