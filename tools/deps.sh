#!/usr/bin/env bash
# Installs the Debian packages that building and testing kelcmd need, with
# apt-get (through sudo when not run as root). When everything is there it
# only asks dpkg-query and returns at once; otherwise it runs apt-get update
# once and installs just what is missing. Safe to run again and again.
#
#   tools/deps.sh [--check] [FEATURE...]
#
# FEATURE: one or more of the names in `features` below (default: all).
# --check installs nothing: it names what is missing and exits 1.
set -euo pipefail

# One line per feature. A feature that needs more packages extends its line;
# a new feature adds a line and its name to `features`.
declare -A packages=(
  [build]="g++ cmake make zlib1g-dev"
  [sqlite]="libsqlite3-dev"
  [tests]="libgtest-dev libgmock-dev python3"
  [bench]="libbenchmark-dev"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [package]="dpkg-dev file binutils groff-base"
  [mpi]="libopenmpi-dev openmpi-bin"
  [json]="nlohmann-json3-dev python3-jsonschema"
  [python]="pybind11-dev python3-dev python3-numpy python3-pandas python3-pytest"
  [report]="chromium"
)
features=(build sqlite tests bench fuzz package mpi json python report)

check=0
chosen=()
for word in "$@"; do
  case $word in
    --check) check=1 ;;
    *)
      [ -n "${packages[$word]+set}" ] || { echo "deps.sh: unknown feature $word (known: ${features[*]})" >&2; exit 2; }
      chosen+=("$word") ;;
  esac
done
[ ${#chosen[@]} -gt 0 ] || chosen=("${features[@]}")

wanted=()
for f in "${chosen[@]}"; do
  read -ra list <<<"${packages[$f]}"
  wanted+=("${list[@]}")
done

# One dpkg-query for all: it prints the packages it knows, with their state.
declare -A installed=()
while read -r name state; do
  [ "$state" = ii ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${wanted[@]}" 2>/dev/null || true)
missing=()
for p in "${wanted[@]}"; do
  [ -n "${installed[$p]+set}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ $check = 1 ]; then
  echo "deps.sh: missing ${missing[*]}"
  exit 1
fi
as_root=()
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: run as root, or install sudo, to install ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "deps.sh: installing ${missing[*]}"
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
