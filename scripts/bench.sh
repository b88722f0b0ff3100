#!/usr/bin/env bash
# Measures every call beside its baseline, over N sleeper processes for
# N = 100, 500 and 2000, writes the table of ratios to
# build/bench/results.md (and prints it), and draws from the same run the
# cost per call against the number of processes in build/bench/scaling.png.
# --quick: tiny N and runs, to check that the benchmarks and the drawing
# work; its table and picture mean nothing. SORVIK_BENCH_COUNTS and
# SORVIK_BENCH_FILTER (a --benchmark_filter) narrow a run while profiling.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

if [ -z "${SORVIK_BENCH_NO_BUILD:-}" ]; then
  sorvik_install_missing "${sorvik_packages[@]}"
  sorvik_build -DSORVIK_BUILD_BENCHMARKS=ON >/dev/null
fi

bench=$SORVIK_BUILD/bench/sorvik_bench
sleeper=$SORVIK_BUILD/bench/sorvik_bench_sleeper
python=/usr/bin/python3  # Debian's, which has python3-psutil
out=$SORVIK_BUILD/bench
bin=$SORVIK_BUILD/bench-site/bin
mkdir -p "$out" "$bin"

if [ $quick = 1 ]; then
  counts=(10 20)
  flags=(--benchmark_min_time=0.001 --benchmark_repetitions=1)
  samples=2
  results=$out/results-quick.md
  picture=$out/scaling-quick.png
else
  counts=(100 500 2000)
  flags=(--benchmark_min_time=0.1 --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true)
  samples=31
  results=$out/results.md
  picture=$out/scaling.png
fi

[ -n "${SORVIK_BENCH_COUNTS:-}" ] && read -r -a counts <<<"$SORVIK_BENCH_COUNTS"
[ -n "${SORVIK_BENCH_FILTER:-}" ] && flags+=(--benchmark_filter="$SORVIK_BENCH_FILTER")

# The sleepers run as hard links of one program under realistic names, so
# that each shows its own name in /proc, its executable included.
mapfile -t names < <("$bench" --sleeper-names)
for name in "${names[@]}"; do ln -f "$sleeper" "$bin/$name"; done

pids=()
runner=
stop_sleepers() {
  if [ -n "$runner" ]; then kill "$runner" 2>/dev/null || true; wait "$runner" 2>/dev/null || true; runner=; fi
  if [ ${#pids[@]} -gt 0 ]; then
    kill "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
  fi
  pids=()
}
trap stop_sleepers EXIT
trap 'exit 130' INT TERM

reports=()
for n in "${counts[@]}"; do
  for ((i = 0; i < n; i++)); do
    "$bin/${names[i % ${#names[@]}]}" &
    pids+=($!)
  done
  # Measure only once every copy runs the sleeper, not a shell about to.
  deadline=$((SECONDS + 120))
  until [ "$(find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$bin/*" 2>/dev/null | wc -l)" -ge "$n" ]; do
    if [ $SECONDS -ge $deadline ]; then echo "bench.sh: the $n sleepers did not all start" >&2; exit 1; fi
    sleep 0.1
  done
  echo "== N=$n sleepers ($(ls /proc | grep -c '^[0-9]') processes)" >&2
  # No display: the window lookup of GetControllableTaskList is not measured.
  # In the background, so that an interrupt ends it and the sleepers at once.
  env -u DISPLAY "$bench" "${flags[@]}" --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/bench-$n.json" --benchmark_out_format=json >&2 &
  runner=$!
  wait "$runner"
  runner=
  "$python" "$SORVIK_ROOT/bench/psutil_snapshot.py" "$samples" >"$out/psutil-$n.json"
  reports+=("$n:$out/bench-$n.json:$out/psutil-$n.json")
  stop_sleepers
done

echo
"$python" "$SORVIK_ROOT/bench/report.py" --scaling "${picture%.png}.tsv" "$results" "${reports[@]}"
gnuplot -e "data='${picture%.png}.tsv'; picture='$picture'" "$SORVIK_ROOT/bench/scaling.gp"
echo
echo "written to $results and $picture"
