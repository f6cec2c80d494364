#!/usr/bin/env bash
# The real program driven with the pointer and keys, with the virtual camera
# and the test microphone: recording, photos, switching camera, mode and
# microphone, the panels, moving and resizing, auto-hiding buttons, and the
# ways out during a recording, each leaving a finalized file; a recording
# cut short by kill -9, repaired at the next start.
#   main_window_use.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"

user_folders
fm_log=${KINOVO_FILEMANAGER_LOG:-}

start() { start_program "$profiles/use.ini"; }
where() { read -r x y w h < <(geometry "$wid"); }
# The newest file in a folder.
newest() { ls -t "$1" 2>/dev/null | head -1; }

# ---- recording with the record button, and a photo while previewing
: >"$out/vcam.log"
start
[ "$w $h" = "1566 894" ] || fail "window ${w}x$h"
record_button 0
t0=$(date +%s.%N)
sleep 3
import -silent -window root "$out/recording.png"
record_button 0
t1=$(date +%s.%N)
sleep 1
[ "$(count "$videos")" = 1 ] || fail "one recording should give one file in $videos: $(ls "$videos")"
video=$videos/$(newest "$videos")
case $(basename "$video") in video_[0-3][0-9].[01][0-9].20[0-9][0-9]_0001.avi) ;; *) fail "name $video" ;; esac
check_avi "$video" sound "$(echo "$t1 - $t0" | bc)"

