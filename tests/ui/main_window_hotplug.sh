#!/usr/bin/env bash
# The real program with cameras unplugged and plugged back. The camera
# shown, unplugged while previewing: "NO SIGNAL", and once it is back its
# live picture again in the mode it had, by itself. Started without a
# camera: "NO CAMERA", and the camera plugged in later starts as it would
# at start-up. Another camera than the one shown, unplugged and back: the
# shown one goes on streaming.
#   main_window_hotplug.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"

user_folders
export KINOVO_VCAM_CONTROL_DIR=$out/vcam-control
rm -rf "$KINOVO_VCAM_CONTROL_DIR" && mkdir -p "$KINOVO_VCAM_CONTROL_DIR"
trap '[ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$KINOVO_VCAM_CONTROL_DIR"' EXIT

where() { read -r x y w h < <(geometry "$wid"); }
is_white() { local IFS=,; read -r r g b <<<"$1"; (( r > 150 && g > 150 && b > 150 )); }
is_black() { local IFS=,; read -r r g b <<<"$1"; (( r < 60 && g < 60 && b < 60 )); }
# The camera's test card: its first bar grey-white, its last one black,
# where the test picture of "NO SIGNAL" and "NO CAMERA" ends with blue.
live() {
  local row=$((y + 14 + (h - 29) * 5 / 12))
  is_white "$(pixel $((x + 15 + (w - 30) / 16)) "$row")" &&
    is_black "$(pixel $((x + 15 + (w - 30) * 15 / 16)) "$row")"
}
# Waits up to $1 s for the live picture; prints how long it took.
wait_live() {
  local t0 now
  t0=$(date +%s.%N)
  while ! live; do
    now=$(date +%s.%N)
    awk -v a="$t0" -v b="$now" -v l="$1" 'BEGIN { exit !(b - a > l) }' && return 1
    sleep 0.05
  done
  echo "$(date +%s.%N) - $t0" | bc
}
label() { label_width $((y + (h - 29) / 4 + 8)); }
streamons() { grep -c '^video0 streamon ' "$out/vcam.log"; }
quit() {
  xdotool windowfocus --sync "$wid" key Escape
  wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
  [ "$exit_code" = 0 ] || fail "exit code $exit_code"
  pid=
}

# ---- unplugged while previewing in 720p, and plugged back
: >"$out/kinovo.log"
: >"$out/vcam.log"
start_program "$profiles/one-camera.ini"
wait_live 5 >/dev/null || fail "no live picture at start-up"
# The Mode button's list of three modes opens upwards; its second row is 720p.
nudge=0
wake() { nudge=$(( (nudge + 7) % 40 )); xdotool mousemove $((x + w / 2 + nudge)) $((y + h / 3)); sleep 0.2; }
choose_mode() {
  local rx=$(( w - 234 + 60 )) ry=$(( h - 22 - 3 * 40 - 60 + 6 + $1 * 40 + 20 )) before
  wake
  before=$(pixel $((x + rx)) $((y + ry)))
  click $((w - 234)) $((h - 38)) 0.3
  for _ in $(seq 50); do near "$(pixel $((x + rx)) $((y + ry)))" "$before" 8 || break; sleep 0.1; done
  sleep 0.4 # the rest of its fade-in
  click "$rx" "$ry" 1.0
}
choose_mode 1
where
[ "$w $h" = "1310 750" ] || fail "720p mode: window ${w}x$h"
wait_live 5 >/dev/null || fail "no live picture in 720p"
touch "$KINOVO_VCAM_CONTROL_DIR/unplug-video0"
expect_attention "a camera unplugged while previewing" unplugged
sleep 0.3
import -silent -window root "$out/unplugged.png"
[ "$(label)" -gt 150 ] || fail "no \"NO SIGNAL\" label box after the camera went ($(label) px)"
# Long enough for the camera list to see it gone.
for _ in $(seq 40); do grep -q 'is gone' "$out/kinovo.log" && break; sleep 0.1; done
grep -q 'camera "Kinovo Test Webcam" (/dev/video0) is gone' "$out/kinovo.log" ||
  fail "the gone camera was not logged: $(tail -3 "$out/kinovo.log")"
live && fail "a live picture while the camera is unplugged"
rm "$KINOVO_VCAM_CONTROL_DIR/unplug-video0"
# Within 2 s, and a second to spare on a busy machine.
took=$(wait_live 3) || fail "no live picture 3 s after the camera was plugged back"
echo "live again $took s after the camera was plugged back"
import -silent -window root "$out/back.png"
grep -q 'camera "Kinovo Test Webcam" (/dev/video0) is back' "$out/kinovo.log" ||
  fail "the camera's return was not logged: $(tail -3 "$out/kinovo.log")"
[ "$(streamons)" = 3 ] || fail "streamon $(streamons) times; 3 expected (start, 720p, back): $(grep streamon "$out/vcam.log")"
grep '^video0 streamon ' "$out/vcam.log" | tail -1 | grep -q ' 1280x720 ' ||
  fail "back in another mode than 720p: $(grep streamon "$out/vcam.log" | tail -1)"
where
[ "$w $h" = "1310 750" ] || fail "back: window ${w}x$h, not the 720p window"
xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "an \"Attention\" message when the camera came back"
# It records again.
record_button 1.5
record_button 0
for _ in $(seq 50); do [ "$(count "$videos")" = 1 ] && break; sleep 0.1; done
check_avi "$videos/$(ls "$videos")" sound 1.5
quit

# ---- started without a camera; the camera plugged in later
: >"$out/kinovo.log"
touch "$KINOVO_VCAM_CONTROL_DIR/unplug-video0"
start_program "$profiles/one-camera.ini"
[ "$w $h" = "670 510" ] || fail "no camera: window ${w}x$h, not 670x510"
[ "$(label)" -gt 150 ] || fail "no camera: no label box ($(label) px)"
import -silent -window root "$out/no-camera.png"
rm "$KINOVO_VCAM_CONTROL_DIR/unplug-video0"
for _ in $(seq 50); do where; [ "$w $h" = "1566 894" ] && break; sleep 0.1; done
[ "$x $y $w $h" = "207 123 1566 894" ] || fail "plugged in: window ${w}x$h at $x,$y, not 1566x894 at 207,123"
wait_live 5 >/dev/null || fail "plugged in: no live picture"
import -silent -window root "$out/plugged-in.png"
grep -q 'camera "Kinovo Test Webcam" (/dev/video0) plugged in' "$out/kinovo.log" ||
  fail "the camera plugged in was not logged: $(tail -3 "$out/kinovo.log")"
xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "an \"Attention\" message when a camera was plugged in"
quit

# ---- the camera not shown, unplugged and back: the shown one streams on
: >"$out/kinovo.log"
: >"$out/vcam.log"
start_program "$profiles/two-cameras.ini"
wait_live 5 >/dev/null || fail "two cameras: no live picture"
touch "$KINOVO_VCAM_CONTROL_DIR/unplug-video1"
sleep 2.5
rm "$KINOVO_VCAM_CONTROL_DIR/unplug-video1"
sleep 2.5
live || fail "two cameras: the shown camera stopped when the other was unplugged"
xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "two cameras: an \"Attention\" message"
[ "$(streamons)" = 1 ] || fail "two cameras: the shown camera was started $(streamons) times"
grep -q '^video1 streamon' "$out/vcam.log" && fail "two cameras: the other camera was started"
grep -q 'was lost\|is gone\|is back' "$out/kinovo.log" && fail "two cameras: $(grep 'lost\|gone\|back' "$out/kinovo.log")"
quit
echo "main window with cameras unplugged and plugged back: ok"
