#!/usr/bin/env bash
# cpack builds kinovo_VERSION_amd64.deb with its library dependencies taken
# from the binary; dpkg installs it into a scratch root, the installed program
# starts on the display and ends with Escape, and removing the package leaves
# no file behind.
#   deb_test.sh BUILD_DIR VERSION OUTDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/files.sh"
build=$1 version=$2 out=$3
mkdir -p "$out"
work=$(mktemp -d /tmp/kinovo-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$out/cpack.log" 2>&1 \
  || { cat "$out/cpack.log"; fail "cpack"; }
deb=$work/pkg/kinovo_${version}_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/pkg")"

# Control fields. Every library the program links comes with its package
# (dpkg-shlibdeps); the fonts its lettering needs are named by hand.
[ "$(dpkg-deb -f "$deb" Package)" = kinovo ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends" >"$out/depends.txt"
depends_on() { tr ',|' '\n\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$1"; }
dpkg-deb -x "$deb" "$work/unpacked"
needed=$(readelf -d "$work/unpacked/usr/bin/kinovo" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || fail "no NEEDED entries in the packaged binary"
for so in $needed; do
  pkg=$(dpkg -S "*/$so" 2>/dev/null | grep -m1 'x86_64-linux-gnu' | cut -d: -f1)
  [ -n "$pkg" ] || fail "no installed package holds $so"
  depends_on "$pkg" || fail "Depends lacks $pkg (for $so): $depends"
done
for pkg in libqt6widgets6 fonts-liberation fonts-dejavu-core; do
  depends_on "$pkg" || fail "Depends lacks $pkg: $depends"
done
# Every dependency can be met from the machine's package sources.
apt-get install --simulate -o Debug::NoLocking=1 "$deb" >"$out/apt-simulate.log" 2>&1 \
  || { cat "$out/apt-simulate.log"; fail "apt cannot install the package"; }

# The package holds exactly the installed files, under /usr.
diff <(installed_files | sed 's|^|usr/|' | sort) \
  <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort) \
  || fail "package contents differ (< expected, > packaged)"

# Install into a scratch root with a database of its own.
root=$work/root admin=$work/admin
mkdir -p "$root" "$admin/info" "$admin/updates" "$admin/triggers"
touch "$admin/status" "$admin/available"
dpkg_scratch() { dpkg --force-not-root --force-depends --log=/dev/null --admindir="$admin" --instdir="$root" "$@"; }
dpkg_scratch -i "$deb" >"$out/dpkg-install.log" 2>&1 || { cat "$out/dpkg-install.log"; fail "dpkg -i"; }
dpkg_scratch -s kinovo | grep -qx 'Status: install ok installed' || fail "not installed"
check_desktop_files "$root/usr" "$version"

# The installed program starts and ends with Escape.
"$here/../ui/main_window.sh" "$root/usr/bin/kinovo" "$out" quick || fail "the installed kinovo did not run"

dpkg_scratch --purge kinovo >"$out/dpkg-purge.log" 2>&1 || { cat "$out/dpkg-purge.log"; fail "dpkg --purge"; }
left=$(find "$root" -mindepth 1)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "deb: ok ($(basename "$deb"), $(stat -c %s "$deb") bytes)"
