#!/usr/bin/env bash
# Soak with fault injection, and the agent under attack; prints figures, exits non-zero on a
# failure.
#
#   scripts/soak.sh --short    300 polls with faults (CI; about two minutes)
#   scripts/soak.sh --long     10,000 polls with faults (by hand)
#   options: --polls N  --seed N  --timeout-ms N  --no-attack
#
# The bar (under Wine, MonitorTimer 0, SocketTimer 500 ms short, 250 ms long) polls the native agent through
# tests/soak/fault_relay, which by a seeded schedule drops requests, drops replies, delays
# replies past the time-out or within it, sends a forged reply to the previous request before
# the real one, duplicates replies and sends garbage. The bar's ErrorCounter at exit must equal
# the polls the relay left without a valid reply in time; the driver must see no wrong reading;
# the bar's memory and descriptors, read from Linux, must stay flat.
#
# Runs in its own Wine prefix (VORN_WINEPREFIX, default build/soak/wineprefix) and on its
# own virtual display (VORN_DISPLAY, default 99).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

mode=short
polls=
seed=
timeout_ms=
attack=1
while [ $# -gt 0 ]; do
    case $1 in
        --short) mode=short ;;
        --long) mode=long ;;
        --polls) polls=$2; shift ;;
        --seed) seed=$2; shift ;;
        --timeout-ms) timeout_ms=$2; shift ;;
        --no-attack) attack=0 ;;
        *) echo "usage: $0 [--short|--long] [--polls N] [--seed N] [--timeout-ms N] [--no-attack]" >&2; exit 2 ;;
    esac
    shift
done
if [ "$mode" = long ]; then
    polls=${polls:-10000}; seed=${seed:-7}; max_seconds=7200; timeout_ms=${timeout_ms:-250}
else
    # A wider margin for the short form: it runs on shared CI machines, where a stall of a
    # quarter second between the relay's reply and the bar's read would miscount a poll.
    polls=${polls:-300}; seed=${seed:-1}; max_seconds=150; timeout_ms=${timeout_ms:-500}
fi
warmup=20
# Growth allowed between the two samples: the bar's anonymous memory and its descriptors.
rss_slack_kib=${VORN_SOAK_RSS_SLACK_KIB:-1024}
fd_slack=2

