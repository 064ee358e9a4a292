# Sourced by the scripts that run Windows programs: the project's own Wine prefix and a
# display. The prefix is made on first use; a virtual display is started when none is set.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEPREFIX=${VORN_WINEPREFIX:-$HOME/.cache/vornbar/wineprefix}
export LANG=${LANG:-C.UTF-8}

vorn_display() {
    if [ -n "${DISPLAY:-}" ]; then return 0; fi
    local n=${VORN_DISPLAY:-97}
    export DISPLAY=":$n"
    (
        flock 9
        if ! xdpyinfo >/dev/null 2>&1 && [ ! -e "/tmp/.X$n-lock" ]; then
            setsid nohup Xvfb ":$n" -screen 0 1600x900x24 -nolisten tcp >/dev/null 2>&1 &
            for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        fi
    ) 9>"/tmp/.vorn-xvfb-$n.lock"
}

vorn_wine_prefix() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.vorn-ready" ]; then
            rm -rf "$WINEPREFIX"
            wineboot -i >/dev/null 2>&1
            # No window manager runs on Xvfb: unmanaged windows end without Wine's 2 s wait.
            wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
            # The bar's font, drawn with the IPA Gothic font that Debian ships.
            wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ ゴシック' /d 'IPAGothic' /f >/dev/null 2>&1
            wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Gothic' /d 'IPAGothic' /f >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.vorn-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
}

vorn_wine_prepare() {
    vorn_display
    vorn_wine_prefix
}
