#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix (CTest's emulator for the
# Windows builds). Exits with the program's own exit status.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/wine-env.sh
. "$here/../lib/wine-env.sh"
vorn_wine_prepare
if [ "$(vorn_wine_bits)" = 64 ] && file -b "$1" 2>/dev/null | grep -q 'PE32 executable'; then
    echo "wine-run: this machine runs no 32-bit code (kernel ia32 emulation off); build the" >&2
    echo "64-bit twin with the win64 preset and run that instead: $1" >&2
    exit 125
fi
exec "${VORN_WINE[@]}" "$@"
