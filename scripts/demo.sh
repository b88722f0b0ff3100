#!/usr/bin/env bash
# Installs what is missing, builds, and shows two processes sharing one table
# loaded from the sample configuration file, then a controlled program whose
# third copy is refused. It runs on a site of its own in the build tree,
# never the machine's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sorvik_install_missing "${sorvik_packages[@]}"
sorvik_build >/dev/null

site=$SORVIK_BUILD/demo-site
viewer=$SORVIK_BUILD/examples/table_viewer
cp "$SORVIK_ROOT/examples/Sorvik.sys" "$site/Sorvik.sys"

echo "== the sample configuration file ($site/Sorvik.sys)"
cat "$site/Sorvik.sys"
echo
echo "== process A loads the library: it creates the shared table from the file,"
echo "   leaves a message in record 0 and stays loaded"
coproc HOLDER { "$viewer" --message "hello from A" --hold; }
read -r line <&"${HOLDER[0]}"
while [ "$line" != "holding" ]; do echo "   A: $line"; read -r line <&"${HOLDER[0]}"; done
echo
echo "== process B (pid of its own) loads the library and sees A's table, message included"
"$viewer" | sed 's/^/   B: /'
exec {HOLDER[1]}>&-
wait "$HOLDER_PID" || true
echo
echo "== both have left; the next process builds the table afresh from the file"
"$viewer" | sed 's/^/   C: /'

# The main job: copies of a controlled program decide together how many run.
ctl=$site/sorvikctl
job=$SORVIK_BUILD/examples/report_job
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT
indent() { sed 's/^/   /'; }

# Starts a copy in the background and shows what it says once it has begun.
start_copy() {
  local out=$work/copy$1
  "$job" >"$out" &
  pids+=("$!")
  for _ in $(seq 200); do [ -s "$out" ] && break; sleep 0.05; done
  indent <"$out"
}

echo
echo "== sorvikctl adds report_job, an example program, with at most 2 copies at once"
"$ctl" add report_job 0 2 | indent
"$ctl" list | indent
echo
echo "== a launcher asks before each start: sorvikctl can-execute report_job && report_job &"
for copy in 1 2; do
  "$ctl" can-execute report_job | indent
  start_copy "$copy"
done
echo
echo "== a third launch: the launcher is told no, and a copy started anyway refuses itself"
"$ctl" can-execute report_job | indent || true
"$job" | indent || echo "   (report_job exited with status ${PIPESTATUS[0]})"
echo
echo "== the table with two copies running, each with its liveness report and message"
"$ctl" list | indent
echo
echo "== the two copies are told to stop; each gives its slot back"
for pid in "${pids[@]}"; do kill -TERM "$pid"; wait "$pid" || true; done
pids=()
tail -q -n 1 "$work"/copy1 "$work"/copy2 | indent
echo "   with its last user gone, the table is built afresh from the file, report_job's record included:"
"$ctl" list | indent
