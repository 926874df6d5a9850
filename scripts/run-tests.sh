#!/usr/bin/env bash
# Builds both architectures and runs every test of the x86_64 build under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT
bash "$TALVEN_ROOT/scripts/build.sh" i686
bash "$TALVEN_ROOT/scripts/build.sh" x86_64
cd "$TALVEN_ROOT/.build/x86_64"
ctest --output-on-failure -j2 "$@"
