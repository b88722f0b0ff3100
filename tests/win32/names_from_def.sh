# Sourced by the checks of the DLL's exports and of its callers' imports.

# def_names DEF: the undecorated names of the functions a .def file lists,
# sorted.
def_names() {
  sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)@[0-9]*$/\1/p' "$1" | sort
}

# same_names FILE WHAT WANTED ACTUAL: true when the two lists of names are
# the same; otherwise says how FILE's differ (< wanted, > ACTUAL) and is
# false. WHAT says which of FILE's names these are, against which list.
same_names() {
  [ "$3" = "$4" ] && return 0
  echo "$1: $2 (< wanted, > found):"
  printf '%s\n' "$3" > "$1.wanted"
  printf '%s\n' "$4" | diff "$1.wanted" - || true
  rm -f "$1.wanted"
  return 1
}
