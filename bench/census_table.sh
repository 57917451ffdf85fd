# Sourced by the whole-run benchmarks: builds the release kelcmd and picks the
# census-sized table they time. Sets root, kelcmd, work (a scratch folder
# removed on exit), meta, data and select.
# Uses ../shared/data/adult (48,842 rows, 16,192 women) when present,
# otherwise a generated hiring table of the same size.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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
