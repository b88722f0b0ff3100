#!/bin/sh
# Installs the scratch build under a prefix of its own, builds a user's
# program against it with pkg-config and with find_package, and runs it
# and the installed sorvikctl on the scratch site.
#
#   installed_tree_test.sh SOURCE SCRATCH REGION
set -eu
source=$1
scratch=$2
region=$3
prefix=$scratch/prefix
site=$scratch/site
trap 'rm -f "$scratch/run/$region" "$scratch/run/$region.lock"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$prefix"
cmake --install "$scratch/tree" --prefix "$prefix" >/dev/null
libdir=$prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$scratch/tree/CMakeCache.txt")
library=$libdir/libsorvik.so.1.0.0
[ -f "$library" ] || fail "no $library"
# Run nothing from it unless it is built for the scratch site.
grep -aq "$region" "$library" || fail "the installed library is not built for the region $region"
grep -aq "$site/Sorvik.sys" "$library" || fail "the installed library is not built for $site/Sorvik.sys"
grep -aq "$scratch/run" "$library" || fail "the installed library is not built for the run directory $scratch/run"
# A name unique to the run, so that no program of the machine counts.
name=report_job_$$
printf '%s 0 2 -1 0\n' "$name" >"$site/Sorvik.sys"

# The snippets that make the site's group and run directory.
grep -qx 'g sorvik -' "$prefix/lib/sysusers.d/sorvik.conf" || fail "no sysusers.d snippet making the group sorvik"
grep -qx "d $scratch/run 2770 root sorvik -" "$prefix/lib/tmpfiles.d/sorvik.conf" ||
  fail "no tmpfiles.d snippet making $scratch/run"
echo "sysusers.d and tmpfiles.d snippets installed"
expected='records 1
'"$name"' permit 2'

# pkg-config, as a Makefile would use it.
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs sorvik) || fail "pkg-config does not find sorvik"
cc "$source/tests/packaging/consumer/consumer.c" $flags -o "$scratch/consumer-pc"
got=$(LD_LIBRARY_PATH=$libdir "$scratch/consumer-pc")
[ "$got" = "$expected" ] || fail "the pkg-config build printed: $got"
echo "pkg-config: $flags"

# find_package(Sorvik), as a CMake project would use it.
rm -rf "$scratch/consumer-cmake"
cmake -S "$source/tests/packaging/consumer" -B "$scratch/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer-cmake" >/dev/null
got=$(LD_LIBRARY_PATH=$libdir "$scratch/consumer-cmake/consumer")
[ "$got" = "$expected" ] || fail "the find_package build printed: $got"
echo "find_package: Sorvik::sorvik"

# The installed tool finds the installed library through the loader's path only.
readelf -d "$prefix/bin/sorvikctl" | grep -Eq 'RPATH|RUNPATH' && fail "the installed sorvikctl keeps a build path"
out=$(LD_LIBRARY_PATH=$libdir "$prefix/bin/sorvikctl" list)
echo "$out" | grep -Eq "^0  $name +0 +2 +0 +never" || fail "the installed sorvikctl listed: $out"
echo "sorvikctl list:"
echo "$out"
