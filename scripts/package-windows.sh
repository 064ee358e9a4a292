#!/usr/bin/env bash
# Builds the 32-bit Windows product (preset win32) and packs VORNBAR.exe, VORNPLUG.dll,
# vornagent.exe with its configuration, the readme and the licence into a zip; prints the
# zip's path.
#   scripts/package-windows.sh            build in build/win32
#   VORN_BUILD_DIR=DIR scripts/package-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
dir=${VORN_BUILD_DIR:-build/win32}
vorn_build win32 "$dir" - VORNBAR VORNPLUG vornagent
(cd "$dir" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
version=$(sed -n 's/^project(vornbar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=$dir/package/vornbar-$version-win32.zip
[ -f "$zip" ] || { echo "package-windows: $zip was not made" >&2; exit 1; }
cmake -E tar tf "$zip"
echo "$zip"
