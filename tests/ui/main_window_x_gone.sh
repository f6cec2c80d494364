#!/usr/bin/env bash
# The X server goes away during a recording: the program cannot go on, but
# it finishes the file before it exits, so that the file plays at once,
# without waiting for the repair at the next start.
#   main_window_x_gone.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"
user_folders

# A display of the test's own, which it can take away.
# Xvfb picks a free number itself, race-free beside other tests' servers.
rm -f "$out/xvfb.display"
Xvfb -displayfd 3 -noreset -screen 0 1920x1080x24 -nolisten tcp 3>"$out/xvfb.display" >"$out/xvfb.log" 2>&1 &
xvfb=$!
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; kill "$xvfb" 2>/dev/null' EXIT
for _ in $(seq 200); do [ -s "$out/xvfb.display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$out/xvfb.display")"
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start: $(cat "$out/xvfb.log")"

start_program "$profiles/one-camera.ini"
record_button 2
video=$(find "$videos" -name 'video_*.avi' | head -1)
[ -n "$video" ] || fail "no recording in $videos"
kill "$xvfb"
wait "$xvfb" 2>/dev/null
xvfb=""
wait_exit "$pid" 20 || fail "the program did not end when its X server went away"
pid=""
echo "exit status without the X server: $exit_code"
grep -q "finished as the program exits" "$out/kinovo.log" || fail "the file was not finished: $(tail -3 "$out/kinovo.log")"
check_avi "$video" sound ""
[ -e "$videos/.$(basename "$video").recording" ] && fail "the marker stayed beside the finished file"
echo "main window without its X server: ok"
