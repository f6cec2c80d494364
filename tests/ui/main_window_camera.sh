#!/usr/bin/env bash
# The real program under X with the virtual camera: the window's size and
# place for the applied mode, the live picture inside the skin and following
# the window, the buttons where they belong, and the test picture with
# "NO CAMERA" or "NO SIGNAL" when no camera works, and under "NO SIGNAL"
# the program that holds a busy camera; a camera whose only mode is 4K,
# outside the mode table, treated as any other.
#   main_window_camera.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
holder=""
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; [ -n "$holder" ] && kill -9 "$holder" 2>/dev/null' EXIT

start() { # profile name, or "" for no camera
  if [ -n "$1" ]; then
    LD_PRELOAD="$vcam" KINOVO_VCAM_PROFILE="$profiles/$1.ini" ASAN_OPTIONS=verify_asan_link_order=0 \
      "$bin" >"$out/kinovo-${1:-none}.log" 2>&1 &
  else
    "$bin" >"$out/kinovo-none.log" 2>&1 &
  fi
  pid=$!
  wid=$(wait_window Kinovo) || fail "no main window (${1:-no camera})"
  read -r x y w h < <(geometry "$wid")
}

stop() {
  xdotool windowfocus --sync "$wid" key Escape
  wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
  [ "$exit_code" = 0 ] || fail "exit code $exit_code"
}

# Share (per mille) of pixels in the rectangle (x y w h) of the screenshot
# $shot that are clearly blue, or red.
share() {
  convert "$shot" -crop "$4x$5+$2+$3" +repage -fx "$1" -format '%[fx:int(1000*mean)]' info: 2>/dev/null
}
blue_share() { share 'b > r + 0.25 && b > g + 0.1 ? 1 : 0' "$@"; }
red_share() { share 'r > g + 0.3 && r > b + 0.3 ? 1 : 0' "$@"; }
is_yellow() { local IFS=,; read -r r g b <<<"$1"; (( r > 150 && g > 150 && b < 90 )); }

# Waits until screen pixel (x, y) is yellow.
wait_yellow() {
  for _ in $(seq 200); do is_yellow "$(pixel "$1" "$2")" && return 0; sleep 0.05; done
  return 1
}


# The dark boxes under the top of the test picture's label.
label_boxes() { dark_boxes $((y + (h - 29) / 4)) 160; }

# The box of the line under the label, "ROWS WIDEST", once it shows (the
# holder of a busy camera is looked for in the background) and stays the
# same in two looks in a row (the window may still be fading in); nothing
# when it does not show within 5 s.
holder_line() {
  local line last=""
  for _ in $(seq 50); do
    line=$(label_boxes | sed -n 2p)
    [ -n "$line" ] && [ "$line" = "$last" ] && { echo "$line"; return 0; }
    last=$line
    sleep 0.1
  done
}

# Pointer inside the picture, away from every button, so the buttons show.
# The pointer over the picture shows the buttons; screenshots into $shot
# until the close button is there (a busy machine repaints late).
wake() { # screenshot file
  shot=$1
  xdotool mousemove $((x + w / 2)) $((y + h / 3))
  for _ in $(seq 25); do
    sleep 0.2
    import -silent -window root "$shot"
    [ "$(blue_share $((x + w - 53)) $((y + 23)) 32 32)" -gt 30 ] && return 0
  done
}

# ---- no camera: 670 x 510 at the start-up place, the colour bars, "NO CAMERA"
start ""
sw=$(xdpyinfo | awk '/dimensions/{split($2,a,"x"); print a[1]}')
sh=$(xdpyinfo | awk '/dimensions/{split($2,a,"x"); print a[2]}')
[ "$x $y $w $h" = "$(( (sw - 610) / 2 )) $(( (sh - 450) / 2 )) 670 510" ] || fail "no camera: window $x,$y ${w}x$h"
# The yellow bar, second from the left in the top band.
wait_yellow $((x + 14 + 3 * (w - 29) / 14)) $((y + 14 + (h - 29) / 6)) || fail "no camera: no colour bars"
sleep 0.3
import -silent -window root -crop "$((w + 30))x$((h + 30))+$((x - 15))+$((y - 15))" +repage "$out/no-camera.png"
no_camera_label=$(label_width $((y + (h - 29) / 4 + 8)))
[ "$no_camera_label" -gt 150 ] || fail "no camera: no label box ($no_camera_label px)"
[ "$(label_boxes | wc -l)" = 1 ] || fail "no camera: a line under the label: $(label_boxes | tr '\n' ' ')"
stop

