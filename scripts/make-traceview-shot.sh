#!/usr/bin/env bash
# Draws traceview's window on a virtual X display through Wine's X11 driver, with lines of
# every level from three traced programs, and saves a picture of it:
#   bash scripts/make-traceview-shot.sh [OUT.png]        (default: docs/traceview.png)
# Sourced, it only defines the functions that the window tests share:
#   traceview_x11_start PREFIX   a Wine prefix with the X11 driver (made when missing), its own
#                                Wine server, and Xvfb on a free display
#   traceview_x11_stop           ends the server and the display it started
#   traceview_shot BIN OUT.png   shows traceview.exe from BIN with lines and takes the picture
# The project's main prefix keeps the null driver; this one is separate.

traceview_x11_tools() {
    command -v Xvfb >/dev/null && command -v xwd >/dev/null && [ -x /usr/bin/convert ]
}

traceview_wine() {
    WINEPREFIX="$TRACEVIEW_PREFIX" DISPLAY=":$TRACEVIEW_DISPLAY" WINEDEBUG="${WINEDEBUG:--all}" wine "$@"
}

traceview_reg() {
    WINEPREFIX="$TRACEVIEW_PREFIX" WINEDEBUG=-all wine reg add "$1" /v "$2" /d "$3" /f \
        </dev/null >/dev/null 2>&1
}

traceview_x11_start() {
    TRACEVIEW_PREFIX="$1"
    if [ ! -f "$TRACEVIEW_PREFIX/.talven-x11-ready" ]; then
        rm -rf "$TRACEVIEW_PREFIX"
        # No Mono or Gecko: nothing here needs them, and their installers would ask.
        WINEPREFIX="$TRACEVIEW_PREFIX" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all \
            DISPLAY= wineboot -i </dev/null >/dev/null 2>&1 || true
        # X11 drawing, in a virtual desktop so that Wine draws window frames itself without a
        # window manager.
        local w='HKCU\Software\Wine'
        traceview_reg "$w\Drivers" Graphics x11
        traceview_reg "$w\Explorer" Desktop Default
        traceview_reg "$w\Explorer\Desktops" Default 1024x700
        WINEPREFIX="$TRACEVIEW_PREFIX" timeout 120 wineserver -w || true
        touch "$TRACEVIEW_PREFIX/.talven-x11-ready"
    fi
    local displayFile
    displayFile="$(mktemp)"
    # -displayfd: Xvfb picks a free display and writes its number once it is ready.
    Xvfb -displayfd 3 -screen 0 1024x700x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
    TRACEVIEW_XVFB_PID=$!
    local waited=0
    until [ -s "$displayFile" ] || [ $waited -ge 200 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    TRACEVIEW_DISPLAY="$(tr -d '\n' <"$displayFile")"
    rm -f "$displayFile"
    if [ -z "$TRACEVIEW_DISPLAY" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    WINEPREFIX="$TRACEVIEW_PREFIX" DISPLAY=":$TRACEVIEW_DISPLAY" wineserver -p >/dev/null 2>&1
    # Wine's background services start here, outside the caller's pipes.
    traceview_wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

traceview_x11_stop() {
    if [ -n "${TRACEVIEW_PREFIX:-}" ]; then
        WINEPREFIX="$TRACEVIEW_PREFIX" wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "${TRACEVIEW_XVFB_PID:-}" ]; then
        kill "$TRACEVIEW_XVFB_PID" 2>/dev/null || true
        wait "$TRACEVIEW_XVFB_PID" 2>/dev/null || true
        TRACEVIEW_XVFB_PID=
    fi
}

# A Linux path as Wine's Z: drive names it.
traceview_winpath() {
    local path="$1"
    echo "Z:${path//\//\\}"
}

# Asks the running window to save what it shows into FILE; true once it has N lines or more.
traceview_has_lines() {
    local bin="$1" file="$2" wanted="$3"
    traceview_wine "$bin/traceview.exe" --save "$(traceview_winpath "$file")" \
        </dev/null >/dev/null 2>&1 && [ "$(wc -l <"$file")" -ge "$wanted" ]
}

traceview_shot() {
    local bin="$1" out="$2" work
    work="$(mktemp -d)"
    traceview_wine "$bin/traceview.exe" --window </dev/null >/dev/null 2>&1 &
    local viewer=$! tries=0
    until traceview_has_lines "$bin" "$work/lines.txt" 0 || [ $tries -ge 100 ]; do
        sleep 0.2
        tries=$((tries + 1))
    done
    # Each sample writes a scope (level 4), numbered lines (2), a value (3) and an error (1).
    local sample lines=0
    for sample in Importer:9 Network:6 Database:4; do
        traceview_wine "$bin/trace_sample.exe" --lines "${sample#*:}" --component "${sample%:*}" \
            </dev/null >/dev/null 2>&1
        lines=$((lines + ${sample#*:} + 4))
    done
    traceview_has_lines "$bin" "$work/lines.txt" "$lines"
    local status=1
    # The window draws when it is idle: take pictures until one shows the list's colours.
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        sleep 0.5
        xwd -root -display ":$TRACEVIEW_DISPLAY" -out "$work/shot.xwd" 2>/dev/null || continue
        # The desktop around the window is one colour: trim it away.
        /usr/bin/convert "$work/shot.xwd" -trim +repage "$out" 2>/dev/null || continue
        if /usr/bin/convert "$out" -unique-colors txt:- 2>/dev/null | grep -qi 'FFE2E2'; then
            status=0
            break
        fi
    done
    traceview_wine "$bin/traceview.exe" --stop </dev/null >/dev/null 2>&1 || true
    wait "$viewer" 2>/dev/null || true
    rm -rf "$work"
    return $status
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    out="$(realpath -m "${1:-$root/docs/traceview.png}")"
    source "$root/scripts/setup.sh"
    trap talven_stop_wine EXIT
    traceview_x11_tools || {
        echo "needs Xvfb, xwd and /usr/bin/convert (scripts/setup.sh installs them)" >&2
        exit 1
    }
    bash "$root/scripts/build.sh" x86_64 traceview trace_sample >/dev/null
    trap 'traceview_x11_stop; talven_stop_wine' EXIT
    traceview_x11_start "$root/.build/wineprefix-x11"
    traceview_shot "$root/.build/x86_64/bin" "$out"
    echo "wrote $out"
fi
