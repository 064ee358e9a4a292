#!/usr/bin/env bash
# The Windows agent's reply latency under Wine against the Linux agent's, measured in the same
# run by the same loopback client: both serve the same readings file, each gets N sequential
# requests (after a warm-up), and the script prints p50 and p99 of each and their ratio.
# Builds vornagent.exe (win32, or its win64 twin where this machine runs no 32-bit code) and
# the release agent first. Never fails on a figure.
#
#   VORN_BENCH_REQUESTS  requests per agent (default 5000)
#   VORN_WINEPREFIX      the Wine prefix to run in (see scripts/lib/wine-env.sh)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
requests=${VORN_BENCH_REQUESTS:-5000}
cd "$root"
# shellcheck source=scripts/lib/listening-port.sh
. scripts/lib/listening-port.sh
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh

windows=$(vorn_windows_preset)
vorn_build "$windows" "build/$windows" "build/build-bench-$windows.log" vornagent
vorn_build release build/release build/build-bench-release.log vornagent
# The prefix is made (once) before the clock of the agent's start line starts.
vorn_wine_prepare

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
printf 'TCPU=45.04\nVVID=1.349\nFAN1=2812\n' >"$work/readings.txt"

build/release/agent/vornagent --listen 127.0.0.1:0 --rate 0 \
    --source "file:$work/readings.txt" 2>"$work/native.log" &
pids+=($!)
native_port=$(vorn_listening_port "$work/native.log" "${pids[-1]}")

scripts/tools/wine-run.sh "build/$windows/vornagent.exe" --listen 127.0.0.1:0 --rate 0 \
    --source "file:Z:$work/readings.txt" >"$work/windows.log" 2>&1 &
pids+=($!)
windows_port=$(vorn_listening_port "$work/windows.log" "${pids[-1]}")

python3 - "$requests" "$native_port" "$windows_port" <<'PY'
import socket, struct, sys, time

requests = int(sys.argv[1])

def latencies(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    out = []
    for i in range(requests + 200):
        d = bytearray(128)
        d[0:4] = b"VNRQ"
        d[4] = 1  # version
        d[5] = 1  # readings
        d[8:12] = struct.pack(">I", i + 1)
        t = time.perf_counter()
        s.sendto(bytes(d), ("127.0.0.1", port))
        reply, _ = s.recvfrom(512)
        if i >= 200:  # the first ones warm both sides up
            out.append(time.perf_counter() - t)
        assert len(reply) == 128 and reply[8:12] == d[8:12]
    out.sort()
    return out[len(out) // 2] * 1e6, out[int(len(out) * 0.99)] * 1e6

native = latencies(int(sys.argv[2]))
windows = latencies(int(sys.argv[3]))
print("requests per agent: %d, sequential, one loopback client" % requests)
print("Linux agent (release)      p50 %6.1f us  p99 %6.1f us" % native)
print("vornagent.exe under Wine   p50 %6.1f us  p99 %6.1f us" % windows)
print("ratio Windows / Linux      p50 %6.2f     p99 %6.2f" % (windows[0] / native[0],
                                                            windows[1] / native[1]))
PY
