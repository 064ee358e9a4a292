# shellcheck shell=bash
# Sourced by the commands that build: the one way they configure and build a preset, and the
# one place that chooses between the 32-bit Windows product and its 64-bit twin.

# Prints the Windows preset to run on this machine: win32, the 32-bit product, where this
# machine runs 32-bit code; win64, the 64-bit twin of the same sources, where its kernel runs
# none (vorn_wine_bits, from wine-env.sh, tells which).
vorn_windows_preset() {
    if [ "$(vorn_wine_bits)" = 32 ]; then echo win32; else echo win64; fi
}

# vorn_build PRESET DIR LOG [TARGET]... [-- CONFIGURE_ARG]...
# Configures DIR with PRESET (and the configure arguments) and builds the targets, or all of
# them when none is named, with two jobs. The output goes to LOG, or to the terminal when LOG
# is "-" (the configure step's own output is dropped then). A failure prints the log's tail
# on stderr and returns non-zero.
vorn_build() {
    local preset=$1 dir=$2 log=$3
    shift 3
    local wanted=() configure=()
    while [ $# -gt 0 ]; do
        if [ "$1" = -- ]; then
            shift
            configure=("$@")
            break
        fi
        wanted+=(--target "$1")
        shift
    done
    if [ "$log" = - ]; then
        cmake --preset "$preset" -B "$dir" "${configure[@]}" >/dev/null &&
            cmake --build "$dir" -j2 "${wanted[@]}"
        return
    fi
    mkdir -p "$(dirname "$log")"
    if ! { cmake --preset "$preset" -B "$dir" "${configure[@]}" >"$log" 2>&1 &&
           cmake --build "$dir" -j2 "${wanted[@]}" >>"$log" 2>&1; }; then
        tail -30 "$log" >&2
        return 1
    fi
}
