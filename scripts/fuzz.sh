#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for
# SECONDS (default 30), starting from the seed corpus in fuzz/corpus/.
# test.sh runs it briefly; for a longer search run, for example,
#
#   ./scripts/fuzz.sh 3600
#
# New inputs gather in build-fuzz/corpus/TARGET. An input that fails a check
# is written to build-fuzz/artifacts/; copy it into fuzz/regressions/TARGET/,
# where the test suite replays it, and fix the fault.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

seconds=${1:-30}
sorvik_install_missing "${sorvik_packages[@]}" "${sorvik_fuzz_packages[@]}"

build=$SORVIK_ROOT/build-fuzz
CC=clang CXX=clang++ sorvik_build_tree "$build" -DSORVIK_BUILD_FUZZERS=ON -DSORVIK_BUILD_TESTS=OFF \
  -DSORVIK_SANITIZE=address,undefined -- --target fuzz_config_reader fuzz_named_calls >/dev/null

mkdir -p "$build/artifacts"
for target in config_reader named_calls; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  log=$build/fuzz-$target.log
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$corpus" "$SORVIK_ROOT/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz $target: FAILED; the input is in $build/artifacts/ (log: $log)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $target: $runs executions in ${seconds} s, every check held"
done
