#!/bin/sh
# Installs the agent's Debian package with dpkg on this machine and checks it as an
# administrator would: the package is installed and its unit enabled, the configuration
# validates, the installed binary answers a request, the unit verifies; then dpkg -r leaves
# only the configuration and dpkg -P leaves no file of the package behind (compared with
# dpkg -L before the removal), nor the unit's enablement. Needs root: skips (77) otherwise,
# and also where the package is already installed (it is not this test's to remove).
#   check_deb_install.sh DEB AGENT_ASK
set -u
deb=$1
ask=$2
skip() {
    echo "check_deb_install: skipped: $*"
    exit 77
}
fail() {
    echo "check_deb_install: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
if dpkg-query -W -f '${Status}' vornagent 2>/dev/null | grep -q 'installed\|config-files'; then
    skip "vornagent is already installed on this machine"
fi
[ -f "$deb" ] || fail "no package $deb (the package_deb test makes it)"

# dpkg takes a lock; other package work on the machine may hold it for a while.
run_dpkg() {
    tries=0
    while ! out=$(dpkg "$@" 2>&1); do
        tries=$((tries + 1))
        if ! printf '%s' "$out" | grep -q 'lock' || [ $tries -ge 30 ]; then
            printf '%s\n' "$out" >&2
            return 1
        fi
        sleep 2
    done
    printf '%s\n' "$out"
}
agent_pid=""
cleanup() {
    [ -z "$agent_pid" ] || kill "$agent_pid" 2>/dev/null
    dpkg-query -W vornagent >/dev/null 2>&1 && dpkg -P vornagent >/dev/null 2>&1
    rm -f "$err" "$listing"
}
err=$(mktemp)
listing=$(mktemp)
trap cleanup EXIT

run_dpkg -i "$deb" || fail "dpkg -i failed"
[ "$(dpkg-query -W -f '${Status}' vornagent)" = "install ok installed" ] || fail "not installed"
[ -L /etc/systemd/system/multi-user.target.wants/vornagent.service ] ||
    fail "the postinst did not enable the unit"

[ "$(/usr/sbin/vornagent --version)" = "vornagent $(dpkg-deb -f "$deb" Version | sed 's/-[^-]*$//')" ] ||
    fail "vornagent --version does not name the package's version"
/usr/sbin/vornagent --check /etc/vornagent.conf || fail "vornagent --check /etc/vornagent.conf failed"
systemd-analyze verify /lib/systemd/system/vornagent.service ||
    fail "systemd-analyze verify failed on the installed unit"

# The installed binary with the installed configuration, on a free loopback port.
/usr/sbin/vornagent --config /etc/vornagent.conf --listen 127.0.0.1:0 2>"$err" &
agent_pid=$!
port=""
i=0
while [ -z "$port" ] && [ $i -lt 50 ]; do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\);.*/\1/p' "$err")
    [ -n "$port" ] || sleep 0.1
    i=$((i + 1))
done
[ -n "$port" ] || fail "the installed agent did not start: $(cat "$err")"
"$ask" "127.0.0.1:$port" || fail "the installed agent did not answer"
kill "$agent_pid"
wait "$agent_pid"
agent_pid=""

dpkg -L vornagent >"$listing"
run_dpkg -r vornagent >/dev/null || fail "dpkg -r failed"
[ "$(dpkg-query -W -f '${Status}' vornagent)" = "deinstall ok config-files" ] ||
    fail "after dpkg -r the package is not left with its configuration only"
[ -f /etc/vornagent.conf ] || fail "dpkg -r removed the configuration"
while read -r path; do
    [ -d "$path" ] || [ "$path" = /etc/vornagent.conf ] || [ ! -e "$path" ] ||
        fail "dpkg -r left $path"
done <"$listing"

run_dpkg -P vornagent >/dev/null || fail "dpkg -P failed"
! dpkg-query -W vornagent >/dev/null 2>&1 || fail "dpkg -P left the package known to dpkg"
while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A directory (or the merged-/usr link to one, such as /lib) may stay when another
    # package owns it too, or something else lives in it.
    if [ -d "$path" ]; then
        dpkg -S "$path" >/dev/null 2>&1 && continue
        [ -n "$(ls -A "$path")" ] && continue
    fi
    fail "dpkg -P left $path"
done <"$listing"
for left in /etc/systemd/system/multi-user.target.wants/vornagent.service \
            /var/lib/systemd/deb-systemd-helper-enabled/vornagent.service.dsh-also \
            /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/vornagent.service; do
    if [ -e "$left" ] || [ -L "$left" ]; then
        fail "dpkg -P left $left"
    fi
done
echo "ok: installed, answered on 127.0.0.1:$port, removed and purged without a trace"