photo_button 1
photo_button 1
[ "$(count "$pictures")" = 2 ] || fail "two photos should give two files: $(ls "$pictures")"
for p in "$pictures"/*.jpg; do
  [ "$(identify -format '%w x %h' "$p")" = "1920 x 1080" ] || fail "photo $p is $(identify -format '%w x %h' "$p")"
done
ls "$pictures" | grep -q '^img_.*_0002\.jpg$' || fail "photo numbering: $(ls "$pictures")"
# The camera streamed on through the recording and the photos.
starts=$(grep -c '^video0 streamon ' "$out/vcam.log")
[ "$starts" = 1 ] || fail "the camera was started $starts times for a preview, a recording and two photos"
if [ -n "$fm_log" ]; then
  sleep 0.5
  fm_calls | wc -l | grep -qx 2 || fail "file manager calls: $(fm_calls)"
  fm_calls | grep -q "$(basename "$video")" || fail "the file manager was not shown the video"
  fm_calls | grep -q "_0001.jpg" || fail "the file manager was not shown the first photo"
  fm_calls | grep -q "_0002.jpg" && fail "the second photo opened the file manager again"
fi

# ---- the mode list: 720p makes the window smaller
# The pointer to a new place inside the picture, away from every button:
# the buttons show again.
nudge=0
wake() { nudge=$(( (nudge + 7) % 40 )); xdotool mousemove $((x + w / 2 + nudge)) $((y + h / 3)); sleep 0.2; }
# choose BUTTON_X ROW WAIT: opens the list of the bottom-bar button at
# BUTTON_X (from the right edge) and clicks its row ROW (0 first) once the
# list covers it (a busy machine opens it late), then waits WAIT s.
choose() {
  local bx=$(( w - $1 )) rx=$(( w - $1 + 60 )) ry=$(( h - 22 - 2 * 40 - 60 + 6 + $2 * 40 + 20 )) before
  wake
  before=$(pixel $((x + rx)) $((y + ry)))
  click "$bx" $((h - 38)) 0.3
  for _ in $(seq 50); do near "$(pixel $((x + rx)) $((y + ry)))" "$before" 8 || break; sleep 0.1; done
  sleep 0.4  # the rest of its fade-in
  click "$rx" "$ry" "$3"
}
choose 234 1 1.0                             # Mode: a list of two modes opens upwards; its second row
where
[ "$w $h" = "1310 750" ] || fail "720p mode: window ${w}x$h"
[ "$x $y" = "335 195" ] || fail "720p mode: window at $x,$y"
photo_button 1
[ "$(identify -format '%w x %h' "$pictures/$(newest "$pictures")")" = "1280 x 720" ] || fail "720p photo size"

# ---- the microphone list: "Без звука" gives a file without sound
# The microphone button's share of red: its "no sound" look.
no_sound_look() {
  import -silent -window root -crop "32x32+$((x + w - 210))+$((y + h - 54))" +repage png:- 2>/dev/null |
    convert - -fx 'r > 0.6 && g < 0.4 && b < 0.4' -format '%[fx:mean]\n' info:
}
# Microphone: "Без звука" and the test microphone; the first row. Other
# tests add and remove sources of the shared sound server, and a list whose
# microphones change closes: then it is chosen again.
for attempt in 1 2 3; do
  choose 194 0 0.6
  awk -v s="$(no_sound_look)" 'BEGIN { exit !(s > 0.03) }' && break
  [ "$attempt" = 3 ] && fail "\"Без звука\" could not be chosen"
done
record_button 0.3
sleep 2
record_button 1
check_avi "$videos/$(newest "$videos")" silent ""

# ---- the microphone list reaches past the window's right edge, whole; the
# keys close it rather than the program
wake
click $((w - 194)) $((h - 38)) 0.8
import -silent -window root "$out/mic-list-open.png"
row=$((h - 22 - 2 * 40 - 60 + 6 + 20))
near "$(pixel $((x + w + 30)) $((y + row)))" "$(pixel 5 5)" 20 && fail "the microphone list is cut at the window's edge"
xdotool key Escape
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "Escape with a list open ended the program"
near "$(pixel $((x + w + 30)) $((y + row)))" "$(pixel 5 5)" 20 || fail "Escape did not close the microphone list"

# ---- the settings and about panels open and close
wake
click 45 39 0.8                              # Settings
import -silent -window root "$out/settings-open.png"
click $((w / 2)) $((h / 2)) 0.5              # elsewhere: closes it
click 38 $((h - 42)) 0.8                     # the logo: the about panel
import -silent -window root "$out/about-open.png"
ax=$((x + w / 2 - 210)) ay=$((y + h / 2 - 160))
xdotool mousemove $((ax + 200)) $((ay + 275)) sleep 0.15 click 1   # its "Ok"
sleep 0.5

# ---- buttons hide after two seconds at rest
wake
sleep 2.6
import -silent -window root "$out/hidden.png"
shot="$out/hidden.png"
blue=$(convert "$shot" -crop "32x32+$((x + w - 53))+$((y + 23))" +repage -fx 'b > r + 0.25 && b > g + 0.1 ? 1 : 0' \
  -format '%[fx:int(1000*mean)]' info:)
[ "$blue" -lt 5 ] || fail "the close button did not hide at rest ($blue)"
# The pointer over the window hides with them, and comes back with a move.
[ "$("$KINOVO_POINTER_LOOK")" = hidden ] || fail "the pointer stayed visible at rest"
wake
[ "$("$KINOVO_POINTER_LOOK")" = shown ] || fail "the pointer did not come back with a move"
shot="$out/shown.png"
import -silent -window root "$shot"
blue=$(convert "$shot" -crop "32x32+$((x + w - 53))+$((y + 23))" +repage -fx 'b > r + 0.25 && b > g + 0.1 ? 1 : 0' \
  -format '%[fx:int(1000*mean)]' info:)
[ "$blue" -gt 30 ] || fail "the close button did not come back with the pointer ($blue)"

# ---- resizing by the border: the picture fills the new inner area
xdotool mousemove $((x + w - 7)) $((y + h / 2)) mousedown 1 mousemove $((x + w + 50)) $((y + h / 2)) \
  sleep 0.2 mousemove $((x + w + 100)) $((y + h / 2)) sleep 0.3 mouseup 1
sleep 0.6
w0=$w
where
[ "$w" -gt $((w0 + 40)) ] || fail "border drag gave ${w}x$h"
import -silent -window root "$out/resized.png"
near "$(pixel $((x + w - 30)) $((y + 30)))" "$(pixel 5 5)" 20 && fail "the picture does not reach the new right edge"

# ---- the camera list: the second camera (640 x 480)
choose 274 1 2.5                             # Camera: the second one
where
[ "$w $h" = "670 510" ] || fail "second camera: window ${w}x$h"
import -silent -window root "$out/second-camera.png"

# ---- every way out during a recording leaves a finalized file
# end_during_recording HOW SOUND: records for two seconds, ends the program
# with HOW (close, escape, term) and checks the file.
end_during_recording() {
  record_button 0.3
  sleep 2
  case $1 in
    close) wake; click $((w - 37)) 39 0 ;;
    escape) xdotool windowfocus --sync "$wid" key Escape ;;
    term) kill -TERM "$pid" ;;
  esac
  wait_exit "$pid" 15 || { kill -9 "$pid"; fail "$1 did not end the program"; }
  [ "$exit_code" = 0 ] || fail "$1: exit code $exit_code"
  check_avi "$videos/$(newest "$videos")" "$2" ""
}
end_during_recording close silent
# The microphone is chosen again at start.
start
end_during_recording escape sound
start
end_during_recording term sound
ls "$videos" | sort | tail -1 | grep -q "_0005.avi" || fail "five recordings expected: $(ls "$videos")"

# ---- a recording cut short by kill -9 is repaired at the next start, and
# the user is told which file it was
start
record_button 0.3
sleep 2
kill -9 "$pid"
wait "$pid" 2>/dev/null
killed=$videos/$(newest "$videos")
[ -e "$videos/.$(basename "$killed").recording" ] || fail "no marker beside the recording being made"
[ "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$killed")" = N/A ] \
  || fail "$killed: finalized although the program was killed"
start
mid=$(wait_window Attention) || fail "no \"Attention\" message about the repaired recording"
import -silent -window root "$out/repaired.png"
grep -qF "$killed : the recording was interrupted and has been repaired" "$out/kinovo.log" \
  || fail "the repair of $killed is not in the log"
xdotool windowfocus --sync "$mid" key Return
check_avi "$killed" sound 2
[ -e "$videos/.$(basename "$killed").recording" ] && fail "the marker stayed after the repair"
[ "$(count "$videos")" = 6 ] || fail "six recordings expected: $(ls -a "$videos")"
xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 15 || fail "Escape did not end the program"
echo "main window in use: ok"
