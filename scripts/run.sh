#!/usr/bin/env bash
# Shows the bar with the readings of this machine: builds what is missing, starts a sensor
# agent on loopback, then the bar under Wine, and stops the agent when the bar ends.
#
#   scripts/run.sh                       readings from this machine's hwmon sensors
#   scripts/run.sh --source file:PATH    readings from a file of KEY=VALUE lines
#   scripts/run.sh --demo                readings from scripts/demo-readings.txt
#
# Without a display it starts a virtual one, saves a screenshot of the running bar to
# build/bar.png, and closes the bar after VORN_RUN_SECONDS (default 15) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source_arg=()
case "${1:-}" in
    --source) source_arg=(--source "$2") ;;
    --demo) source_arg=(--source "file:$root/scripts/demo-readings.txt") ;;
    "") ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
esac

scripts/install-deps.sh
headless=0
[ -n "${DISPLAY:-}" ] || headless=1
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
# shellcheck source=scripts/lib/screen.sh
. scripts/lib/screen.sh
vorn_wine_prepare

# The 32-bit product where this machine runs 32-bit code, else its 64-bit twin.
preset=$(vorn_windows_preset)
vorn_build release build/release build/build-release.log vornagent
vorn_build "$preset" "build/$preset" "build/build-$preset.log" VORNBAR VORNPLUG

agent_log=build/agent.log
build/release/agent/vornagent --listen 127.0.0.1:29870 --listen '[::1]:29870' "${source_arg[@]}" \
    2>"$agent_log" &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null || true' EXIT
sleep 0.5
head -3 "$agent_log" >&2

cd "build/$preset"
"${VORN_WINE[@]}" ./VORNBAR.exe &
bar=$!
if [ "$headless" = 1 ]; then
    sleep 8
    vorn_screenshot "$root/build/screen.png"
    bar_window=''
    read -r bar_window x y w h _ < <(vorn_bar_window) || true
    if [ -n "$bar_window" ]; then
        vorn_screenshot "$root/build/bar.png" "$x" "$y" "$w" "$h" 2
        echo "run: a screenshot of the running bar is in build/bar.png (whole screen: build/screen.png)" >&2
    fi
    sleep "${VORN_RUN_SECONDS:-15}"
    # Escape ends the bar the way a user would, through its usual teardown.
    for _ in 1 2 3 4 5; do
        kill -0 $bar 2>/dev/null || break
        bar_window=''
        read -r bar_window _ < <(vorn_bar_window) || true
        [ -z "$bar_window" ] ||
            xdotool windowfocus --sync "$bar_window" key --window "$bar_window" Escape 2>/dev/null || true
        sleep 1
    done
fi
wait $bar || true
echo "run: the bar has ended; its settings are in $WINEPREFIX/drive_c/windows/VORNBAR.INI" >&2
