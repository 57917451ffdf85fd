#!/usr/bin/env bash
# Builds the fuzz targets with clang++ in build/fuzz (address and undefined-
# behaviour sanitizers, libFuzzer) and runs each one for SECONDS, starting
# from the seeds in fuzz/corpus/<target>/. Inputs the fuzzer finds go to
# build/fuzz/corpus/<target>/ (the seeds are not touched), crashes to
# build/fuzz/artifacts/. Exits non-zero when any target crashes, leaks, hangs
# or fails to build.
#
#   bash fuzz/run.sh SECONDS_PER_TARGET [TARGET...]
#
# TARGET is one of: tokenizer stream metadata select datafile pipeline csv
# (default: all of them, one after the other).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS_PER_TARGET [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(tokenizer stream metadata select datafile pipeline csv)
build=build/fuzz

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKEL_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j2 --target fuzzers >/dev/null || { echo "fuzz: build failed"; exit 1; }

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts"
  log="$build/fuzz_$t.log"
  mkdir -p "$corpus" "$artifacts"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${dict[@]}" \
    -artifact_prefix="$artifacts/$t-" -print_final_stats=1 "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ $status -eq 0 ]; then
    echo "fuzz $t: ok, ${runs:-?} runs in ${seconds}s"
  else
    failed=1
    echo "fuzz $t: FAILED (status $status), see $log"
    grep -E "ERROR|runtime error|SUMMARY|Test unit written" "$log" | head -20
  fi
done
exit $failed