work=$root/build/soak/$mode
mkdir -p "$work"
rm -f "$work"/*.out "$work"/*.err "$work"/*.log "$work"/status "$work"/done

# ---- build: the native agent and relay, the bar and the driver
native=${VORN_SOAK_NATIVE_BUILD:-$root/build/release}
# shellcheck source=scripts/lib/listening-port.sh
. scripts/lib/listening-port.sh
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
echo "== building (logs in build/soak)"
vorn_build release "$native" "$root/build/soak/native.log" \
    vornagent vorn_fault_relay vorn_agent_attack || { echo "soak: native build failed"; exit 1; }
preset=$(vorn_windows_preset)
win=${VORN_SOAK_WIN_BUILD:-$root/build/$preset}
vorn_build "$preset" "$win" "$root/build/soak/win.log" VORNBAR VORNPLUG vorn_soak_driver ||
    { echo "soak: Windows build failed"; exit 1; }

failed=0
fail() { echo "FAILED: $*"; failed=1; }

# ---- the agent under attack
if [ "$attack" = 1 ]; then
    echo "== agent under attack"
    printf 'TCPU=45.0\nFAN1=2812\nVM12=-12.049\n' >"$work/attack-readings.txt"
    if ! "$native/vorn_agent_attack" "$native/agent/vornagent" \
            "$work/attack-readings.txt" 100000 | tee "$work/attack.out"; then
        fail "agent under attack"
    fi
fi

# ---- the soak
echo "== soak ($mode): $polls polls with faults after $warmup clean ones, seed $seed"
export VORN_WINEPREFIX=${VORN_WINEPREFIX:-$root/build/soak/wineprefix}
unset DISPLAY
export VORN_DISPLAY=${VORN_DISPLAY:-99}
# The prefix and display are read when the helpers are sourced.
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
vorn_wine_prepare || exit 1

pids=()
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
}
trap cleanup EXIT

cat >"$work/readings.txt" <<'EOF'
TCPU=45.0
TPWR=38.5
TSYS=31.0
VVID=1.35
VVTT=1.05
V33V=3.31
VP05=5.02
VM05=-5.04
VP12=12.03
VM12=-12.05
FAN1=2812
FAN2=1450
FAN3=0
EOF
"$native/agent/vornagent" --listen 127.0.0.1:0 --rate 0 --interval 0 \
    --source "file:$work/readings.txt" 2>"$work/agent.err" &
agent_pid=$!
pids+=("$agent_pid")
agent_port=$(vorn_listening_port "$work/agent.err" "$agent_pid") ||
    { cat "$work/agent.err"; echo "soak: the agent did not start"; exit 1; }

"$native/vorn_fault_relay" --agent "$agent_port" --seed "$seed" --warmup "$warmup" \
    --polls "$polls" --timeout-ms "$timeout_ms" --log "$work/relay.log" \
    --status "$work/status" >"$work/relay.out" 2>"$work/relay.err" &
relay_pid=$!
pids+=("$relay_pid")
relay_port=$(vorn_listening_port "$work/relay.err" "$relay_pid") ||
    { cat "$work/relay.err"; echo "soak: the relay did not start"; exit 1; }

done_win="Z:${work//\//\\}\\done"
"${VORN_WINE[@]}" "$win/vorn_soak_driver.exe" "$relay_port" "$timeout_ms" "$done_win" 45.0 \
    "$max_seconds" >"$work/driver.out" 2>"$work/driver.err" &
driver_pid=$!
pids+=("$driver_pid")

# The Linux process running VORNBAR.exe in this prefix.
bar_pid() {
    local p
    for p in $(pgrep -f 'VORNBAR\.exe' 2>/dev/null); do
        if { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "$p"; return
        fi
    done
}
# "RSS_KIB ANON_KIB FDS" of a process.
sample() {
    local rss anon fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null)
    anon=$(awk '/^RssAnon:/ {print $2}' "/proc/$1/status" 2>/dev/null)
    fds=$(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    echo "${rss:-0} ${anon:-0} $fds"
}

start_sample=
end_sample=
pid=
began=$(date +%s)
last_report=$began
while kill -0 "$driver_pid" 2>/dev/null; do
    now=$(date +%s)
    [ $((now - began)) -gt $((max_seconds + 120)) ] && { fail "soak did not end in time"; break; }
    phase=$(sed -n 's/^phase //p' "$work/status" 2>/dev/null)
    requests=$(sed -n 's/^requests //p' "$work/status" 2>/dev/null)
    [ -z "$pid" ] && pid=$(bar_pid)
    if [ -n "$pid" ] && [ -z "$start_sample" ] && [ "$phase" != warmup ] && [ -n "$phase" ]; then
        start_sample=$(sample "$pid")
    fi
    if [ -n "$pid" ] && [ -z "$end_sample" ] && [ "$phase" = after ]; then
        end_sample=$(sample "$pid")
        touch "$work/done"
    fi
    if [ $((now - last_report)) -ge 60 ]; then
        echo "   ... $requests requests, phase $phase"
        last_report=$now
    fi
    sleep 0.2
done
wait "$driver_pid"
driver_rc=$?
kill -TERM "$relay_pid" 2>/dev/null
wait "$relay_pid" 2>/dev/null
kill -TERM "$agent_pid" 2>/dev/null
wait "$agent_pid" 2>/dev/null
pids=()
elapsed=$(($(date +%s) - began))

# A figure from a "NAME VALUE" line (the driver writes Windows line ends).
fig() { tr -d '\r' <"$2" | sed -n "s/^$1 //p" | head -1; }
expected=$(fig expected_failures "$work/relay.out")
counted=$(fig errors_counted "$work/driver.out")
wrong=$(fig wrong_readings "$work/driver.out")

echo "-- relay"
cat "$work/relay.out"
echo "-- bar"
tr -d '\r' <"$work/driver.out"
read -r rss0 anon0 fd0 <<<"${start_sample:-0 0 0}"
read -r rss1 anon1 fd1 <<<"${end_sample:-0 0 0}"
echo "bar_linux_pid ${pid:-none}"
echo "bar_rss_kib start $rss0 end $rss1"
echo "bar_rss_anon_kib start $anon0 end $anon1"
echo "bar_fds start $fd0 end $fd1"
echo "elapsed_s $elapsed"

[ "$driver_rc" -eq 0 ] || fail "the driver reported a problem (exit $driver_rc)"
if [ -z "$expected" ] || [ -z "$counted" ]; then fail "figures missing"; fi
[ "${expected:-x}" = "${counted:-y}" ] ||
    fail "ErrorCounter $counted, but $expected polls had no valid reply in time" \
        "(slowest in-time reply $(fig slowest_in_time_reply_ms "$work/relay.out") ms," \
        "time-out $timeout_ms ms)"
[ "${wrong:-1}" = 0 ] || fail "$wrong wrong readings shown"
if [ -z "$start_sample" ] || [ -z "$end_sample" ]; then
    fail "the bar's memory was not sampled"
else
    [ $((anon1 - anon0)) -le "$rss_slack_kib" ] ||
        fail "the bar's anonymous memory grew by $((anon1 - anon0)) KiB"
    [ $((fd1 - fd0)) -le "$fd_slack" ] || fail "the bar's descriptors grew from $fd0 to $fd1"
fi
grep -q 'stopping;' "$work/agent.err" || fail "the agent did not stop cleanly"

if [ "$failed" = 0 ]; then
    echo "soak ($mode) PASSED: $(fig polls_made "$work/relay.out") polls," \
         "$(fig faults_injected "$work/relay.out") faults injected, $expected without a" \
         "valid reply = ErrorCounter $counted, 0 wrong readings"
fi
exit "$failed"
