#!/usr/bin/env bash
# Configures and builds one architecture: build.sh x86_64|i686 [ninja targets...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch="$1"
shift
dir="$root/.build/$arch"
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
        -DTALVEN_WINEPREFIX="$root/.build/wineprefix" >/dev/null
fi
cmake --build "$dir" -- "$@"
