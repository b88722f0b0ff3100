#!/bin/sh
# Checks a program linked against sorvik.dll's import library: it imports
# exactly the functions of the .def file from sorvik.dll, by their
# undecorated names, as the DLL exports them (on 32-bit Windows its compiler
# asked for GetTaskList@4 and so on, which the import library binds to
# those). Every file given after it, as well as the caller, must be of the
# PE format named (pei-i386 or pei-x86-64), so that nothing of the wrong
# width slips into a build tree.
#   check_caller_imports.sh OBJDUMP DEF FORMAT CALLER [FILE...]
set -eu
. "$(dirname "$0")/names_from_def.sh"
objdump=$1
def=$2
format=$3
caller=$4
shift 3
status=0
for file in "$@"; do
  actual=$("$objdump" -f "$file" | sed -n 's/.*file format \(.*\)$/\1/p')
  if [ "$actual" != "$format" ]; then
    echo "$file: $actual, not $format"
    status=1
  fi
done
imports=$("$objdump" -p "$caller" | sed -n '/DLL Name: sorvik\.dll$/,/^$/p' |
  sed -n 's/^[[:space:]]*[0-9a-f][0-9a-f]*[[:space:]][[:space:]]*[0-9][0-9]*[[:space:]][[:space:]]*\([^[:space:]]*\)$/\1/p' | sort)
same_names "$caller" "imports from sorvik.dll differ from $def" "$(def_names "$def")" "$imports" || status=1
[ $status -eq 0 ] && echo "$caller: imports $(printf '%s\n' "$imports" | wc -l) functions from sorvik.dll by name; $# files are $format"
exit $status
