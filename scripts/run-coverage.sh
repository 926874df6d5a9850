#!/usr/bin/env bash
# Line and branch coverage of the library (Private/, support/, onlineutils/): builds the x86_64
# tests with coverage counters, runs the whole suite under Wine, and writes an HTML report to
# .build/x86_64-coverage/coverage/index.html with a one-line summary on the console.
# Usage: run-coverage.sh [ctest arguments...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT
dir="$TALVEN_ROOT/.build/x86_64-coverage"
bash "$TALVEN_ROOT/scripts/build.sh" x86_64-coverage
# Counters of an earlier run would add up with this one's.
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j2 "$@" >"$dir/ctest.log" 2>&1) || {
    tail -n 30 "$dir/ctest.log"
    echo "coverage: some tests failed (log: $dir/ctest.log)" >&2
}
mkdir -p "$dir/coverage"
cd "$TALVEN_ROOT"
# Throw and unreachable branches are the compiler's, not decisions of the code.
# Searched from the build folder only: the Wine prefix under .build links to /.
gcovr --gcov-executable x86_64-w64-mingw32-gcov -r . --object-directory "$dir" \
    --filter Private/ --filter support/ --filter onlineutils/ \
    --exclude-throw-branches --exclude-unreachable-branches \
    --html-details "$dir/coverage/index.html" --print-summary "$dir" | tail -n 3
