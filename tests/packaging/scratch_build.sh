#!/bin/sh
# Configures and builds the project afresh in SCRATCH for the packaging
# tests, as a Debian package would be built (prefix /usr), but with a site
# of its own: its configuration file in SCRATCH/site and the shared region
# REGION in SCRATCH/run, so that nothing it installs ever touches the
# machine's site.
#
#   scratch_build.sh SOURCE SCRATCH REGION
set -eu
source=$1
scratch=$2
region=$3
rm -rf "$scratch"
mkdir -p "$scratch/site" "$scratch/run"
cmake -S "$source" -B "$scratch/tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVIK_BUILD_TESTS=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DCMAKE_INSTALL_PREFIX=/usr -DSORVIK_CONFIG_PATH="$scratch/site/Sorvik.sys" -DSORVIK_REGION_NAME="$region" \
  -DSORVIK_RUN_DIR="$scratch/run" >/dev/null
cmake --build "$scratch/tree" --target sorvik sorvikctl -j2 >/dev/null
echo "built in $scratch/tree"
