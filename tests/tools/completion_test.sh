#!/usr/bin/env bash
# The bash completion offers the options, the confidence levels and the
# column names of the CSV file on the line; file names are left to bash.
#
#   bash completion_test.sh COMPLETION_SCRIPT
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '\xEF\xBB\xBF"id","age","sex"\r\n1,30,f\r\n' > t.csv
failed=0
expect() {
  local function=$1 want=$2
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$function" || true
  local got
  got=$(printf '%s ' "${COMPREPLY[@]}")
  if [ "${got% }" != "$want" ]; then
    echo "FAIL: $* -> '${got% }', want '$want'"
    failed=1
  fi
}
expect _kelcmd "" kelcmd m.meta d.csv s.sel -
expect _kelcmd "-knn" kelcmd m.meta d.csv s.sel out.csv -k
expect _kelcmd "-mxd -md" kelcmd m.meta d.csv s.sel out.csv -knn 8 -m
expect _kelcmd "90 95 96 97 98 99" kelcmd m.meta d.csv s.sel out.csv -cl 9
expect _kelcmd "97" kelcmd m.meta d.csv s.sel out.csv -knn 2 -cl 97
expect _kelcmd "-j -json" kelcmd m.meta d.csv s.sel out.csv -nbr n.csv -j
expect _kelcmd "-pre -perm" kelcmd m.meta d.csv s.sel out.csv -seed 3 -p
expect _kel_import "--ignore --id" kel-import t.csv --i
expect _kel_import "id age sex" kel-import t.csv --out p --ignore ""
expect _kel_import "id,age id,sex" kel-import t.csv --nominal id,
expect _kel_import "--check" kel-import --ch
expect _kel_report "--summary --neighbours --out" kel-report --
expect _kel_report "--neighbours --out" kel-report --summary s.json --
expect _kel_report "--out" kel-report --summary s.json --neighbours n.csv --o
expect _kel_report "" kel-report --summary s.json --neighbours n.csv --out r.html --s
[ $failed = 0 ] && echo "completion: all cases pass"
exit $failed
