#!/usr/bin/env bash
# tools/deps.sh against stand-ins for dpkg-query, apt-get, sudo and id that
# record what they are asked: nothing is installed when everything is there;
# otherwise one apt-get update and one install of exactly what is missing,
# through sudo when not root; --check only reports.
#
#   bash deps_test.sh DEPS_SCRIPT
set -uo pipefail
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
shift 2  # -W -f=FORMAT
for p in "$@"; do grep -qxF "$p" "$STUB_DIR/installed" && echo "$p ii "; done
exit 0
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB_DIR/log"
STUB
cat >"$work/bin/sudo" <<'STUB'
#!/usr/bin/env bash
echo "sudo" >>"$STUB_DIR/log"
exec "$@"
STUB
cat >"$work/bin/id" <<'STUB'
#!/usr/bin/env bash
echo "$STUB_UID"
STUB
chmod +x "$work/bin"/*
export STUB_DIR=$work PATH="$work/bin:$PATH"

everything="g++ cmake make zlib1g-dev libsqlite3-dev libgtest-dev libgmock-dev python3 libbenchmark-dev clang-14
libclang-rt-14-dev dpkg-dev file binutils groff-base libopenmpi-dev openmpi-bin nlohmann-json3-dev python3-jsonschema
pybind11-dev python3-dev python3-numpy python3-pandas python3-pytest chromium"
failed=0
case_() {  # name, installed packages, uid, expected status, expected log, arguments...
  local name=$1 have=$2 uid=$3 want_status=$4 want_log=$5
  shift 5
  tr ' ' '\n' <<<"$have" >"$work/installed"
  : >"$work/log"
  STUB_UID=$uid bash "$deps" "$@" >"$work/out" 2>&1
  local status=$?
  local log
  log=$(cat "$work/log")
  if [ "$status" != "$want_status" ] || [ "$log" != "$want_log" ]; then
    echo "FAIL: $name: status $status (want $want_status), log:"
    echo "$log"
    echo "output:"; cat "$work/out"
    failed=1
  fi
}
all=$(tr '\n' ' ' <<<"$everything")
some=${all/libgtest-dev /}
some=${some/groff-base/}

case_ "all present" "$all" 0 0 ""
case_ "all present, not root" "$all" 1000 0 ""
case_ "two missing, as root" "$some" 0 0 \
  "apt-get update
apt-get install -y --no-install-recommends libgtest-dev groff-base"
case_ "two missing, through sudo" "$some" 1000 0 \
  "sudo
apt-get update
sudo
apt-get install -y --no-install-recommends libgtest-dev groff-base"
case_ "--check reports only" "$some" 0 1 "" --check
case_ "one feature" "$some" 0 0 "" sqlite
case_ "one feature, missing" "$some" 0 0 \
  "apt-get update
apt-get install -y --no-install-recommends libgtest-dev" tests
case_ "unknown feature" "$all" 0 2 "" gpu
grep -q "deps.sh: unknown feature gpu" "$work/out" || { echo "FAIL: no message for an unknown feature"; failed=1; }
[ $failed = 0 ] && echo "deps.sh: all cases pass"
exit $failed
