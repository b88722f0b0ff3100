#!/usr/bin/env bash
# Installs what is missing, builds, and shows two processes sharing one table
# loaded from the sample configuration file. It runs on a site of its own in
# the build tree, never the machine's.
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
