#!/usr/bin/env bash
# Takes a picture of the bar on the display the Windows programs run on.
#
#   scripts/screenshot.sh OUT.png [seconds]
#
# Waits `seconds` first (default 0), so that a bar started just before has time to fill its
# slots, then writes OUT.png: the area of every visible bar window (their bounding box), or the
# whole screen when no bar is on view. The display is $DISPLAY, else the one scripts/wine-run.sh
# starts (:97, or :$VORN_DISPLAY). VORN_SCREENSHOT_CLASS picks other windows by their X class
# (default: the bar program's, vornbar.exe).
set -eu

usage() {
    echo "usage: $0 OUT.png [seconds]" >&2
    exit 2
}
if [ $# -lt 1 ] || [ $# -gt 2 ]; then usage; fi
out=$1
delay=${2:-0}
case $delay in '' | *[!0-9.]*) usage ;; esac

export DISPLAY=${DISPLAY:-:${VORN_DISPLAY:-97}}
if ! xdpyinfo >/dev/null 2>&1; then
    echo "screenshot: no X display at $DISPLAY (start the bar with scripts/wine-run.sh first)" >&2
    exit 1
fi
sleep "$delay"

class=${VORN_SCREENSHOT_CLASS:-vornbar.exe}
# Wine names each X window's class after the program file, in lower case.
pattern="^$(printf '%s' "$class" | sed 's/[.[\*^$]/\\&/g')\$"
left='' top='' right='' bottom=''
for win in $(xdotool search --onlyvisible --classname "$pattern" 2>/dev/null || true); do
    eval "$(xdotool getwindowgeometry --shell "$win")"  # sets X, Y, WIDTH, HEIGHT
    if [ "$WIDTH" -le 1 ] || [ "$HEIGHT" -le 1 ]; then continue; fi
    r=$((X + WIDTH))
    b=$((Y + HEIGHT))
    if [ -z "$left" ]; then
        left=$X top=$Y right=$r bottom=$b
    else
        [ "$X" -lt "$left" ] && left=$X
        [ "$Y" -lt "$top" ] && top=$Y
        [ "$r" -gt "$right" ] && right=$r
        [ "$b" -gt "$bottom" ] && bottom=$b
    fi
done

if [ -n "$left" ]; then
    # Clip to the screen: a bar may stand partly outside it.
    read -r sw sh < <(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1], d[2]; exit }')
    [ "$left" -lt 0 ] && left=0
    [ "$top" -lt 0 ] && top=0
    [ "$right" -gt "$sw" ] && right=$sw
    [ "$bottom" -gt "$sh" ] && bottom=$sh
    if [ "$right" -gt "$left" ] && [ "$bottom" -gt "$top" ]; then
        import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out"
        exit 0
    fi
fi
echo "screenshot: no $class window on view; taking the whole screen" >&2
import -window root "$out"
