#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix (CTest's emulator for the
# Windows build). Exits with the program's own exit status.
set -eu
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
vorn_wine_prepare
exec wine "$@"
