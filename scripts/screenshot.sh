#!/usr/bin/env bash
# Takes a picture of the bar on the display the Windows programs run on.
#
#   scripts/screenshot.sh OUT.png [seconds]
#
# Waits `seconds` first (default 0), so that a bar started just before has time to fill its
# slots, then writes OUT.png: the area of every visible bar window (their bounding box), or the
# whole screen when no bar is on view. The display is $DISPLAY, else the one
# scripts/tools/wine-run.sh starts (:97, or :$VORN_DISPLAY). VORN_SCREENSHOT_CLASS picks other
# windows by their X class (default: the bar program's, vornbar.exe).
set -eu
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/screen.sh
. scripts/lib/screen.sh

usage() {
    echo "usage: $0 OUT.png [seconds]" >&2
    exit 2
}
if [ $# -lt 1 ] || [ $# -gt 2 ]; then usage; fi
out=$(cd "$OLDPWD" && realpath -m "$1")
delay=${2:-0}
case $delay in '' | *[!0-9.]*) usage ;; esac

export DISPLAY=${DISPLAY:-:${VORN_DISPLAY:-97}}
if ! xdpyinfo >/dev/null 2>&1; then
    echo "screenshot: no X display at $DISPLAY (start the bar with scripts/tools/wine-run.sh first)" >&2
    exit 1
fi
sleep "$delay"

class=${VORN_SCREENSHOT_CLASS:-$VORN_BAR_CLASS}
# The bounding box of the windows on view.
box=$(vorn_windows "$class" | awk '
    { r = $2 + $4; b = $3 + $5
      if (n++ == 0 || $2 < left) left = $2
      if (n == 1 || $3 < top) top = $3
      if (n == 1 || r > right) right = r
      if (n == 1 || b > bottom) bottom = b }
    END { if (n) print left, top, right - left, bottom - top }')
if [ -z "$box" ]; then
    echo "screenshot: no $class window on view; taking the whole screen" >&2
fi
# shellcheck disable=SC2086  # the box is four numbers, or nothing
vorn_screenshot "$out" $box
