#!/usr/bin/env bash
# Builds the agent with the release preset (hardened, optimised) and makes its Debian
# package; prints the package's path.
#   scripts/package-deb.sh            build in build/release
#   VORN_BUILD_DIR=DIR scripts/package-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/build.sh
. scripts/lib/build.sh
dir=${VORN_BUILD_DIR:-build/release}
vorn_build release "$dir" - vornagent >/dev/null
cmake --build "$dir" --target deb | tail -1
