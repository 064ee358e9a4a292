#!/usr/bin/env bash
# Pictures for the documentation, taken on a virtual display of their own:
#
#   scripts/screenshots.sh [OUT_DIR]          (default docs/images)
#
# Writes bar.png (the bar with the demo readings), tray-menu.png (the bar's tray menu, opened
# the way the shell opens it, by posting the tray callback with a right press), about.png
# (the About box), bar-alarm.png (the same readings from an agent that sets FAN3.min = 300:
# the stopped fan's slot in alarm), bar-error.png (a bar whose agent does not answer: ERROR on
# all thirteen lines, the error count in the status slot), tray-icons.png (the four tray
# pictures the program loads, enlarged, with what each means) and history.png (the history
# window over 24 hours of a made-up day, written by history_demo, with CPU past a limit of
# 70.0 degC for a while). The agent serves scripts/demo-readings.txt on a free loopback port.
#
# Settings: VORN_SHOTS_DISPLAY (default 98; started when nothing runs there),
# VORN_SHOTS_WINEPREFIX (default a prefix of its own, so no user's profile shows),
# VORN_WIN_BUILD (the Windows build to take the programs from; default build/win32, or
# build/win64 where no 32-bit code runs), VORN_AGENT (default build/release/agent/vornagent),
# VORN_HISTORY_DEMO (default build/release/tests/native/history_demo).
# What is missing is built first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(mkdir -p "${1:-docs/images}" && cd "${1:-docs/images}" && pwd)

unset DISPLAY
export VORN_DISPLAY=${VORN_SHOTS_DISPLAY:-98}
export VORN_WINEPREFIX=${VORN_SHOTS_WINEPREFIX:-$HOME/.cache/vornbar/wineprefix-shots}
# shellcheck source=scripts/lib/listening-port.sh
. scripts/lib/listening-port.sh
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
# shellcheck source=scripts/lib/screen.sh
. scripts/lib/screen.sh
vorn_wine_prepare

preset=$(vorn_windows_preset)
win=${VORN_WIN_BUILD:-build/$preset}
agent=${VORN_AGENT:-build/release/agent/vornagent}
history_demo=${VORN_HISTORY_DEMO:-build/release/tests/native/history_demo}
if [ ! -x "$agent" ] || [ ! -x "$history_demo" ]; then
    vorn_build release build/release build/build-release.log vornagent history_demo
fi
if [ ! -f "$win/VORNBAR.exe" ] || [ ! -f "$win/e2e_commands_post.exe" ]; then
    vorn_build "$preset" "$win" "build/build-$preset.log" VORNBAR VORNPLUG e2e_commands_post
fi

