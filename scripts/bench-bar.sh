#!/usr/bin/env bash
# Builds the bar and its benchmark with the win64 preset and runs the benchmark once under Wine,
# in a throw-away copy of a prefix made for it: close times of the bar (in its 60 s pause, and
# inside a Get against a silent host) against a trivial dialog's, and the bar's CPU use and
# wake-ups between polls against an idle dialog's. Prints figures and ratios; never fails on a
# missed target, only when something cannot be built or started.
#
#   VORN_BENCH_BUILD  build directory (default build/win64)
#   Arguments are passed on to the program: --reps N --cpu-seconds S
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_BENCH_BUILD:-$root/build/win64}
case $build in /*) ;; *) build=$root/$build ;; esac

cd "$root"
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
vorn_build win64 "$build" - vorn_bench_bar

# A base prefix made once for the benchmark, copied afresh for every run.
export VORN_WINEPREFIX=$build/wineprefix-bench
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
vorn_wine_prepare
run_prefix=$(mktemp -d "$build/wineprefix-bench-run.XXXXXX")
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
    WINEPREFIX=$run_prefix "${WINESERVER:-wineserver}" -k 2>/dev/null || true
    rm -rf "$run_prefix"
}
trap cleanup EXIT
cp -a "$VORN_WINEPREFIX/." "$run_prefix/"

echo "benchmark of the bar under $("${VORN_WINE[@]}" --version 2>/dev/null), $(nproc) cores"
VORN_WINEPREFIX=$run_prefix "$root/scripts/tools/wine-run.sh" "$build/vorn_bench_bar.exe" "$@"
