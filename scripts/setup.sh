#!/usr/bin/env bash
# Installs the Debian packages the build and its tests need, when missing,
# and configures and builds trees: build/, or any other with
# sorvik_build_tree. Sourced by every script here.
set -euo pipefail

SORVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SORVIK_BUILD=${SORVIK_BUILD:-$SORVIK_ROOT/build}

sorvik_packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libcli11-dev libxcb1-dev libxcb-res0-dev xvfb)
# The Windows DLL and its suite (scripts/test-windows.sh): MinGW-w64 for both
# widths, Wine's 64-bit and 32-bit sides to run the tests of each, Xvfb as
# their display. The 32-bit side comes from the i386 architecture, which
# sorvik_install_missing adds first.
sorvik_windows_packages=(cmake make googletest g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  wine32:i386 xvfb)

# The benchmarks (scripts/bench.sh), built and smoke-tested with the rest;
# gnuplot draws their scaling picture.
sorvik_packages+=(libbenchmark-dev python3 python3-psutil procps gnuplot-nox)
# sorvikctl's metrics are checked with Prometheus's own parser.
sorvik_packages+=(python3-prometheus-client)
# The sanitizer builds use g++'s own runtimes; the fuzzers need clang and
# its libFuzzer runtime; the tests of other users' access need setpriv.
sorvik_packages+=(util-linux)
# The packaging test applies the package's sysusers.d and tmpfiles.d snippets
# to a root of its own with systemd's tools.
sorvik_packages+=(systemd)
sorvik_fuzz_packages=(clang libclang-rt-14-dev)

sorvik_install_missing() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
    fi
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# sorvik_build_tree DIR [CMAKE_OPTION...] [-- BUILD_OPTION...]: configures
# the tree in DIR (RelWithDebInfo unless an option says otherwise) and builds
# it on every core. Every build the scripts make goes through here, so that
# all of them are configured alike; CC and CXX, when set, choose the compiler
# as for any CMake configure.
sorvik_build_tree() {
  local build=$1 configure=() options=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  options=("$@")
  cmake -S "$SORVIK_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" >/dev/null
  cmake --build "$build" -j"$(nproc)" "${options[@]}"
}

# The tree the two commands, the tests and the benchmarks use.
sorvik_build() {
  sorvik_build_tree "$SORVIK_BUILD" "$@"
}
