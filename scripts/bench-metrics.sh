#!/usr/bin/env bash
# Builds the agent and the metrics benchmark with the release preset and runs it once: the
# scrape time of the agent's /metrics against node_exporter's (hwmon collector only) on the same
# fixture tree, in one run, with the ratio. Never fails on a missed goal, only when something
# cannot be built or started.
#
#   VORN_BENCH_BUILD  build directory (default build/release)
#   Arguments are passed on: --scrapes N --node-exporter PATH --sysfs TREE --config FILE
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/release}

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
    cmake --preset release -B "$build" >/dev/null
fi
cmake --build "$build" --target vornagent vorn_bench_metrics -j2
exec "$build/bench/vorn_bench_metrics" "$@"
