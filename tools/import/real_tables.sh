#!/usr/bin/env bash
# The importer on real tables, given the folder that holds them (adult/,
# compas/, german/, credit-default/ in kelcmd's input formats):
#
# 1. The census table written back as a spreadsheet would export it (a UTF-8
#    byte-order mark, a header row, CRLF line ends, every text field quoted)
#    and imported with its ignored column, its ordinal education scale and
#    the select options of adult-sex.sel must give the same three inputs, and
#    kelcmd must write byte-identical output files from both sets of inputs
#    (default mode with the histogram, and prevention mode).
# 2. kel-import --check must pass every table with every select file.
#
#   bash tools/import/real_tables.sh DATA_FOLDER [BUILD_FOLDER]
#
# BUILD_FOLDER defaults to build/release, which must hold kelcmd and kel-import.
set -euo pipefail
data=$(cd "${1:?usage: real_tables.sh DATA_FOLDER [BUILD_FOLDER]}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${2:-$root/build/release}
kelcmd=$build/app/kelcmd
import=$build/app/kel-import
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

adult=$data/adult
python3 - "$adult/adult.meta" "$adult/adult.csv" "$work/adult-export.csv" <<'PY'
import re, sys
meta, data, out = sys.argv[1:]
names = [line.split(",")[0] for line in open(meta, encoding="utf-8").read().splitlines()]
number = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")
def cell(text):
    return text if number.match(text) else '"' + text.replace('"', '""') + '"'
with open(out, "w", encoding="utf-8", newline="") as f:
    f.write("\ufeff" + ",".join(cell(n) for n in names) + "\r\n")
    for line in open(data, encoding="utf-8").read().splitlines():
        f.write(",".join(cell(v) for v in line.split(",")) + "\r\n")
PY

scale=$(grep '^education,ordinal,' "$adult/adult.meta" | cut -d, -f3-)
mapfile -t sel < "$adult/adult-sex.sel"
"$import" "$work/adult-export.csv" --out "$work/adult" --ignore fnlwgt --ordinal "education=$scale" \
  --protected "${sel[0]}" --outcome "${sel[1]}" --measure "${sel[2]}" --pre-value "${sel[3]}" >/dev/null

same() {
  if cmp -s "$1" "$2"; then echo "same: $3"; else echo "DIFFERENT: $3"; failed=1; fi
}
same "$adult/adult.meta" "$work/adult.meta" "metadata file"
same "$adult/adult.csv" "$work/adult.csv" "data file"
same "$adult/adult-sex.sel" "$work/adult.sel" "select-options file"

for mode in "-knn 8" "-knn 8 -pre"; do
  for side in given imported; do
    if [ $side = given ]; then inputs=("$adult/adult.meta" "$adult/adult.csv" "$adult/adult-sex.sel")
    else inputs=("$work/adult.meta" "$work/adult.csv" "$work/adult.sel"); fi
    # shellcheck disable=SC2086
    "$kelcmd" "${inputs[@]}" "$work/out-$side.csv" $mode -dst "$work/dst-$side.txt" >/dev/null
  done
  same "$work/out-given.csv" "$work/out-imported.csv" "kelcmd output file, $mode"
  same "$work/dst-given.txt" "$work/dst-imported.txt" "kelcmd histogram, $mode"
done

for table in adult compas german credit-default; do
  for select in "$data/$table/$table"-*.sel; do
    if "$import" --check "$data/$table/$table.meta" "$data/$table/$table.csv" "$select" >"$work/check.txt"; then
      echo "check passes: $(basename "$select")"
    else
      echo "CHECK FAILS: $(basename "$select")"; cat "$work/check.txt"; failed=1
    fi
  done
done
exit $failed
