#!/usr/bin/env bash
# Builds the agent and its Prometheus benchmark with the release preset and runs it once: the
# UDP reply latency with a Prometheus source (a loopback endpoint serving a LibreHardwareMonitor
# fixture) against a file source, while the endpoint answers and while it hangs. Prints the
# figures and the ratios; exits 3 when the 10 % goal is missed.
#
#   VORN_BENCH_BUILD  build directory (default build/release)
#   Arguments are passed on to the program: --seconds S (per phase) --interval MS
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/release}

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
    cmake --preset release -B "$build" >/dev/null
fi
cmake --build "$build" --target vornagent vorn_bench_prometheus -j2
exec "$build/bench/vorn_bench_prometheus" "$@"
