#!/bin/sh
# Compares the functions a shared library exports with the list of them,
# src/exports.txt: the first word of each line that is not a comment.
set -eu
library=$1
expected=$2
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
wanted=$(sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]].*$/\1/p' "$expected" | sort)
if [ "$actual" != "$wanted" ]; then
  echo "exported symbols differ from $expected:"
  printf '%s\n' "$wanted" > /tmp/sorvik-wanted.$$
  printf '%s\n' "$actual" | diff /tmp/sorvik-wanted.$$ - || true
  rm -f /tmp/sorvik-wanted.$$
  exit 1
fi
echo "exports: $(printf '%s\n' "$actual" | wc -l) functions, as expected"
