#!/usr/bin/env bash
# Builds the tree twice more, under AddressSanitizer with
# UndefinedBehaviorSanitizer (build-asan/) and under ThreadSanitizer
# (build-tsan/), and runs the whole test suite in each. Called by test.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sorvik_install_missing "${sorvik_packages[@]}"

# Any report ends the process at once with a failure, in every process the
# tests start (the probe, the stress client and forked children included).
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:suppressions=$SORVIK_ROOT/scripts/tsan.supp"

for variant in "asan address,undefined" "tsan thread"; do
  set -- $variant
  build=$SORVIK_ROOT/build-$1
  echo "== the test suite under -fsanitize=$2 ($build)"
  sorvik_build_tree "$build" -DSORVIK_SANITIZE="$2" -DSORVIK_BUILD_BENCHMARKS=OFF >/dev/null
  # The tests of real processes wait with bounds made for a plain build; on
  # two cores busy with a sanitized suite a bound can run out, so a failed
  # test gets up to two more tries and fails only when it fails each time.
  # The packaging tests rebuild the project from scratch and the benchmark
  # smoke runs measure nothing: the plain build covers both.
  ctest --test-dir "$build" --output-on-failure --repeat until-pass:3 -j"$(nproc)" -E '^(packaging_|bench_)'

done
