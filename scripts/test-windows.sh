#!/usr/bin/env bash
# Cross-builds sorvik.dll for 64-bit and 32-bit Windows with MinGW-w64 and
# runs the Windows suite against each under Wine's side of the same width:
# wine64 for the 64-bit build, /usr/lib/wine/wine (wine32:i386) for the
# 32-bit one. Each build tree holds a Wine prefix of its own, created on the
# first run (the 32-bit one a 32-bit Windows prefix); one Xvfb is the display
# for the window tests of both. Where this machine cannot run 32-bit
# programs at all, which is found out by trying, one line says so and the
# 64-bit suite runs alone; any other failure of either suite fails the run.
# Called by test.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sorvik_install_missing "${sorvik_windows_packages[@]}"

win64=${SORVIK_WIN64_BUILD:-$SORVIK_ROOT/build-win64}
win32=${SORVIK_WIN32_BUILD:-$SORVIK_ROOT/build-win32}

sorvik_build_tree "$win32" -DCMAKE_TOOLCHAIN_FILE="$SORVIK_ROOT/cmake/mingw-w64-i686.cmake"
sorvik_build_tree "$win64" -DCMAKE_TOOLCHAIN_FILE="$SORVIK_ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DSORVIK_I686_DLL="$win32/sorvik.dll" -DSORVIK_I686_LINKED_CALLER="$win32/test-site/sorvik_linked_caller.exe"

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=/usr/lib/wine/wine
wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine to offer installing

# Xvfb picks a free display itself and writes its number once it accepts
# clients; a number probed for beforehand could be taken meanwhile.
scratch=$(mktemp -d)
mkfifo "$scratch/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
xvfb=$!
prefixes=()
cleanup() {
  for prefix in "${prefixes[@]}"; do  # each prefix's server, and every Wine process in it
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  done
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
display=
read -r -t 60 display <"$scratch/display" || true
[ -n "$display" ] || { echo "Xvfb did not start (no display number within 60 s)" >&2; exit 1; }
export DISPLAY=":$display"

# run_suite BUILD WINE WINEARCH: the suite of one build tree under one Wine.
# One server and one desktop for the whole suite: every test program starts
# under Wine, and a fresh server would set up the desktop for each again.
run_suite() {
  local build=$1 wine=$2 arch=$3
  export WINEPREFIX=$build/wineprefix WINEARCH=$arch
  prefixes+=("$WINEPREFIX")
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX ($arch)"
    timeout 600 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed in $WINEPREFIX" >&2; return 1; }
  fi
  timeout 60 "$wineserver" -w || true  # the one wineboot started ends first
  "$wineserver" -p
  timeout 300 "$wine" "$build/tests/win32/sorvik_helper.exe" window "warming up" </dev/null >/dev/null ||
    { echo "the helper does not run under $wine in $WINEPREFIX" >&2; return 1; }
  ctest --test-dir "$build" --output-on-failure --repeat until-pass:3 -j"$(nproc)"
}

status=0
echo "the 64-bit suite ($win64) under $wine64"
run_suite "$win64" "$wine64" win64 || status=1

# The 32-bit Wine loader is itself a 32-bit Linux program: where it cannot
# even start, neither can any 32-bit Windows program on this kernel.
if [ ! -x "$wine32" ]; then
  echo "the 32-bit suite did not run: $wine32 (wine32:i386) is not installed" >&2
  status=1
elif ! tried=$("$wine32" --version 2>&1); then
  echo "the 32-bit suite is skipped: this machine runs no 32-bit programs (tried $wine32 --version: ${tried##*: })"
else
  echo "the 32-bit suite ($win32) under $wine32"
  run_suite "$win32" "$wine32" win32 || status=1
fi
exit $status
