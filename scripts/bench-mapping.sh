#!/usr/bin/env bash
# Builds the mapping benchmark with the release preset and runs it once: automatic mapping of
# hostile scrapes of up to 100,000 series against parsing the same bodies, with the ratio.
# Exits 3 when the CPU temperature is not found.
#
#   VORN_BENCH_BUILD  build directory (default build/release)
#   Arguments are passed on to the program: --series N --repeat R
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/release}

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
    cmake --preset release -B "$build" >/dev/null
fi
cmake --build "$build" --target vorn_bench_mapping -j2
exec "$build/bench/vorn_bench_mapping" "$@"
