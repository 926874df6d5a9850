#!/usr/bin/env bash
# One set-up path for every command of the README: installs what is missing (idempotently),
# prepares the private Wine prefix and starts its persistent server.
# Usage: source scripts/setup.sh   (sets TALVEN_ROOT and WINEPREFIX)
set -euo pipefail

TALVEN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export TALVEN_ROOT
export WINEPREFIX="$TALVEN_ROOT/.build/wineprefix"
export WINEDEBUG=-all

talven_log() { echo "[setup] $*" >&2; }

talven_install_packages() {
    # widl and Wine's IDL files build the COM example; Xvfb, xwd and ImageMagick draw the trace
    # viewer's window and take its picture; clang is the second compiler; gcovr reports coverage.
    local wanted=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 cmake
                  ninja-build googletest ca-certificates mingw-w64-tools libwine-dev xvfb x11-apps
                  imagemagick clang clang-format gcovr)
    command -v npm >/dev/null 2>&1 || wanted+=(nodejs npm)
    local missing=()
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        talven_log "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}

talven_prepare_wine() {
    mkdir -p "$TALVEN_ROOT/.build"
    if [ ! -f "$WINEPREFIX/.talven-ready" ]; then
        talven_log "creating the Wine prefix"
        rm -rf "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1 || true
        timeout 120 wineserver -w || true
        # Windows can be created without a display.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        timeout 120 wineserver -w || true
        touch "$WINEPREFIX/.talven-ready"
    fi
    # Extra drive letters and per-program Windows versions for the tests; Wine reads the drive
    # list when its server starts, so this comes before the persistent server.
    bash "$TALVEN_ROOT/tests/fixtures/setup-drives.sh" "$WINEPREFIX"
    bash "$TALVEN_ROOT/tests/fixtures/util-tmpfs-drive.sh" "$WINEPREFIX"
    # A persistent server, and one warm-up with every stream redirected so that Wine's
    # background services never hold CTest's output pipe open.
    # A server that was already running is left to whoever started it.
    TALVEN_STARTED_SERVER=0
    if wineserver -p >/dev/null 2>&1; then
        TALVEN_STARTED_SERVER=1
    fi
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

talven_stop_wine() {
    if [ "${TALVEN_STARTED_SERVER:-0}" = 1 ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
}

talven_install_packages
if [ -f "$TALVEN_ROOT/scripts/fetch-sqlite.sh" ]; then
    bash "$TALVEN_ROOT/scripts/fetch-sqlite.sh"
fi
talven_prepare_wine
