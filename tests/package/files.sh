# The files an installation holds, relative to its prefix.
installed_files() {
  echo bin/kinovo
  echo share/applications/kinovo.desktop
  echo share/metainfo/app.kinovo.Kinovo.metainfo.xml
  for n in 16 22 24 32 48 64 128 256; do echo "share/icons/hicolor/${n}x$n/apps/kinovo.png"; done
}

fail() { echo "FAIL: $*" >&2; exit 1; }

# Checks the desktop files under prefix $1: the entry and the metainfo pass
# their validators, the entry starts `kinovo` with the theme icon, and each
# icon is an RGBA PNG of its folder's size.
check_desktop_files() {
  local prefix=$1 version=$2
  desktop-file-validate "$prefix/share/applications/kinovo.desktop" || fail "desktop-file-validate"
  appstreamcli validate --no-net "$prefix/share/metainfo/app.kinovo.Kinovo.metainfo.xml" \
    || fail "appstreamcli validate"
  grep -qx 'Exec=kinovo' "$prefix/share/applications/kinovo.desktop" || fail "Exec is not kinovo"
  grep -qx 'Icon=kinovo' "$prefix/share/applications/kinovo.desktop" || fail "Icon is not kinovo"
  grep -q "<release version=\"$version\"" "$prefix/share/metainfo/app.kinovo.Kinovo.metainfo.xml" \
    || fail "metainfo does not name version $version"
  local n got
  for n in 16 22 24 32 48 64 128 256; do
    got=$(identify -format '%w %h %[channels]' "$prefix/share/icons/hicolor/${n}x$n/apps/kinovo.png")
    [ "$got" = "$n $n srgba" ] || fail "icon ${n}x$n is '$got'"
  done
}
