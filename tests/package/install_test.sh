#!/usr/bin/env bash
# `cmake --install` into an unusual prefix installs exactly the program, its
# desktop entry, metainfo and theme icons (no developer programs), and the
# desktop files pass their validators.
#   install_test.sh BUILD_DIR VERSION
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/files.sh"
build=$1 version=$2
work=$(mktemp -d /tmp/kinovo-install.XXXXXX)
trap 'rm -rf "$work"' EXIT

prefix=$work/opt/kinovo
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
diff <(installed_files | sort) <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) \
  || fail "installed files differ from the list (< expected, > installed)"
[ -x "$prefix/bin/kinovo" ] || fail "bin/kinovo is not executable"
check_desktop_files "$prefix" "$version"
echo "install: ok"
