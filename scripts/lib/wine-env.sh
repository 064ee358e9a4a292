# shellcheck shell=bash
# Sourced by the scripts that run Windows programs: the project's own Wine prefix and a
# display. The prefix is made on first use; a virtual display is started when none is set.
# Daemons started under a lock (Xvfb, wineserver) get the lock's descriptor closed, or
# they would hold the lock for their whole life.
#
# Some machines boot with the kernel's 32-bit emulation off (dmesg: "32-bit emulation
# disabled"): there no 32-bit code runs at all, neither Wine's 32-bit loader nor a 32-bit
# Windows program. The scripts then use the 64-bit loader directly and run the 64-bit twin
# of the product (preset win64); `vorn_wine_bits` tells which one this machine runs.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEPREFIX=${VORN_WINEPREFIX:-$HOME/.cache/vornbar/wineprefix}
export LANG=${LANG:-C.UTF-8}

# Prints 32 when 32-bit Windows programs can run here, 64 otherwise.
vorn_wine_bits() {
    if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo 32
    else
        echo 64
    fi
}

vorn_wine_loader() {
    # The program is a Japanese ANSI program: under a Japanese locale Wine gives it code
    # page 932, so its Japanese strings survive the ANSI functions (set only for Wine, as
    # the Linux tools around it may not have that locale).
    local locale=(env "LC_ALL=${VORN_WINE_LOCALE:-ja_JP.UTF-8}")
    if [ "$(vorn_wine_bits)" = 32 ]; then
        VORN_WINE=("${locale[@]}" wine)
    else
        export WINELOADER=/usr/lib/wine/wine64
        export WINESERVER=/usr/lib/wine/wineserver64
        export WINEARCH=win64
        VORN_WINE=("${locale[@]}" /usr/lib/wine/wine64)
    fi
}

vorn_display() {
    if [ -n "${DISPLAY:-}" ]; then return 0; fi
    local n=${VORN_DISPLAY:-97}
    export DISPLAY=":$n"
    (
        flock 9
        if ! xdpyinfo >/dev/null 2>&1; then
            rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
            setsid nohup Xvfb ":$n" -screen 0 1600x900x24 -nolisten tcp >/dev/null 2>&1 9>&- &
            for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
        fi
    ) 9>"/tmp/.vorn-xvfb-$n.lock"
}

vorn_wine_prefix() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.vorn-ready" ]; then
            rm -rf "$WINEPREFIX"
            "${VORN_WINE[@]}" wineboot -i >/dev/null 2>&1 9>&- || true
            # No window manager runs on Xvfb: unmanaged windows end without Wine's 2 s wait.
            "${VORN_WINE[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 9>&-
            # The bar's font, drawn with the IPA Gothic font that Debian ships.
            "${VORN_WINE[@]}" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ ゴシック' /d 'IPAGothic' /f >/dev/null 2>&1 9>&-
            "${VORN_WINE[@]}" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Gothic' /d 'IPAGothic' /f >/dev/null 2>&1 9>&-
            "${WINESERVER:-wineserver}" -w 9>&- || true
            [ -d "$WINEPREFIX/drive_c/windows" ] && touch "$WINEPREFIX/.vorn-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
    if [ ! -f "$WINEPREFIX/.vorn-ready" ]; then
        echo "wine-env: could not make the Wine prefix $WINEPREFIX" >&2
        return 1
    fi
}

vorn_wine_prepare() {
    vorn_wine_loader
    vorn_display
    vorn_wine_prefix
}
