#!/usr/bin/env bash
# Builds the agent with the release preset (hardened, optimised) and makes its Debian
# package; prints the package's path.
#   scripts/package-deb.sh            build in build/release
#   VORN_BUILD_DIR=DIR scripts/package-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VORN_BUILD_DIR:-build/release}
cmake --preset release -B "$dir" >/dev/null
cmake --build "$dir" -j2 --target deb | tail -1
