#!/bin/sh
# Checks a sorvik.dll: its export table holds exactly the functions of the
# .def file, by their undecorated names, and it imports no MinGW runtime DLL
# (libstdc++, libgcc, winpthreads), so it runs on a machine without MinGW.
set -eu
. "$(dirname "$0")/names_from_def.sh"
objdump=$1
dll=$2
def=$3
dump=$("$objdump" -p "$dll")
actual=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
status=0
same_names "$dll" "exports differ from $def" "$(def_names "$def")" "$actual" || status=1
runtime=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: \(lib.*\)$/\1/p')
if [ -n "$runtime" ]; then
  echo "$dll: needs MinGW runtime DLLs: $runtime"
  status=1
fi
[ $status -eq 0 ] && echo "$dll: exports $(printf '%s\n' "$actual" | wc -l) functions, as expected; imports: $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
exit $status
