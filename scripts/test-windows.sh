#!/usr/bin/env bash
# Cross-builds sorvik.dll for 64-bit and 32-bit Windows with MinGW-w64 and
# runs the Windows suite under Wine: the 64-bit build only, since this kernel
# runs no 32-bit programs; the 32-bit DLL's exports are checked all the same.
# Wine gets a prefix of its own inside the build tree, created on the first
# run, and Xvfb as the display for the window tests. Called by test.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sorvik_install_missing "${sorvik_windows_packages[@]}"

win64=${SORVIK_WIN64_BUILD:-$SORVIK_ROOT/build-win64}
win32=${SORVIK_WIN32_BUILD:-$SORVIK_ROOT/build-win32}

cmake -S "$SORVIK_ROOT" -B "$win32" -DCMAKE_TOOLCHAIN_FILE="$SORVIK_ROOT/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$win32" -j"$(nproc)"
cmake -S "$SORVIK_ROOT" -B "$win64" -DCMAKE_TOOLCHAIN_FILE="$SORVIK_ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVIK_I686_DLL="$win32/sorvik.dll" >/dev/null
cmake --build "$win64" -j"$(nproc)"

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX=$win64/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine to offer installing

display=
for n in $(seq 70 99); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number for Xvfb" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  "$wineserver" -k 2>/dev/null || true  # this prefix's server, and every Wine process in it
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"

# One server and one desktop for the whole run: every test program starts
# under Wine, and a fresh server would set up the desktop for each again.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  timeout 600 "$wine" wineboot -i >/dev/null 2>&1
fi
timeout 60 "$wineserver" -w || true  # the one wineboot started ends first
"$wineserver" -p
timeout 300 "$wine" "$win64/tests/win32/sorvik_helper.exe" window "warming up" </dev/null >/dev/null

ctest --test-dir "$win64" --output-on-failure -j"$(nproc)"
