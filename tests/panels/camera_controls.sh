#!/usr/bin/env bash
# The image-settings panel on a real V4L2 camera (the virtual one): moving a
# slider sets the camera's control, the reset button puts every control
# back to its default. What the camera received is read from its log.
#   camera_controls.sh GALLERY OUTDIR VCAM_LIBRARY PROFILE_DIR
here=$(cd "$(dirname "$0")" && pwd)
gallery=$1 out=$2 vcam=$3 profiles=$4
. "$here/gallery_lib.sh"
mkdir -p "$out"

# The last value the camera took for a control.
last_set() { grep "^video0 s_ctrl $1 " "$log" | grep -v EBUSY | tail -1 | awk '{print $4}'; }
wait_set() { # control value
  for _ in $(seq 40); do [ "$(last_set "$1")" = "$2" ] && return 0; sleep 0.05; done
  fail "camera's $1 is '$(last_set "$1")', expected $2 (log: $(tail -5 "$log" | tr '\n' '|'))"
}

run_gallery() { # profile panel
  log="$out/vcam-$2.log"
  rm -f "$log"
  LD_PRELOAD="$vcam" KINOVO_VCAM_PROFILE="$profiles/$1" KINOVO_VCAM_LOG="$log" open_panel "$2" --camera 0
}

# ---- six controls
run_gallery six-controls.ini settings6
[ "$x $y $w $h" = "100 100 280 314" ] || fail "six-control camera: panel at $x,$y ${w}x$h"
grep -q "^video0 open" "$log" || fail "the camera was not opened"
shot camera6

# Brightness (-64..64): press in the middle of the track, drag to the end.
point_at 100 39
xdotool mousedown 1
wait_set brightness -35
xdotool mousemove $((x + 200)) $((y + 39)) sleep 0.1 mousemove $((x + 262)) $((y + 39)) sleep 0.2 mouseup 1
wait_set brightness 64
is_knob "$(at 250 38)" || fail "knob not at the maximum after the drag"
shot camera6-brightness-max
# Gamma (72..500): a click at the left end is the minimum.
point_at 100 199
xdotool click 1
point_at 53 199
xdotool click 1
wait_set gamma 72
# White balance (2800..6500, step 10): manual mode first, then the value,
# which the engine snaps to the step.
point_at 57 239
xdotool click 1
wait_set white_balance_temperature 2820
grep -q "^video0 s_ctrl white_balance_automatic 0" "$log" || fail "automatic white balance was not switched off"
shot camera6-white-balance

# Reset: every control back to its default.
point_at 230 279
xdotool click 1
for pair in brightness:0 contrast:32 saturation:64 sharpness:3 gamma:100 white_balance_temperature:4600 \
            white_balance_automatic:1 hue:0; do
  wait_set "${pair%%:*}" "${pair#*:}"
done
kill -0 "$pid" 2>/dev/null || fail "reset closed the panel"
escape
expect_exit
grep -qx "Brightness 0" "$out/settings6.out" || fail "the record kept '$(cat "$out/settings6.out")'"

# ---- a camera without contrast and gamma has four rows
run_gallery four-controls.ini settings4
[ "$w $h" = "280 234" ] || fail "four-control camera: panel ${w}x$h"
shot camera4
point_at 100 119 # sharpness (0..7), the third row
xdotool click 1
point_at 255 119
xdotool click 1
wait_set sharpness 7
escape
expect_exit
grep -q "Contrast\|Gamma" "$out/settings4.out" && fail "rows for controls the camera lacks"
echo "camera controls: ok"
