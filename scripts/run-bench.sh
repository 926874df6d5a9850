#!/usr/bin/env bash
# Builds the x86_64 benchmark programs (every target whose name ends in _bench, from every
# bench/ folder) and runs each under Wine in the project's prefix.
# Usage: run-bench.sh [target...]   (default: all of them; e.g. run-bench.sh tree_bench)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT

dir="$TALVEN_ROOT/.build/x86_64"
# Configures when needed and builds the library, which also refreshes the globbed bench folders.
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 talven

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(ninja -C "$dir" -t targets all |
        sed -n 's/^\([A-Za-z0-9_]*_bench\): phony$/\1/p' | grep -v '^cmake_' | sort)
fi
if [ ${#targets[@]} -eq 0 ]; then
    echo "no benchmark targets found" >&2
    exit 1
fi
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 "${targets[@]}"

failed=0
for target in "${targets[@]}"; do
    echo
    echo "=== $target"
    if ! "$TALVEN_ROOT/scripts/wine-run.sh" "$WINEPREFIX" "$dir/bin/$target.exe"; then
        echo "$target failed" >&2
        failed=1
    fi
done
exit $failed
