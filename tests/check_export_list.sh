#!/bin/sh
# Compares the list of exported functions with the functions the header
# declares SORVIK_API, so that neither gains one the other lacks.
set -eu
header=$1
list=$2
declared=$(tr '\n' ' ' < "$header" | grep -o 'SORVIK_API[^;]*;' |
  sed -n 's/.*SORVIK_CALL[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*(.*/\1/p' | sort)
listed=$(sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]].*$/\1/p' "$list" | sort)
if [ -z "$declared" ] || [ "$declared" != "$listed" ]; then
  echo "$list and the SORVIK_API functions of $header differ (< declared, > listed):"
  printf '%s\n' "$declared" > "${TMPDIR:-/tmp}/sorvik-declared.$$"
  printf '%s\n' "$listed" | diff "${TMPDIR:-/tmp}/sorvik-declared.$$" - || true
  rm -f "${TMPDIR:-/tmp}/sorvik-declared.$$"
  exit 1
fi
echo "$(printf '%s\n' "$listed" | wc -l) functions, listed as declared"
