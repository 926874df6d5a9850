#!/usr/bin/env bash
# End-to-end: Ctrl+C during `talven copy -r` stops the copy, removes the partial target and ends
# with status 130. Run from Linux because a Windows-side test cannot raise the event under Wine
# (GenerateConsoleCtrlEvent fails there); Wine turns SIGINT into CTRL_C_EVENT for the handlers.
# ctrl-c-copy.sh PREFIX BINDIR
set -uo pipefail
export WINEPREFIX="$(cd "$1" && pwd)"
export WINEDEBUG=-all
bin="$(cd "$2" && pwd)"

work="$(mktemp -d "$WINEPREFIX/drive_c/talven-ctrlc.XXXXXX")"
trap 'rm -rf "$work"' EXIT
winwork="C:\\$(basename "$work")"

fail() {
    echo "FAILED: $*"
    echo "--- stdout"; tr '\r' '\n' <"$work/out" | tail -5
    echo "--- stderr"; cat "$work/err"
    exit 1
}

# Enough files that the copy runs for seconds under Wine; printf is a builtin, so this is quick.
files=0
for f in $(seq 0 29); do
    mkdir -p "$work/src/f$f"
    for i in $(seq 0 99); do
        printf '%4096s' "$f-$i" >"$work/src/f$f/file$i"
        files=$((files + 1))
    done
done

wine "$bin/talven.exe" copy -r "$winwork\\src" "$winwork\\dst" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
# Interrupt once the progress bar is drawn, i.e. once the copy has begun.
for _ in $(seq 1 3000); do
    grep -q '%' "$work/out" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
done
kill -INT "$pid" 2>/dev/null || fail "the copy ended before it could be interrupted"
wait "$pid"
status=$?

[ "$status" -eq 130 ] || fail "exit status $status, expected 130"
grep -qx 'talven: cancelled; the partial copy was removed' <(tr -d '\r' <"$work/err") ||
    fail "no cancellation message"
[ ! -e "$work/dst" ] || fail "the partial target is still there"
left=$(find "$work/src" -type f | wc -l)
[ "$left" -eq "$files" ] || fail "the source lost files: $left of $files"
echo "ctrl-c-copy: interrupted, status 130, partial target removed, source intact ($files files)"
