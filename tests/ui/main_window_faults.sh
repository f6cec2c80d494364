#!/usr/bin/env bash
# The real program with cameras that fail. One unplugged while recording:
# the recording stops at once and the user reads why under "Attention"; the
# file keeps what the camera gave and plays; the window shows "NO SIGNAL"
# and takes neither photos nor recordings. One that refuses the capture
# mode: the user is told, and the window, the photo and the recording
# follow the mode it streams in. One that damages frames: the recording's
# stop says how many, and the file holds empty frames in their place; one
# that damages nearly every frame shows "DAMAGED SIGNAL" over the picture,
# one that damages a third of them does not.
#   main_window_faults.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
: >"$out/kinovo.log"

user_folders
export KINOVO_VCAM_CONTROL_DIR=$out/vcam-control
rm -rf "$KINOVO_VCAM_CONTROL_DIR" && mkdir -p "$KINOVO_VCAM_CONTROL_DIR"
trap '[ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$KINOVO_VCAM_CONTROL_DIR"' EXIT

# ---- unplugged 2 s into a recording
start_program "$profiles/one-camera.ini"
record_button 0
sleep 2
touch "$KINOVO_VCAM_CONTROL_DIR/unplug-video0"
t_unplug=$(date +%s.%N)
expect_attention "a camera unplugged while recording" camera-lost
t_told=$(date +%s.%N)
# The stream's error or the camera watch, whichever notices first.
grep -Eq 'camera "*Kinovo.*was lost: (No such device|it was unplugged)' "$out/kinovo.log" ||
  fail "the lost camera was not logged: $(tail -3 "$out/kinovo.log")"
# The file is finished in the background; it is there soon after.
for _ in $(seq 50); do [ "$(count "$videos")" = 1 ] && break; sleep 0.1; done
[ "$(count "$videos")" = 1 ] || fail "no recording kept: $(ls "$videos")"
video=$videos/$(ls "$videos")
# About 2 s long, not as long as the message stood open.
check_avi "$video" sound 2
# It ends with the camera's last picture, not a tail of empty frames.
tail_empty=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$video" |
  awk '{ if ($1 == 0) n++; else n = 0 } END { print n + 0 }')
[ "$tail_empty" -le 1 ] || fail "the file ends with $tail_empty empty frames"
echo "told $(echo "$t_told - $t_unplug" | bc) s after the unplug; $tail_empty empty frames at the end"

# "NO SIGNAL" in place of the frozen picture.
sleep 0.5
import -silent -window root "$out/camera-lost.png"
label=$(label_width $((y + (h - 29) / 4 + 8)))
[ "$label" -gt 150 ] || fail "no \"NO SIGNAL\" label box after the camera went ($label px)"

# Photo and Record do nothing without a picture.
photo_button 1
[ "$(count "$pictures")" = 0 ] || fail "a photo of a lost camera: $(ls "$pictures")"
record_button 1
[ "$(count "$videos")" = 1 ] || fail "a recording of a lost camera: $(ls "$videos")"
xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "an \"Attention\" message after Photo or Record"

xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
[ "$exit_code" = 0 ] || fail "exit code $exit_code"
pid=

# ---- a camera that refuses the 1080p mode and stays at 640 x 480
rm -f "$KINOVO_VCAM_CONTROL_DIR"/unplug-*
: >"$out/kinovo.log"
start_program "$profiles/refused-mode.ini"
expect_attention "a refused capture mode" refused-mode
grep -q 'streams 640 x 480 instead of the capture mode 1920 x 1080' "$out/kinovo.log" ||
  fail "the refused mode was not logged: $(tail -3 "$out/kinovo.log")"