tmp=$(mktemp -d)
agent_pid='' bar_pid=''
cleanup() {
    [ -z "$bar_pid" ] || kill "$bar_pid" 2>/dev/null || true
    [ -z "$agent_pid" ] || kill "$agent_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

"$agent" --listen 127.0.0.1:0 --source "file:$root/scripts/demo-readings.txt" 2>"$tmp/agent.log" &
agent_pid=$!
port=$(vorn_listening_port "$tmp/agent.log" "$agent_pid") ||
    { echo "screenshots: the agent did not start" >&2; cat "$tmp/agent.log" >&2; exit 1; }

# A profile of its own (written afresh each time): polls at once, saving on as by default.
printf '[VORNBAR]\r\nHostName=127.0.0.1:%s\r\nDelayTimer=0\r\nMonitorTimer=1\r\nSaveIni=1\r\nLeft=40\r\nTop=40\r\nRight=1450\r\nBottom=64\r\n' \
    "$port" >"$WINEPREFIX/drive_c/windows/VORNBAR.INI"

post() { (cd "$win" && "${VORN_WINE[@]}" ./e2e_commands_post.exe "$@"); }

# The program's windows other than the bar (the menu, the About box), as vorn_windows lines.
other_windows() { vorn_windows "$VORN_BAR_CLASS" | awk -v bar="${bar_id:-}" '$1 != bar'; }
other_window() { other_windows | head -1; }

# The first line that COMMAND prints, waited for up to 30 seconds, then given half a second
# to paint.
wait_window() {
    local line=''
    for _ in $(seq 150); do
        line=$("$@")
        [ -n "$line" ] && break
        sleep 0.2
    done
    [ -n "$line" ] || return 1
    sleep 0.5
    echo "$line"
}

# shot OUT X Y W H: that part of the screen, with a margin of four pixels.
shot() {
    vorn_screenshot "$1" "$2" "$3" "$4" "$5" 4
    echo "screenshots: $1" >&2
}

(cd "$win" && exec "${VORN_WINE[@]}" ./VORNBAR.exe) &
bar_pid=$!
bar=$(wait_window vorn_bar_window) || { echo "screenshots: the bar did not appear" >&2; exit 1; }
sleep 3  # a few polls: the slots show readings
read -r bar_id bx by bw bh _ <<<"$bar"
shot "$out/bar.png" "$bx" "$by" "$bw" "$bh"

# The tray menu: the shell's callback with a right press. It opens at the pointer.
post 0x8097 0 0x204
menu=$(wait_window other_window) || { echo "screenshots: the tray menu did not open" >&2; exit 1; }
read -r _ mx my mw mh _ <<<"$menu"
shot "$out/tray-menu.png" "$mx" "$my" "$mw" "$mh"
post 0x0100 0x1B 0x00010001  # Escape closes the menu
sleep 0.5

# The About box, by the system command that the menu's item posts.
post 0x0112 0x10 0
about=$(wait_window other_window) || { echo "screenshots: the About box did not open" >&2; exit 1; }
read -r _ ax ay aw ah _ <<<"$about"
shot "$out/about.png" "$ax" "$ay" "$aw" "$ah"

# Close the About box with its OK button, then the bar with its exit command.
post --owned 0x0111 1 0
for _ in $(seq 50); do
    [ -z "$(other_windows)" ] && break
    sleep 0.1
done
post 0x0111 32776 0
for _ in $(seq 50); do
    kill -0 "$bar_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$bar_pid" 2>/dev/null; then
    echo "screenshots: the bar did not end; stopping it" >&2
fi

# The bar in alarm: the same readings from an agent with a lower limit on the third fan.
kill "$agent_pid" 2>/dev/null || true
wait "$agent_pid" 2>/dev/null || true
printf 'FAN3.min = 300\n' >"$tmp/limits.conf"
"$agent" --config "$tmp/limits.conf" --listen 127.0.0.1:0 \
    --source "file:$root/scripts/demo-readings.txt" 2>"$tmp/agent-limits.log" &
agent_pid=$!
port=$(vorn_listening_port "$tmp/agent-limits.log" "$agent_pid") ||
    { echo "screenshots: the agent with limits did not start" >&2; exit 1; }
printf '[VORNBAR]\r\nHostName=127.0.0.1:%s\r\nDelayTimer=0\r\nMonitorTimer=1\r\nSaveIni=0\r\nLeft=40\r\nTop=40\r\nRight=1450\r\nBottom=64\r\n' \
    "$port" >"$WINEPREFIX/drive_c/windows/VORNBAR.INI"
(cd "$win" && exec "${VORN_WINE[@]}" ./VORNBAR.exe) &
bar_pid=$!
bar=$(wait_window vorn_bar_window) || { echo "screenshots: the bar did not appear" >&2; exit 1; }
sleep 3
read -r bar_id bx by bw bh _ <<<"$bar"
shot "$out/bar-alarm.png" "$bx" "$by" "$bw" "$bh"
post 0x0111 32776 0
for _ in $(seq 50); do
    kill -0 "$bar_pid" 2>/dev/null || break
    sleep 0.1
done

# The bar whose agent is gone: a poll every second, each one failing (the port is closed now).
kill "$agent_pid" 2>/dev/null || true
wait "$agent_pid" 2>/dev/null || true
agent_pid=''
printf '[VORNBAR]\r\nHostName=127.0.0.1:%s\r\nDelayTimer=0\r\nMonitorTimer=1\r\nSocketTimer=500\r\nSaveIni=0\r\nDefaultIndicator=4\r\nLeft=40\r\nTop=40\r\nRight=1450\r\nBottom=64\r\n' \
    "$port" >"$WINEPREFIX/drive_c/windows/VORNBAR.INI"
(cd "$win" && exec "${VORN_WINE[@]}" ./VORNBAR.exe) &
bar_pid=$!
bar=$(wait_window vorn_bar_window) || { echo "screenshots: the bar did not appear" >&2; exit 1; }
sleep 4
read -r bar_id bx by bw bh _ <<<"$bar"
shot "$out/bar-error.png" "$bx" "$by" "$bw" "$bh"
post 0x0111 32776 0
for _ in $(seq 50); do
    kill -0 "$bar_pid" 2>/dev/null || break
    sleep 0.1
done

# The tray pictures, from the icons the resource script builds in, four times their size.
labels=("red: between polls" "green: a good poll" "magenta: a failed poll" "yellow: a reading past a limit")
args=()
i=0
for icon in idle ok error alarm; do
    convert "res/icons/tray_$icon.ico[0]" -filter point -resize 64x64 "$tmp/tray_$icon.png"
    args+=(-label "${labels[$i]}" "$tmp/tray_$icon.png")
    i=$((i + 1))
done
# ImageMagick's default font is often not installed: name a file fontconfig knows.
font=$(fc-match -f '%{file}' sans 2>/dev/null || true)
montage "${args[@]}" ${font:+-font "$font"} -tile 4x1 -geometry 64x64+56+8 -pointsize 12 \
    -background white "$out/tray-icons.png"
echo "screenshots: $out/tray-icons.png" >&2

# The history window over 24 hours: the agent loads a made-up day, with a limit on CPU.
"$history_demo" "$tmp/history"
printf 'TCPU.max = 70\n' >"$tmp/history.conf"
"$agent" --config "$tmp/history.conf" --listen 127.0.0.1:0 --history-file "$tmp/history" \
    --source "file:$root/scripts/demo-readings.txt" 2>"$tmp/agent-history.log" &
agent_pid=$!
port=$(vorn_listening_port "$tmp/agent-history.log" "$agent_pid") ||
    { echo "screenshots: the agent with history did not start" >&2; exit 1; }
printf '[VORNBAR]\r\nHostName=127.0.0.1:%s\r\nDelayTimer=1\r\nMonitorTimer=1\r\nSaveIni=0\r\nLeft=40\r\nTop=40\r\nRight=1450\r\nBottom=64\r\nHistoryLeft=40\r\nHistoryTop=90\r\nHistoryRight=1000\r\nHistoryBottom=730\r\nHistorySpan=2\r\n' \
    "$port" >"$WINEPREFIX/drive_c/windows/VORNBAR.INI"
(cd "$win" && exec "${VORN_WINE[@]}" ./VORNBAR.exe) &
bar_pid=$!
bar=$(wait_window vorn_bar_window) || { echo "screenshots: the bar did not appear" >&2; exit 1; }
read -r bar_id _ <<<"$bar"
post 0x0111 32777 0  # the tray menu's history item
wait_window other_window >/dev/null || { echo "screenshots: no history window" >&2; exit 1; }
sleep 3  # the fetch and the paint
read -r _ hx hy hw hh _ <<<"$(other_window)"
shot "$out/history.png" "$hx" "$hy" "$hw" "$hh"
post 0x0111 32776 0
for _ in $(seq 50); do
    kill -0 "$bar_pid" 2>/dev/null || break
    sleep 0.1
done
