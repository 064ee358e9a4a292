# shellcheck shell=bash
# Sourced by the commands that find the program's windows on the X display and take pictures
# of them: which windows it shows, which one is the bar, and one way to take a picture.

# The bar's window title starts with this (unless its profile asks for the host name alone).
VORN_BAR_TITLE_PREFIX='TERVALO - '
# The X class of the program's windows: Wine names it after the program file, in lower case.
VORN_BAR_CLASS=vornbar.exe

# Visible X windows of X class CLASS, one "id x y width height title" line each; windows of
# one pixel or less are left out.
vorn_windows() {
    local class=$1 pattern id
    # shellcheck disable=SC2034  # set by xdotool's --shell output, with X, Y, WIDTH, HEIGHT
    local WINDOW X Y WIDTH HEIGHT SCREEN
    pattern="^$(printf '%s' "$class" | sed 's/[.[\*^$]/\\&/g')\$"
    for id in $(xdotool search --onlyvisible --classname "$pattern" 2>/dev/null || true); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        if [ "$WIDTH" -le 1 ] || [ "$HEIGHT" -le 1 ]; then continue; fi
        echo "$id $X $Y $WIDTH $HEIGHT $(xdotool getwindowname "$id" 2>/dev/null || true)"
    done
}

# The line of vorn_windows for the first bar on view (by its title), or nothing.
vorn_bar_window() {
    local id x y w h title
    while read -r id x y w h title; do
        case $title in
            "$VORN_BAR_TITLE_PREFIX"*) echo "$id $x $y $w $h $title"; return ;;
        esac
    done < <(vorn_windows "$VORN_BAR_CLASS")
}

# vorn_screenshot OUT [X Y WIDTH HEIGHT [PAD]]
# Writes that area of the screen, widened by PAD pixels (default 0) on every side and clipped
# to the screen, to OUT; the whole screen without an area, or when the area lies off screen.
vorn_screenshot() {
    local out=$1
    if [ $# -ge 5 ]; then
        local pad=${6:-0} sw sh
        local left=$(($2 - pad)) top=$(($3 - pad)) right=$(($2 + $4 + pad)) bottom=$(($3 + $5 + pad))
        read -r sw sh < <(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1], d[2]; exit }')
        [ "$left" -ge 0 ] || left=0
        [ "$top" -ge 0 ] || top=0
        [ "$right" -le "$sw" ] || right=$sw
        [ "$bottom" -le "$sh" ] || bottom=$sh
        if [ "$right" -gt "$left" ] && [ "$bottom" -gt "$top" ]; then
            import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out"
            return
        fi
    fi
    import -window root "$out"
}
