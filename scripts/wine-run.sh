#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's private prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# stdin is detached so Wine's background services never hold a caller's pipe open.
set -euo pipefail
export WINEPREFIX="$(cd "$1" && pwd)"
shift
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@" </dev/null
