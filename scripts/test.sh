#!/usr/bin/env bash
# Runs every test: native (ASan/UBSan, then TSan), the Windows build under Wine, end to end,
# a short soak with fault injection and a short fuzzing round. Installs what is missing
# first. Ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

scripts/install-deps.sh || exit 1
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh

passed=0
failed=0
problems=()
failures=""

# Configures and builds one preset; a failed build counts as a failed test.
build() {
    local preset=$1
    shift
    if ! vorn_build "$preset" "build/$preset" "build/build-$preset.log" -- "$@" 2>&1; then
        problems+=("build $preset")
        failed=$((failed + 1))
        return 1
    fi
}

# Runs ctest on a build and adds its counts.
run_ctest() {
    local dir=$1
    shift
    local out
    out=$(ctest --test-dir "build/$dir" --output-on-failure "$@" 2>&1)
    echo "$out" >"build/ctest-$dir.log"
    echo "$out" | tail -40
    # Each failed check with its message, kept for the end of the output.
    local found
    found=$(echo "$out" | grep -A3 ': Failure$'
            echo "$out" | grep -E '^\[  FAILED  \] [^ ]+ \(')
    [ -z "$found" ] || failures+="$found"$'\n'
    local line
    line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -1)
    if [ -z "$line" ]; then
        echo "$out" | grep -q 'No tests were found' && return 0
        problems+=("ctest $dir")
        failed=$((failed + 1))
        return
    fi
    local total fail
    total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
    fail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
    passed=$((passed + total - fail))
    failed=$((failed + fail))
    [ "$fail" -eq 0 ] || problems+=("ctest $dir")
}

# Runs one script step: its log's tail on success, a longer tail and a failure otherwise.
run_step() {
    local name=$1 log=$2 tail_ok=$3
    shift 3
    if "$@" >"$log" 2>&1; then
        tail -"$tail_ok" "$log"
        passed=$((passed + 1))
    else
        tail -40 "$log"
        problems+=("$name")
        failed=$((failed + 1))
    fi
}

mkdir -p build

echo "== native (ASan, UBSan)"
build native && run_ctest native
echo "== native (TSan)"
build native-tsan && run_ctest native-tsan

# The end-to-end test of the plug-in and the bar against the real agent runs the native one.
native_agent=-DVORN_NATIVE_AGENT="$root/build/native/agent/vornagent"
if [ "$(vorn_windows_preset)" = win32 ]; then
    echo "== Windows (win32: the 32-bit product)"
    build win32 "$native_agent" && run_ctest win32
else
    echo "== Windows (win64 twin: this kernel runs no 32-bit code)"
    echo "The 32-bit product is built and checked statically; its tests run from the 64-bit"
    echo "twin of the same sources."
    build win32 && run_ctest win32 -L static
    build win64 "$native_agent" && run_ctest win64
fi

echo "== packages (the agent's Debian package; installing it needs root)"
build release && run_ctest release -L package

echo "== soak with fault injection (short)"
run_step soak build/soak.log 12 scripts/soak.sh --short

echo "== fuzzing"
run_step fuzz build/fuzz.log 3 env VORN_FUZZ_SECONDS="${VORN_FUZZ_SECONDS:-20}" scripts/fuzz.sh

if [ -n "$failures" ]; then
    echo "== failed checks"
    echo "$failures" | head -60
fi
[ ${#problems[@]} -eq 0 ] || echo "failed: ${problems[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
