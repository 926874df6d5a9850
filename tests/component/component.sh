#!/usr/bin/env bash
# The Linux-side steps of the component tests:
#   component.sh register|unregister PREFIX DLL IDL   regsvr32 (/u) /s; unregister then checks
#                                                      that none of the component's keys is left
#   component.sh client PREFIX SCRIPT EXPECTED         runs a script client in its own folder
#                                                      and compares its lines with EXPECTED
#   component.sh exports DLL                           the export table is exactly the four Dll*
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
step="$1"
shift

run() { "$root/scripts/wine-run.sh" "$prefix" "$@"; }

case "$step" in
register | unregister)
    prefix="$1" dll="$2" idl="$3"
    flags=(/s)
    [ "$step" = register ] || flags=(/u /s)
    run regsvr32 "${flags[@]}" "$(WINEPREFIX="$prefix" winepath -w "$dll")"
    [ "$step" = register ] && exit 0
    # The uuids of the interface, the library and the class, in the IDL's order.
    mapfile -t uuids < <(sed -n 's/.*uuid(\([0-9A-Fa-f-]*\)).*/{\1}/p' "$idl")
    left=0
    for key in "Talven.FileTools" "Interface\\${uuids[0]}" "TypeLib\\${uuids[1]}" \
        "CLSID\\${uuids[2]}"; do
        if run reg query "HKCR\\$key" >/dev/null 2>&1; then
            echo "left after unregistering: HKCR\\$key" >&2
            left=1
        fi
    done
    exit $left
    ;;
client)
    prefix="$1" script="$2" expected="$3"
    # The client's own folder, on drive C: like the component's temporary folder.
    dir="$(mktemp -d "$prefix/drive_c/talven-client.XXXXXX")"
    trap 'rm -rf "$dir"' EXIT
    status=0
    WINEPREFIX="$prefix" run cscript //nologo "$(WINEPREFIX="$prefix" winepath -w "$script")" \
        "$(WINEPREFIX="$prefix" winepath -w "$dir")" 2>/dev/null | tr -d '\r' >"$dir/out.txt" ||
        status=$?
    diff -u "$expected" "$dir/out.txt" && exit "$status"
    exit 1
    ;;
exports)
    dll="$1"
    if [ ! -f "$dll" ]; then
        echo "no $dll: build i686 first (scripts/run-tests.sh does)" >&2
        exit 1
    fi
    names="$(i686-w64-mingw32-objdump -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p')"
    expected="$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer \
        DllUnregisterServer)"
    [ "$names" = "$expected" ] || { echo "exports: $names" >&2; exit 1; }
    ;;
*)
    echo "unknown step $step" >&2
    exit 2
    ;;
esac
