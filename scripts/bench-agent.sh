#!/usr/bin/env bash
# Builds the agent and its benchmark with the release preset and runs the benchmark once:
# latency through the plug-in against a bare echo responder, throughput and latency against a
# private snmpd (skipped, with a note, when the Debian package snmpd is missing), and the
# agent's resident memory after a million requests. Prints figures and ratios; never fails on
# a missed target, only when something cannot be built or started.
#
#   VORN_BENCH_BUILD  build directory (default build/release)
#   Arguments are passed on to the program: --samples N --seconds S --clients N
#   --requests-for-memory N --snmpd PATH --agent PATH
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/release}

cd "$root"
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
vorn_build release "$build" - vornagent vorn_bench_agent
exec "$build/bench/vorn_bench_agent" "$@"
