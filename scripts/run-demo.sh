#!/usr/bin/env bash
# Builds the x86_64 tools and runs the demo on its built-in sample data under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 talven_demo
# Straight to the terminal, so progress shows as it happens.
wine "$TALVEN_ROOT/.build/x86_64/bin/talven_demo.exe" "$@" </dev/null
