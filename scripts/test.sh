#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sorvik_install_missing "${sorvik_packages[@]}"
sorvik_build
ctest --test-dir "$SORVIK_BUILD" --output-on-failure --repeat until-pass:3 -j"$(nproc)"
"$SORVIK_ROOT/scripts/test-sanitizers.sh"
"$SORVIK_ROOT/scripts/fuzz.sh" 30
"$(dirname "${BASH_SOURCE[0]}")/test-windows.sh"
