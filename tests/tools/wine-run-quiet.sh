#!/usr/bin/env bash
# End-to-end: the tool run through scripts/wine-run.sh from a Linux folder (the current folder is
# then on Z:, whose volume Wine cannot read) prints only its own output: Wine's diagnostics,
# such as "Read access denied for device", never reach the user. wine-run-quiet.sh PREFIX BINDIR
set -uo pipefail
prefix="$(cd "$1" && pwd)"
bin="$(cd "$2" && pwd)"
run="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/wine-run.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

check() { # expected-status expected-stdout-part expected-stderr-lines args...
    local want="$1" part="$2" lines="$3"
    shift 3
    bash "$run" "$prefix" "$bin/talven.exe" "$@" >out 2>err
    local status=$?
    if [ "$status" -ne "$want" ] || { [ -n "$part" ] && ! grep -qF -- "$part" out; } ||
        [ "$(wc -l <err)" -ne "$lines" ] || grep -q '^wine: ' err; then
        echo "FAILED: talven $* (status $status)"
        echo "--- stdout"; head -5 out
        echo "--- stderr"; cat err
        exit 1
    fi
}

check 0 'root:            Z:\' 0 vol '\'
check 1 '' 1 ls '\no-such-folder-talven'
echo "wine-run.sh kept Wine's diagnostics out"
