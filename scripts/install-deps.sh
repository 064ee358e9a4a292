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
    shellcheck
)

# One question to dpkg for all of them: what is installed, as "name" or "name:arch".
native_arch=$(dpkg --print-architecture)
# (dpkg-query fails when it knows one of them not at all; it still lists the others.)
installed=" $({ dpkg-query -W -f='${binary:Package}=${db:Status-Status} ' "${packages[@]}" \
    wine32:i386 2>/dev/null || true; } | tr ' ' '\n' |
    sed -n "s/:$native_arch=/=/; s/=installed\$//p" | tr '\n' ' ') "
missing=()
for p in "${packages[@]}"; do
    [[ $installed == *" $p "* ]] || missing+=("$p")
done
# 32-bit Wine runs the 32-bit product where the kernel runs 32-bit code.
if ! dpkg --print-foreign-architectures | grep -qx i386 || [[ $installed != *" wine32:i386 "* ]]; then
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
