#!/usr/bin/env bash
# Builds the libFuzzer targets with the "fuzz" preset (clang) and runs each one for a bounded
# time on its committed corpus in tests/fuzz/corpus/<target>/. New inputs found on the way go
# to a scratch directory, not into the repository. Fails on the first crash, leak or sanitizer
# report; the input that caused it is kept as an artifact and named in the output.
#
#   VORN_FUZZ_SECONDS  seconds per target (default 30)
#   VORN_FUZZ_BUILD    build directory (default build/fuzz)
#   VORN_FUZZ_TARGETS  targets to run (default: all)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORN_FUZZ_BUILD:-$root/build/fuzz}
seconds=${VORN_FUZZ_SECONDS:-30}
targets=${VORN_FUZZ_TARGETS:-fuzz_request fuzz_reply fuzz_config fuzz_readings fuzz_exposition fuzz_hwinfo fuzz_metrics_request fuzz_history}
artifacts=${VORN_FUZZ_ARTIFACTS:-$build/fuzz-artifacts}

cd "$root"
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
vorn_build fuzz "$build" - fuzz_targets

mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
passed=0
for target in $targets; do
    corpus="$root/tests/fuzz/corpus/$target"
    if [ ! -d "$corpus" ]; then
        echo "fuzz: no corpus for $target in $corpus" >&2
        exit 1
    fi
    mkdir -p "$scratch/$target"
    echo "fuzz: $target for ${seconds}s"
    if "$build/tests/native/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$scratch/$target" "$corpus" >"$scratch/$target.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done ' "$scratch/$target.log" || true
        passed=$((passed + 1))
    else
        tail -n 60 "$scratch/$target.log"
        echo "fuzz: $target FAILED; reproducer in $artifacts/" >&2
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
