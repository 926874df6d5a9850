#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's private prefix and passes on its output
# and exit status: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The program's output goes through files, not straight into the caller's pipes: a Wine service
# that the program starts (COM, networking) lives on after it and would otherwise hold CTest's
# pipe open until it exits, which makes the test look as if it hung.
set -uo pipefail
export WINEPREFIX="$(cd "$1" && pwd)"
shift
export WINEDEBUG="${WINEDEBUG:--all}"
out="$(mktemp)"
err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT
wine "$@" </dev/null >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
exit "$status"
