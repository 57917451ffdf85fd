#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks that every file lands
# where a user, man and bash look for it, that the installed programs run,
# and that the manual pages render without warnings; then packs the build
# with `cpack -G DEB` and checks the package's files and that its control
# file declares a package for every shared library the programs load.
#
#   bash install_test.sh BUILD_FOLDER [package]
#
# Without "package" only the install is checked (a sanitizer build is no
# package to ship).
set -euo pipefail
build=$(cd "$1" && pwd)
package=${2:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

programs=(kelcmd kel-import)
[ -x "$build/app/kel-sqlcmd" ] && programs+=(kel-sqlcmd)
expected=()
for p in "${programs[@]}"; do expected+=("usr/bin/$p"); done
expected+=(usr/share/bash-completion/completions/kel-import usr/share/bash-completion/completions/kelcmd
           usr/share/man/man1/kel-import.1 usr/share/man/man1/kelcmd.1)
# The Python package, when the build has it: where the build's interpreter
# looks under the prefix.
python_dir=
module=$(cd "$build" && ls python/kel/_core*.so 2>/dev/null | head -1 || true)
if [ -n "$module" ]; then
  python_dir=$(sed -n 's/^KEL_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
  interpreter=$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
  expected+=("usr/$python_dir/kel/__init__.py" "usr/$python_dir/kel/$(basename "$module")")
fi
if [ -x "$build/app/kel-report" ]; then
  expected+=(usr/bin/kel-report usr/share/bash-completion/completions/kel-report usr/share/man/man1/kel-report.1)
fi
want=$(printf '%s\n' "${expected[@]}" | sort)

cmake --install "$build" --prefix "$stage/usr" >/dev/null
got=$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$want" ] || fail "installed files:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
"$stage/usr/bin/kelcmd" | head -1 | grep -q '^Command line: kelcmd ' || fail "installed kelcmd"
"$stage/usr/bin/kel-import" | head -1 | grep -q '^Command line: kel-import ' || fail "installed kel-import"
if [ -x "$build/app/kel-report" ]; then
  "$stage/usr/bin/kel-report" | head -1 | grep -q '^Command line: kel-report ' || fail "installed kel-report"
fi
if command -v groff >/dev/null; then
  for page in "$stage"/usr/share/man/man1/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
fi
if [ -n "$python_dir" ]; then
  "$interpreter" -c 'import sys; sys.exit(0 if "/usr/'"$python_dir"'" in sys.path else 1)' ||
    fail "$interpreter does not look in /usr/$python_dir"
  PYTHONPATH="$stage/usr/$python_dir" PYTHONDONTWRITEBYTECODE=1 "$interpreter" -c '
import kel, pandas as pd
df = pd.DataFrame({"g": ["p", "p", "u", "u"], "x": [1, 2, 1, 3], "y": ["a", "b", "a", "a"]})
r = kel.test(df, protected="g=p", outcome="y=a", measure=["x"], k=1)
assert kel.__file__.startswith("'"$stage"'"), kel.__file__
assert r.summary["counts"]["protected"] == 2
' || fail "the installed package kel"
fi
echo "install: ${#expected[@]} files in place"

[ "$package" = package ] || exit 0
if ! command -v dpkg-deb >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
  echo "package: skipped, dpkg-deb or dpkg-shlibdeps missing (tools/deps.sh installs them)"
  exit 0
fi
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/pkg" >"$stage/cpack.log" 2>&1 || { cat "$stage/cpack.log"; fail "cpack"; }
deb=$(ls "$stage"/pkg/*.deb)
packed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$packed" = "$want" ] || fail "packed files:"$'\n'"$packed"
control=$(dpkg-deb -I "$deb")
grep -q '^ Package: kelcmd$' <<<"$control" || fail "no package name in"$'\n'"$control"
depends=$(sed -n 's/^ Depends: //p' <<<"$control")
declared=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")
# Every shared library a program loads must come with a declared package:
# the one that holds the file the loader resolves it to.
for p in "${programs[@]}"; do
  for library in $( (ldd "$build/app/$p" 2>/dev/null || true) | awk '$2 == "=>" && $3 ~ /^\// {print $3}'); do
    owner=
    for path in "$library" "$(realpath "$library")" "${library#/usr}" "/usr$library"; do
      owner=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1) && [ -n "$owner" ] && break
    done
    [ -n "$owner" ] || fail "$p loads $library, which no installed package holds"
    grep -qxF "$owner" <<<"$declared" || fail "$p loads $library from $owner; Depends: $depends"
  done
done
echo "package: $(basename "$deb"), Depends: ${depends:-(none)}"
