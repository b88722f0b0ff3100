#!/bin/sh
# Checks a sorvik.dll: its export table holds exactly the functions of the
# .def file, by their undecorated names, and it imports no MinGW runtime DLL
# (libstdc++, libgcc, winpthreads), so it runs on a machine without MinGW.
set -eu
objdump=$1
dll=$2
def=$3
dump=$("$objdump" -p "$dll")
actual=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
wanted=$(sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)@[0-9]*$/\1/p' "$def" | sort)
status=0
if [ "$actual" != "$wanted" ]; then
  echo "$dll: exports differ from $def (< wanted, > exported):"
  printf '%s\n' "$wanted" > "$dll.wanted"
  printf '%s\n' "$actual" | diff "$dll.wanted" - || true
  rm -f "$dll.wanted"
  status=1
fi
runtime=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: \(lib.*\)$/\1/p')
if [ -n "$runtime" ]; then
  echo "$dll: needs MinGW runtime DLLs: $runtime"
  status=1
fi
[ $status -eq 0 ] && echo "$dll: exports $(printf '%s\n' "$actual" | wc -l) functions, as expected; imports: $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
exit $status