read -r x y w h < <(geometry "$wid")
[ "$w $h" = "670 510" ] || fail "refused mode: window ${w}x$h, not the VGA window 670x510"
rm -f "$pictures"/* "$videos"/*
photo_button 1
[ "$(identify -format '%w x %h' "$pictures"/*.jpg)" = "640 x 480" ] ||
  fail "refused mode: photo of $(identify -format '%w x %h' "$pictures"/*.jpg)"
record_button 2
record_button 1
for _ in $(seq 50); do [ "$(count "$videos")" = 1 ] && break; sleep 0.1; done
size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height,codec_tag_string -of csv=p=0 "$videos"/*.avi)
[ "$size" = "YUY2,640,480" ] || fail "refused mode: recording of $size"
xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
pid=

# ---- a camera that fails one frame's dequeue in ten: the stream goes on,
# nothing is reported, and the recording holds every frame
: >"$out/kinovo.log"
: >"$out/vcam.log"
rm -f "$videos"/*
start_program "$profiles/hiccups.ini"
record_button 3
record_button 1
xdotool search --onlyvisible --name '^Attention$' >/dev/null 2>&1 && fail "an \"Attention\" message for a hiccuping camera"
grep -q 'VIDIOC_DQBUF/VIDIOC_QBUF failed: Input/output error.*retrying' "$out/kinovo.log" ||
  fail "the hiccups were not logged: $(tail -3 "$out/kinovo.log")"
for _ in $(seq 50); do [ "$(count "$videos")" = 1 ] && break; sleep 0.1; done
[ "$(count "$videos")" = 1 ] || fail "no recording of a hiccuping camera: $(ls "$videos")"
check_avi "$videos"/*.avi sound 3
read -r frames packets < <(ffprobe -v error -select_streams v:0 -count_packets \
  -show_entries stream=nb_frames,nb_read_packets -of csv=p=0 "$videos"/*.avi | tr ',' ' ')
[ "$packets" -ge $((frames - 1)) ] || fail "a hiccuping camera left $((frames - packets)) of $frames frames empty"
# The stream went on: one start, and frames past the first hiccups.
[ "$(grep -c 'video0 streamon' "$out/vcam.log")" = 1 ] || fail "the camera's stream was restarted: $(grep streamon "$out/vcam.log")"
[ "$frames" -gt 60 ] || fail "a hiccuping camera gave only $frames frames in 3 s"
xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
pid=

# The width of the dark label box ("DAMAGED SIGNAL") over the live picture,
# on its top row; the test card's black bar alone is an eighth of the width.
damage_label() { label_width $((y + (h - 29) / 4 + 8)); }

# ---- a camera that damages every third frame: no "DAMAGED SIGNAL", and
# the recording's stop says how many
: >"$out/kinovo.log"
rm -f "$videos"/*
start_program "$profiles/damaging.ini"
sleep 1 # more than the 2 s the look judges by
for i in 1 2 3 4 5; do
  label=$(damage_label)
  [ "$label" -lt 200 ] || { import -silent -window root "$out/damaging-look.png"; fail "a label box over a camera with a third of its frames damaged ($label px)"; }
  sleep 0.4
done
grep -q 'sends damaged frames' "$out/kinovo.log" && fail "a third of the frames damaged was taken for a damaged signal"
record_button 2
record_button 0
expect_attention "a recording with damaged frames" damaged-frames
grep -q 'damaged frames from the camera, left empty' "$out/kinovo.log" ||
  fail "the damaged frames were not logged: $(tail -3 "$out/kinovo.log")"
for _ in $(seq 50); do [ "$(count "$videos")" = 1 ] && break; sleep 0.1; done
# Finalized (bit-flipped frames keep their structure and stay in it).
dur=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$videos"/*.avi)
awk -v d="$dur" 'BEGIN { exit !(d > 1 && d < 3.5) }' || fail "the damaged recording lasts $dur s"
# Empty frames are slots of the index without data: more frames than packets.
read -r frames packets < <(ffprobe -v error -select_streams v:0 -count_packets \
  -show_entries stream=nb_frames,nb_read_packets -of csv=p=0 "$videos"/*.avi | tr ',' ' ')
[ "$frames" -gt "$packets" ] || fail "no empty frames in place of the damaged ones ($frames frames, $packets with data)"
xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
pid=

# ---- a camera that damages nearly every frame: "DAMAGED SIGNAL" over the
# live picture while previewing and while recording
: >"$out/kinovo.log"
rm -f "$videos"/*
start_program "$profiles/damaging-all.ini"
label=0
for _ in $(seq 30); do label=$(damage_label); [ "$label" -gt 300 ] && break; sleep 0.1; done
import -silent -window root "$out/damaged-signal.png"
[ "$label" -gt 300 ] || fail "no \"DAMAGED SIGNAL\" label box over a camera whose frames are damaged ($label px)"
grep -q 'camera Kinovo Broken Webcam sends damaged frames: [0-9]* of [0-9]* in the last 2 s' "$out/kinovo.log" ||
  fail "the damaged signal was not logged: $(tail -3 "$out/kinovo.log")"
# The camera's picture goes on beside it: its first bar grey-white, its
# last one black, where "NO SIGNAL"'s test picture ends with blue.
is_white() { local IFS=,; read -r r g b <<<"$1"; (( r > 150 && g > 150 && b > 150 )); }
is_black() { local IFS=,; read -r r g b <<<"$1"; (( r < 60 && g < 60 && b < 60 )); }
# Frames damaged in turn in five ways: one that shows its top part comes
# within a few frames.
live=
for _ in $(seq 40); do
  is_white "$(pixel $((x + 15 + 640 / 16)) $((y + 115)))" &&
    is_black "$(pixel $((x + 15 + 640 * 15 / 16)) $((y + 115)))" && { live=1; break; }
  sleep 0.05
done
[ -n "$live" ] || fail "no live picture beside the label"
record_button 1.5
label=$(damage_label)
import -silent -window root "$out/damaged-signal-recording.png"
[ "$label" -gt 300 ] || fail "no \"DAMAGED SIGNAL\" label box while recording ($label px)"
record_button 0
expect_attention "a recording of a damaged signal" damaged-signal
xdotool windowfocus --sync "$wid" key Escape
wait_exit "$pid" 10 || { kill -9 "$pid"; fail "Escape did not end the program"; }
pid=
echo "main window with cameras that fail: ok"
