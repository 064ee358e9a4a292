#!/usr/bin/env bash
# Runs the tests, stage by stage, and ends with one summary line "N passed, M failed".
#
#   scripts/test.sh [STAGE]...
#
# Without a stage, every one in this order:
#   - shellcheck: the shell scripts (scripts/, the tests' scripts, .ci/run)
#   - native:     the native build under ASan and UBSan
#   - tsan:       the native build under TSan
#   - windows:    the Windows build under Wine, end to end (with the native agent)
#   - packages:   the agent's Debian package
#   - soak:       a short soak with fault injection
#   - fuzz:       a short fuzzing round (VORN_FUZZ_SECONDS per target, default 20)
# Named stages run in the order given. Installs what is missing first.
# The counts of a ctest stage come from its JUnit file (build/ctest-DIR.xml); its whole
# output is in build/ctest-DIR.log.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

all_stages=(shellcheck native tsan windows packages soak fuzz)

usage() {
    sed -n '2,16s/^# \{0,1\}//p' "$0"
}

stages=()
for arg in "$@"; do
    case $arg in
        -h | --help)
            usage
            exit 0
            ;;
    esac
    known=0
    for s in "${all_stages[@]}"; do [ "$arg" = "$s" ] && known=1; done
    if [ "$known" -eq 0 ]; then
        echo "test.sh: no stage '$arg' (stages: ${all_stages[*]})" >&2
        exit 2
    fi
    seen=0
    for s in "${stages[@]}"; do [ "$arg" = "$s" ] && seen=1; done
    [ "$seen" -eq 1 ] || stages+=("$arg")
done
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")

scripts/install-deps.sh || exit 1
# shellcheck source=scripts/lib/wine-env.sh
. scripts/lib/wine-env.sh
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh

passed=0
failed=0
problems=()
failures=""

# Counts one failure of a whole step (a build, a script) under `name`.
fail_step() {
    problems+=("$1")
    failed=$((failed + 1))
}

# Configures and builds one preset; a failed build counts as a failed test.
build() {
    local preset=$1
    shift
    if ! vorn_build "$preset" "build/$preset" "build/build-$preset.log" -- "$@" 2>&1; then
        fail_step "build $preset"
        return 1
    fi
}

# Runs ctest on a build and adds the counts of its JUnit file. A ctest that writes no
# readable JUnit file counts as one failure.
run_ctest() {
    local dir=$1
    shift
    local junit="$root/build/ctest-$dir.xml" log="$root/build/ctest-$dir.log"
    rm -f "$junit"
    ctest --test-dir "build/$dir" --output-on-failure --output-junit "$junit" "$@" >"$log" 2>&1
    tail -40 "$log"
    local report details
    if ! report=$(python3 scripts/tools/junit_counts.py "$junit" 60); then
        fail_step "ctest $dir (no JUnit file)"
        return
    fi
    local pass fail skip
    read -r pass fail skip <<<"$(head -1 <<<"$report")"
    passed=$((passed + pass))
    failed=$((failed + fail))
    [ "$skip" -eq 0 ] || echo "ctest $dir: $skip skipped"
    if [ "$fail" -ne 0 ]; then
        problems+=("ctest $dir")
        details=$(tail -n +2 <<<"$report")
        failures+="$details"$'\n'
    fi
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
        fail_step "$name"
    fi
}

# Every shell script of the project, checked from the top folder (where the scripts' source
# directives point).
shellcheck_all() {
    local files=()
    mapfile -t files < <(find scripts tests -name build -prune -o -name '*.sh' -print | sort)
    files+=(.ci/run)
    echo "shellcheck: ${#files[@]} scripts"
    shellcheck -x "${files[@]}"
}

# The native agent, for the end-to-end tests against the real agent (up to date when the
# native stage has run).
native_agent() {
    vorn_build native build/native build/build-native-agent.log vornagent -- >&2
}

stage_shellcheck() {
    echo "== shell scripts (shellcheck)"
    run_step shellcheck build/shellcheck.log 1 shellcheck_all
}

stage_native() {
    echo "== native (ASan, UBSan)"
    build native && run_ctest native
}

stage_tsan() {
    echo "== native (TSan)"
    build native-tsan && run_ctest native-tsan
}

stage_windows() {
    # The end-to-end test of the plug-in and the bar against the real agent runs the native one.
    native_agent || fail_step "build native agent"
    local agent=-DVORN_NATIVE_AGENT="$root/build/native/agent/vornagent"
    if [ "$(vorn_windows_preset)" = win32 ]; then
        echo "== Windows (win32: the 32-bit product)"
        build win32 "$agent" && run_ctest win32
    else
        echo "== Windows (win64 twin: this kernel runs no 32-bit code)"
        echo "The 32-bit product is built and checked statically; its tests run from the 64-bit"
        echo "twin of the same sources."
        build win32 && run_ctest win32 -L static
        build win64 "$agent" && run_ctest win64
    fi
}

stage_packages() {
    echo "== packages (the agent's Debian package; installing it needs root)"
    build release && run_ctest release -L package
}

stage_soak() {
    echo "== soak with fault injection (short)"
    run_step soak build/soak.log 12 scripts/soak.sh --short
}

stage_fuzz() {
    echo "== fuzzing"
    run_step fuzz build/fuzz.log 3 env VORN_FUZZ_SECONDS="${VORN_FUZZ_SECONDS:-20}" scripts/fuzz.sh
}

mkdir -p build
for stage in "${stages[@]}"; do
    "stage_$stage"
done

if [ -n "$failures" ]; then
    echo "== failed checks"
    echo "$failures" | head -60
fi
[ ${#problems[@]} -eq 0 ] || echo "failed: ${problems[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
