#!/usr/bin/env bash
# Builds the agent and the history benchmark with the release preset and runs it once: version 2
# poll latency during a flood of history pages against none, the time to load every reading's
# last 24 hours, the history file's size and the agent's resident memory with a full history.
# Prints figures and ratios; never fails on a missed target.
#
#   VORN_BENCH_BUILD  build directory (default build/release)
#   Arguments are passed on: --samples N --flood-rate N --loads N --agent PATH
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/release}

cd "$root"
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
vorn_build release "$build" - vornagent vorn_bench_history
exec "$build/bench/vorn_bench_history" "$@"
