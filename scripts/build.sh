#!/usr/bin/env bash
# Configures and builds one build folder: build.sh VARIANT [ninja targets...]
#   x86_64, i686       plain release builds
#   x86_64-checked     undefined behaviour trapped, library assertions on (the tests run here)
#   x86_64-coverage    -O0 with coverage counters (scripts/run-coverage.sh)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
variant="$1"
shift
arch="${variant%%-*}"
case "$variant" in
x86_64 | i686) options=(-DCMAKE_BUILD_TYPE=Release) ;;
x86_64-checked) options=(-DCMAKE_BUILD_TYPE=Release -DTALVEN_CHECKED=ON) ;;
x86_64-coverage) options=(-DCMAKE_BUILD_TYPE=Debug -DTALVEN_COVERAGE=ON) ;;
*)
    echo "build.sh: unknown variant '$variant'" >&2
    exit 2
    ;;
esac
dir="$root/.build/$variant"
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
        -DTALVEN_WINEPREFIX="$root/.build/wineprefix" >/dev/null
fi
cmake --build "$dir" -- "$@"
