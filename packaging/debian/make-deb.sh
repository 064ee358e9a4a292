#!/bin/sh
# Makes the agent's Debian package, vornagent_VERSION-REVISION_ARCH.deb, from a configured
# and built (release) build directory: stages the install with prefix /usr, moves it into
# Debian's places, adds the package's own files and builds it with dpkg-deb (files owned by
# root without fakeroot). Prints the package's path.
#   make-deb.sh BUILD_DIR VERSION OUT_DIR
# VERSION is the project version; the Debian revision and the changes come from the top
# entry of packaging/debian/changelog, which must name that version.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 BUILD_DIR VERSION OUT_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
version=$2
mkdir -p "$3"
out=$(cd "$3" && pwd)
umask 022

entry=$(sed -n '1s/^vornbar (\([^)]*\)).*/\1/p' "$here/changelog")
case "$entry" in
    "$version"-*) deb_version=$entry ;;
    *)
        echo "make-deb: the changelog's top entry is '$entry', not version $version-N:" \
             "add an entry to packaging/debian/changelog" >&2
        exit 1
        ;;
esac
arch=$(dpkg --print-architecture)

stage=$build/deb-stage
root=$stage/root
rm -rf "$stage"
mkdir -p "$root"
DESTDIR=$root cmake --install "$build" --prefix /usr >"$stage/install.log"

# Debian 12 keeps units in /lib/systemd/system.
mkdir -p "$root/lib/systemd"
mv "$root/usr/lib/systemd/system" "$root/lib/systemd/system"
rmdir "$root/usr/lib/systemd" "$root/usr/lib"

strip --strip-unneeded --remove-section=.comment --remove-section=.note \
      "$root/usr/sbin/vornagent"
gzip -9n "$root/usr/share/man/man8/vornagent.8"

doc=$root/usr/share/doc/vornagent
mkdir -p "$doc/examples" "$root/etc"
mv "$doc/vornagent.conf.example" "$doc/examples/"
cp "$here/copyright" "$doc/copyright"
gzip -9n <"$here/changelog" >"$doc/changelog.Debian.gz"
mkdir -p "$root/usr/share/lintian/overrides"
cp "$here/lintian-overrides" "$root/usr/share/lintian/overrides/vornagent"
# The installed configuration is the example with its board's mapping left commented out,
# so that on any host the agent maps what it recognises until the administrator writes one.
{
    echo "# Written by the vornagent package. The mapping below is the example's, for an"
    echo "# Intel board with an NCT6775 chip, and is commented out: without a mapping line"
    echo "# the agent maps what it recognises. See vornagent(8) and 'vornagent --list'."
    echo "#"
    sed -E 's/^([A-Z][A-Z0-9]{3}(\.(scale|offset))?[[:space:]]*=)/# \1/' \
        "$doc/examples/vornagent.conf.example"
} >"$root/etc/vornagent.conf"

mkdir -p "$root/DEBIAN"
for script in postinst prerm postrm; do
    install -m 0755 "$here/$script" "$root/DEBIAN/$script"
done
echo /etc/vornagent.conf >"$root/DEBIAN/conffiles"

# The libraries the binary needs, as dpkg-shlibdeps finds them (it wants a source tree).
# libcurl, loaded only by the prometheus source, is a recommendation of control.in.
mkdir -p "$stage/src/debian"
printf 'Source: vornbar\n\nPackage: vornagent\nArchitecture: any\n' >"$stage/src/debian/control"
depends=$(cd "$stage/src" && dpkg-shlibdeps -O "$root/usr/sbin/vornagent" 2>"$stage/shlibdeps.log" |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { cat "$stage/shlibdeps.log" >&2; exit 1; }

(cd "$root" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | LC_ALL=C sort |
     xargs md5sum) >"$root/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@DEB_VERSION@/$deb_version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" "$here/control.in" >"$root/DEBIAN/control"

find "$root" -type d -exec chmod 0755 {} +
deb=$out/vornagent_${deb_version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
