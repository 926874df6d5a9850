#!/usr/bin/env bash
# The layer rules, checked on the include lines of every source of ours:
#   support/                     includes nothing from Private/;
#   Private/ outside Windows/    includes no Windows header (<windows.h>, support/TalvenWindows.h,
#                                support/Win32Handle.h) and nothing from Private/Windows/;
#   the whole tree               includes <windows.h> only in support/TalvenWindows.h.
# Prints each offending line and fails when there is one.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
sources() { git ls-files -- "$@" | grep -E '\.(c|cc|cpp|h|hpp|inl)$' || true; }
found=0
report() { # rule, then grep -n output lines
    while IFS= read -r line; do
        [ -n "$line" ] && echo "layers: $1: $line" && found=1
    done
}
includes() { # files..., extended pattern of the included name
    local pattern="${*: -1}"
    local files=("${@:1:$#-1}")
    [ ${#files[@]} -eq 0 ] || grep -HnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)[>\"]" "${files[@]}" || true
}
mapfile -t support < <(sources support)
mapfile -t portable < <(sources Private | grep -v '^Private/Windows/')
mapfile -t everything < <(sources . | grep -v '^third_party/' | grep -v '^support/TalvenWindows.h$')
report "support/ includes from Private/" < <(includes "${support[@]}" 'Private/.*')
report "portable Private/ includes a Windows header" < <(includes "${portable[@]}" \
    '[Ww]indows\.h|support/TalvenWindows\.h|support/Win32Handle\.h|Private/Windows/.*')
report "<windows.h> outside support/TalvenWindows.h" < <(includes "${everything[@]}" '[Ww]indows\.h')
if [ "$found" -ne 0 ]; then
    exit 1
fi
echo "layers: support/ and portable Private/ keep to their layers"