# ---- a camera that another program streams from: "NO SIGNAL", and under
# it who streams; here no such program can be seen.
start busy-camera
wait_yellow $((x + 14 + 3 * (w - 29) / 14)) $((y + 14 + (h - 29) / 6)) || fail "busy camera: no colour bars"
read -r _ nobody_line < <(holder_line)
[ "${nobody_line:-0}" -gt 100 ] || fail "busy camera: no line under the label (${nobody_line:-none})"
sleep 0.3
import -silent -window root -crop "$((w + 30))x$((h + 30))+$((x - 15))+$((y - 15))" +repage "$out/no-signal.png"
no_signal_label=$(label_width $((y + (h - 29) / 4 + 8)))
[ "$no_signal_label" -gt 150 ] || fail "busy camera: no label box ($no_signal_label px)"
# "NO SIGNAL" and "NO CAMERA" are set in one font but differ in width.
[ "$no_signal_label" != "$no_camera_label" ] || fail "busy camera: the label reads as without a camera"
busy='camera "Kinovo Busy Camera" (/dev/video20): VIDIOC_REQBUFS failed: Device or resource busy; held by'
grep -qF "$busy another program" "$out/kinovo-busy-camera.log" ||
  fail "busy camera: the failure was not logged with its call, reason and holder"
stop

# ---- the same, while a second program with the virtual camera holds the
# node open: the log names it with its pid, the line under the label names it.
LD_PRELOAD="$vcam" KINOVO_VCAM_PROFILE="$profiles/busy-camera.ini" \
  sh -c 'exec 3<>/dev/video20 && exec sleep 60' </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do [ "$(cat "/proc/$holder/comm" 2>/dev/null)" = sleep ] && break; sleep 0.05; done
[ "$(cat "/proc/$holder/comm" 2>/dev/null)" = sleep ] || fail "the program to hold the camera did not start"
start busy-camera
wait_yellow $((x + 14 + 3 * (w - 29) / 14)) $((y + 14 + (h - 29) / 6)) || fail "held camera: no colour bars"
read -r _ held_line < <(holder_line)
# "in use by sleep" is narrower than "in use by another program".
[ "${held_line:-0}" -gt 60 ] && [ "$held_line" -lt "$nobody_line" ] ||
  fail "held camera: the line under the label does not name the holder (${held_line:-none} px, $nobody_line without)"
sleep 0.3
import -silent -window root -crop "$((w + 30))x$((h + 30))+$((x - 15))+$((y - 15))" +repage "$out/no-signal-held.png"
[ "$(label_width $((y + (h - 29) / 4 + 8)))" = "$no_signal_label" ] || fail "held camera: the label changed"
grep -qF "$busy sleep (pid $holder)" "$out/kinovo-busy-camera.log" ||
  fail "held camera: the log does not name the holder: $(grep -F 'held by' "$out/kinovo-busy-camera.log")"
stop
kill -9 "$holder"
wait "$holder" 2>/dev/null
holder=""

# ---- one 1080p camera: the largest mode's window, the live picture inside the skin
start one-camera
[ "$x $y $w $h" = "207 123 1566 894" ] || fail "1080p camera: window $x,$y ${w}x$h instead of 207,123 1566x894"
# The camera's yellow bar lies at 3/16 of the picture's width.
px=$((15 + 1536 * 3 / 16)) py=$((15 + 864 * 2 / 5))
wait_yellow $((x + px)) $((y + py)) || fail "1080p camera: no live picture"
is_yellow "$(pixel $((x + px)) $((y + 6)))" && fail "1080p camera: the picture covers the skin border"
# The picture fills the whole inner area: its far corner is not the desktop.
sleep 0.3
near "$(pixel $((x + w - 40)) $((y + h - 100)))" "$(pixel 5 5)" 12 && fail "1080p camera: the picture does not fill the window"
wake "$out/live.png"
# The buttons: red record ball, blue photo, close, settings, mode and microphone.
W=$w H=$h
[ "$(red_share $((x + W - 90)) $((y + H - 56)) 32 32)" -gt 100 ] || fail "record button missing"
for b in "photo $((W - 142)) $((H - 56))" "close $((W - 53)) 23" "settings 29 23" \
         "mode $((W - 250)) $((H - 54))" "microphone $((W - 210)) $((H - 54))"; do
  read -r name bx by <<<"$b"
  share=$(blue_share $((x + bx)) $((y + by)) 32 32)
  [ "$share" -gt 30 ] || fail "$name button missing at $bx,$by (blue share $share/1000)"
done
# One camera: nothing to choose, so no camera button.
share=$(blue_share $((x + W - 290)) $((y + H - 54)) 32 32)
[ "$share" -lt 5 ] || fail "camera button shown with one camera (blue share $share/1000)"

# Dragging the window by its interior takes the picture along.
xdotool mousemove $((x + 700)) $((y + 500)) mousedown 1 mousemove $((x + 650)) $((y + 450)) \
  mousemove $((x + 600)) $((y + 400)) sleep 0.2 mouseup 1
