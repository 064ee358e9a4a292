#!/usr/bin/env bash
# Installs what the build, the tests and the run need, on Debian (12 or later); does nothing
# when everything is already there. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ python3 file
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64
    wine wine64 xvfb x11-utils xdotool imagemagick fonts-ipafont-gothic
    snmpd snmp
    libcurl4-openssl-dev prometheus prometheus-node-exporter
    dpkg-dev fakeroot lintian man-db systemd
)

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# 32-bit Wine runs the 32-bit product where the kernel runs 32-bit code.
if ! dpkg --print-foreign-architectures | grep -qx i386 || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    missing+=("wine32:i386")
fi
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}" >&2
$sudo dpkg --add-architecture i386
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/vorn-apt.log 2>&1 || {
    tail -20 /tmp/vorn-apt.log >&2
    exit 1
}
