#!/usr/bin/env bash
# Runs the trace viewer's window tests where the window is really drawn: a Wine prefix with the
# X11 driver and its own Wine server, on a virtual display that this script starts and stops.
# Then takes a picture of the window with lines of every level and checks that it is one.
#   traceview-window.sh X11PREFIX PROGRAM [ARGS...]   (CTest's emulator for the window suite)
# Exits 77 (CTest: skipped) when Xvfb, xwd or ImageMagick is missing.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/make-traceview-shot.sh"
prefix="$1"
program="$2"
shift 2
if ! traceview_x11_tools; then
    echo "skipped: the window tests need Xvfb, xwd and /usr/bin/convert"
    exit 77
fi
work="$(mktemp -d)"
trap 'traceview_x11_stop; rm -rf "$work"' EXIT
traceview_x11_start "$prefix" || exit 1

traceview_wine "$program" "$@" </dev/null >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
cat "$work/err" >&2

# The picture: more than a few colours (text is drawn smoothed), and in the list's part of it
# the background of each level's lines.
bin="$(dirname "$program")"
if ! traceview_shot "$bin" "$work/shot.png"; then
    echo "FAILED: no picture of the window showed coloured lines" >&2
    exit 1
fi
colours="$(/usr/bin/convert "$work/shot.png" -format '%k' info:)"
read -r width height < <(/usr/bin/convert "$work/shot.png" -format '%w %h\n' info:)
listColours="$(/usr/bin/convert "$work/shot.png" -crop "${width}x$((height / 3))+0+$((height / 3))" \
    +repage -unique-colors txt:- | tr 'a-f' 'A-F')"
echo "window picture: ${width}x${height}, $colours colours"
if [ "$colours" -lt 32 ] || [ "$width" -lt 400 ] || [ "$height" -lt 200 ]; then
    echo "FAILED: the picture is not a drawn window" >&2
    status=1
fi
for background in FFE2E2 FFF4CC FFFFFF; do # levels 1, 2 and 3 to 4
    if ! grep -q "#$background" <<<"$listColours"; then
        echo "FAILED: the list area lacks the background #$background" >&2
        status=1
    fi
done
exit $status