sleep 0.5
read -r x2 y2 _ _ < <(geometry "$wid")
[ "$x2 $y2" = "$((x - 100)) $((y - 100))" ] || fail "drag moved the window to $x2,$y2"
wait_yellow $((x2 + px)) $((y2 + py)) || fail "the picture did not follow the window"
is_yellow "$(pixel $((x2 + px)) $((y2 + 6)))" && fail "after the move the picture covers the skin border"
import -silent -window root "$out/moved.png"
stop

# ---- a camera with only a 4K mode, a size outside the mode table: the mode
# button with the 4K badge, the 1080p camera's 16:9 window, the live
# picture filling it unsquashed, and a photo at the full 3840 x 2160
user_folders
start only-4k
[ "$x $y $w $h" = "207 123 1566 894" ] || fail "4K camera: window $x,$y ${w}x$h instead of 207,123 1566x894"
wait_yellow $((x + px)) $((y + py)) || fail "4K camera: no live picture"
sleep 0.3
# The camera's eight bars each take an eighth of the picture's width and
# stand on the grey ramp at two thirds of its height: a squashed or cropped
# picture moves these edges.
is_cyan() { local IFS=,; read -r r g b <<<"$1"; (( r < 90 && g > 150 && b > 150 )); }
is_grey() { local IFS=,; read -r r g b <<<"$1"; (( r - g < 20 && g - r < 20 && b - g < 20 && g - b < 20 )); }
edge=$((15 + 1536 * 2 / 8)) ramp=$((15 + 864 * 2 / 3))
is_yellow "$(pixel $((x + edge - 8)) $((y + py)))" || fail "4K camera: the yellow bar does not reach its edge"
is_cyan "$(pixel $((x + edge + 8)) $((y + py)))" || fail "4K camera: no cyan bar right of the yellow one"
is_cyan "$(pixel $((x + edge + 8)) $((y + ramp - 8)))" || fail "4K camera: the bars end above two thirds"
is_grey "$(pixel $((x + edge + 8)) $((y + ramp + 8)))" || fail "4K camera: no grey ramp below two thirds"
wake "$out/only-4k.png"
share=$(blue_share $((x + w - 250)) $((y + h - 54)) 32 32)
[ "$share" -gt 30 ] || fail "4K camera: no mode button (blue share $share/1000)"
# The mode list's one row shows the 4K badge on its highlight: of all the
# badges, the wide 4K one (cell 18) matches best.
badges=${KINOVO_BADGE_SHEET:-}
[ -s "$badges" ] || fail "no badge sheet at \"$badges\" (KINOVO_BADGE_SHEET)"
click $((w - 234)) $((h - 38)) 1.2
import -silent -window root -crop "32x32+$((x + w - 250))+$((y + h - 112))" +repage "$out/only-4k-badge.png"
best=-1 best_err=
for cell in $(seq 0 24); do
  err=$(convert \( -size 32x32 xc:'#E9E9E9' \) \( "$badges" -crop "32x32+$((32 * cell))+0" +repage \) \
          -composite png:- | compare -metric RMSE - "$out/only-4k-badge.png" null: 2>&1 | sed 's/.*(\(.*\))/\1/')
  if [ -z "$best_err" ] || awk -v a="$err" -v b="$best_err" 'BEGIN { exit !(a < b) }'; then best=$cell best_err=$err; fi
done
[ "$best" = 18 ] || fail "4K camera: the mode list shows badge $best, not the 4K one (18)"
awk -v e="$best_err" 'BEGIN { exit !(e < 0.05) }' || fail "4K camera: the badge differs from the 4K one ($best_err)"
click $((w / 2)) $((h / 2)) 0.5 # elsewhere: closes the list
photo_button 1.5
for _ in $(seq 50); do [ "$(count "$pictures")" = 1 ] && break; sleep 0.1; done
[ "$(count "$pictures")" = 1 ] || fail "4K camera: no photo: $(ls "$pictures")"
size=$(identify -format '%w x %h' "$pictures"/*.jpg)
[ "$size" = "3840 x 2160" ] || fail "4K camera: photo of $size"
stop

# ---- two cameras: the camera button shows
start two-cameras
[ "$x $y $w $h" = "207 123 1566 894" ] || fail "two cameras: window $x,$y ${w}x$h"
wait_yellow $((x + px)) $((y + py)) || fail "two cameras: no live picture"
wake "$out/two-cameras.png"
share=$(blue_share $((x + w - 290)) $((y + h - 54)) 32 32)
[ "$share" -gt 30 ] || fail "camera button hidden with two cameras (blue share $share/1000)"
stop
echo "main window with cameras: ok"
