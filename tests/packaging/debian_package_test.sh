#!/bin/sh
# Makes the Debian package of the scratch build, unpacks it into a root of
# its own and checks what it holds.
#
#   debian_package_test.sh SCRATCH
set -eu
scratch=$1
fail() { echo "FAIL: $*"; exit 1; }

out=$scratch/deb
root=$scratch/deb-root
rm -rf "$out" "$root"
mkdir -p "$out"
(cd "$out" && cpack -G DEB --config "$scratch/tree/CPackConfig.cmake" >/dev/null)
package=$(ls "$out"/sorvik_1.0.0_*.deb) || fail "no package in $out"
echo "package: $(basename "$package")"

[ "$(dpkg-deb -f "$package" Package)" = sorvik ] || fail "package name"
[ "$(dpkg-deb -f "$package" Version)" = 1.0.0 ] || fail "package version"
dpkg-deb -f "$package" Depends | grep -q 'libc6' || fail "no dependency on libc6: $(dpkg-deb -f "$package" Depends)"
dpkg-deb --ctrl-tarfile "$package" | tar -xO ./shlibs | grep -qx 'libsorvik 1 sorvik (>= 1.0.0)' ||
  fail "no shlibs entry for libsorvik.so.1"

dpkg -x "$package" "$root"
libdir=usr/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$scratch/tree/CMakeCache.txt")
# Exactly these files: the test and demonstration builds never ship.
expected=$(sort <<LIST
./$libdir/cmake/Sorvik/SorvikConfig.cmake
./$libdir/cmake/Sorvik/SorvikConfigVersion.cmake
./$libdir/cmake/Sorvik/SorvikTargets-relwithdebinfo.cmake
./$libdir/cmake/Sorvik/SorvikTargets.cmake
./$libdir/libsorvik.so
./$libdir/libsorvik.so.1
./$libdir/libsorvik.so.1.0.0
./$libdir/pkgconfig/sorvik.pc
./usr/bin/sorvikctl
./usr/lib/sysusers.d/sorvik.conf
./usr/lib/tmpfiles.d/sorvik.conf
./usr/include/sorvik.h
./usr/lib/systemd/system/sorvik-metrics.service
./usr/lib/systemd/system/sorvik-metrics.timer
./usr/share/man/man1/sorvikctl.1
LIST
)
actual=$(cd "$root" && find . ! -type d | sort)
[ "$actual" = "$expected" ] || { echo "expected:"; echo "$expected"; echo "found:"; echo "$actual"; fail "package contents"; }

# The development link and the run-time link lead to the one library, whose SONAME is the run-time name.
[ "$(readlink "$root/$libdir/libsorvik.so")" = libsorvik.so.1 ] || fail "libsorvik.so does not lead to libsorvik.so.1"
[ "$(readlink "$root/$libdir/libsorvik.so.1")" = libsorvik.so.1.0.0 ] || fail "libsorvik.so.1 does not lead to 1.0.0"
readelf -d "$root/$libdir/libsorvik.so.1.0.0" | grep -q 'Library soname: \[libsorvik.so.1\]' || fail "SONAME"
readelf -d "$root/usr/bin/sorvikctl" | grep -q 'Shared library: \[libsorvik.so.1\]' || fail "sorvikctl needs libsorvik.so.1"
readelf -d "$root/usr/bin/sorvikctl" | grep -Eq 'RPATH|RUNPATH' && fail "sorvikctl keeps a build path"

head -n 1 "$root/usr/share/man/man1/sorvikctl.1" | grep -q '^\.TH SORVIKCTL 1 ' || fail "the manual page has no title"
grep -q "$scratch/site/Sorvik.sys" "$root/usr/share/man/man1/sorvikctl.1" || fail "the manual page does not name the site"

# The metrics units run the packaged sorvikctl every 15 seconds.
units=$root/usr/lib/systemd/system
grep -qx 'ExecStart=/usr/bin/sorvikctl metrics --output /var/lib/prometheus/node-exporter/sorvik.prom' \
  "$units/sorvik-metrics.service" || fail "the metrics service does not run /usr/bin/sorvikctl metrics"
grep -qx 'OnUnitActiveSec=15s' "$units/sorvik-metrics.timer" || fail "the metrics timer does not fire every 15 s"

# The pkg-config file finds the unpacked tree wherever it lies.
pc=$root/$libdir/pkgconfig/sorvik.pc
[ "$(pkg-config --modversion "$pc")" = 1.0.0 ] || fail "pkg-config version"
includedir=$(pkg-config --variable=includedir "$pc")
[ -f "$includedir/sorvik.h" ] || fail "pkg-config's includedir $includedir lacks sorvik.h"
[ -f "$(pkg-config --variable=libdir "$pc")/libsorvik.so" ] || fail "pkg-config's libdir lacks libsorvik.so"
echo "contents, links, SONAME, manual page, metrics units and pkg-config file as expected"

# The maintainer script applies the snippets: systemd's tools where the
# machine has them, groupadd and install otherwise.
control=$scratch/deb-control
rm -rf "$control"
dpkg-deb -e "$package" "$control"
[ -x "$control/postinst" ] || fail "the package has no executable postinst"
for line in 'systemd-sysusers /usr/lib/sysusers.d/sorvik.conf' 'systemd-tmpfiles --create /usr/lib/tmpfiles.d/sorvik.conf' \
  'groupadd --system sorvik' "install -d -m 2770 -o root -g sorvik $scratch/run"; do
  grep -qF "$line" "$control/postinst" || fail "postinst does not run: $line"
done
sh -n "$control/postinst" || fail "postinst is not a valid shell script"

# Applied to the unpacked root, which this test owns whole, never to the
# machine's: the group exists there and the run directory is root:sorvik 2770.
if command -v systemd-sysusers >/dev/null && command -v systemd-tmpfiles >/dev/null; then
  mkdir -p "$root/etc"
  systemd-sysusers --root="$root" "$root/usr/lib/sysusers.d/sorvik.conf" 2>/dev/null
  gid=$(sed -n 's/^sorvik:x:\([0-9]*\):.*/\1/p' "$root/etc/group")
  [ -n "$gid" ] || fail "systemd-sysusers made no group sorvik in $root/etc/group"
  systemd-tmpfiles --root="$root" --create "$root/usr/lib/tmpfiles.d/sorvik.conf"
  [ "$(stat -c '%a %u %g' "$root$scratch/run")" = "2770 0 $gid" ] ||
    fail "the run directory is $(stat -c '%a %u %g' "$root$scratch/run"), not 2770 root sorvik"
  echo "snippets applied in $root: group sorvik ($gid), run directory 2770 root:sorvik"
else
  echo "systemd-sysusers or systemd-tmpfiles missing: snippets not applied"
fi
