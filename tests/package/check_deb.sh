#!/bin/sh
# Makes the agent's Debian package from a release build and checks it without installing
# it: its name and exact file list, the conffile, the loopback-only configuration, the
# hardened binary's version, the manual against --help and the shipped settings, the unit
# (systemd-analyze verify) and lintian (no error and no warning).
#   check_deb.sh SOURCE_DIR BUILD_DIR VERSION
set -eu
src=$1
build=$(cd "$2" && pwd)
version=$3
fail() {
    echo "check_deb: $*" >&2
    exit 1
}

deb=$("$src/packaging/debian/make-deb.sh" "$build" "$version" "$build/package")
arch=$(dpkg --print-architecture)
case "$(basename "$deb")" in
    "vornagent_${version}-"*"_${arch}.deb") ;;
    *) fail "package named $(basename "$deb"), want vornagent_${version}-N_${arch}.deb" ;;
esac
echo "package: $deb"

# Exactly these files (directories aside), owned by root.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $2 " " $6 }' | LC_ALL=C sort)
want="root/root ./etc/vornagent.conf
root/root ./lib/systemd/system/vornagent.service
root/root ./usr/sbin/vornagent
root/root ./usr/share/doc/vornagent/README.md
root/root ./usr/share/doc/vornagent/changelog.Debian.gz
root/root ./usr/share/doc/vornagent/copyright
root/root ./usr/share/doc/vornagent/examples/vornagent.conf.example
root/root ./usr/share/lintian/overrides/vornagent
root/root ./usr/share/man/man8/vornagent.8.gz"
[ "$files" = "$want" ] || fail "the package holds
$files
want
$want"
[ "$(dpkg-deb -f "$deb" Package)" = vornagent ] || fail "wrong Package field"
dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= ' || fail "Depends lacks libc6"
dpkg-deb -f "$deb" Recommends | grep -qx 'libcurl4' || fail "Recommends lacks libcurl4"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar xO ./conffiles)" = /etc/vornagent.conf ] ||
    fail "/etc/vornagent.conf is not the conffile"

unpacked=$build/package/unpacked
rm -rf "$unpacked"
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/sbin/vornagent
conf=$unpacked/etc/vornagent.conf

[ "$("$bin" --version)" = "vornagent $version" ] || fail "--version says '$("$bin" --version)'"
"$bin" --check "$conf" || fail "the installed configuration does not validate"
# It listens on loopback only and maps nothing itself (the agent then maps what it finds).
listen=$(sed -n 's/^listen[[:space:]]*=[[:space:]]*//p' "$conf")
[ "$listen" = "127.0.0.1:29870
[::1]:29870" ] || fail "the configuration listens on '$listen'"
! grep -Eq '^[A-Z][A-Z0-9]{3}(\.[a-z]+)?[[:space:]]*=' "$conf" || fail "the configuration maps readings"
# The interval is left to its default, which differs by source (2000 ms for prometheus:).
! grep -Eq '^interval[[:space:]]*=' "$conf" || fail "the configuration fixes the interval"

# The options of --help, the manual and the settings of the shipped configurations agree
# (check_options.py says how), and man formats the manual without a warning.
man_source=$unpacked/usr/share/man/man8/vornagent.8
gunzip -c "$man_source.gz" >"$man_source"
for shipped in "$unpacked/usr/share/doc/vornagent/examples/vornagent.conf.example" "$conf"; do
    python3 "$src/tests/package/check_options.py" "$bin" "$man_source" "$shipped" ||
        fail "--help, the manual and $(basename "$shipped") disagree"
done
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_source" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"

# The unit starts the packaged binary; systemd verifies it with the binary where it runs
# (the path is pointed at the unpacked tree, as the binary is not installed).
unit=$unpacked/lib/systemd/system/vornagent.service
grep -qx 'ExecStart=/usr/sbin/vornagent --config /etc/vornagent.conf' "$unit" ||
    fail "the unit does not start /usr/sbin/vornagent with /etc/vornagent.conf"
verify=$build/package/verify
rm -rf "$verify"
mkdir -p "$verify"
sed "s|/usr/sbin/vornagent|$bin|" "$unit" >"$verify/vornagent.service"
systemd-analyze verify --man=no "$verify/vornagent.service" || fail "systemd-analyze verify failed"

# lintian: informational tags are fine, nothing worse.
lint=$(lintian --display-info --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true)
echo "$lint"
! printf '%s\n' "$lint" | grep -Eq '^[EW]: ' || fail "lintian reports errors or warnings"
rm -rf "$unpacked" "$verify"
echo "ok: $deb"
