#!/usr/bin/env bash
# Builds the talven tool (x86_64) and runs its guided tour, `talven demo`, under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 talven_tool
# Straight to the terminal, so the progress bar shows as it happens; Wine's own diagnostics
# ("wine: Read access denied for device ...") are not the tool's and are dropped.
wine "$TALVEN_ROOT/.build/x86_64/bin/talven.exe" demo "$@" </dev/null 2> >(grep -av '^wine: ' >&2)
