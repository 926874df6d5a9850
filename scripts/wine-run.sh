#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's private prefix and passes on its output
# and exit status: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The program's output goes through files, not straight into the caller's pipes: a Wine service
# that the program starts (COM, networking) lives on after it and would otherwise hold CTest's
# pipe open until it exits, which makes the test look as if it hung.
#
# Wine's own diagnostics on stderr (such as "wine: Read access denied for device ..." when a
# program asks for the volume of Z:, or debug-channel lines) are not the program's output and
# are dropped, except heap reports. When the program fails and nothing else is left, they are shown after all: then
# they say why it could not start.
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
own="$(grep -Eav '^(wine: |[0-9a-f]{4}:(fixme|err|warn|trace):|(fixme|err|warn|trace):)' "$err")"
# Heap reports stay: the checked test run turns them on, and a report fails the test.
heap="$(grep -Ea '(err|warn):heap' "$err")"
own="$own${own:+${heap:+$'\n'}}$heap"
if [ -n "$own" ]; then
    printf '%s\n' "$own" >&2
elif [ "$status" -ne 0 ]; then
    cat "$err" >&2
fi
exit "$status"
