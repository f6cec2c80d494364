#!/usr/bin/env bash
# The real program as a pure Wayland client on weston, driven with the
# pointer and keys with the virtual cameras and the test microphone: the
# live picture inside its skin, buttons that show on hover and hide at rest,
# a photo, a recording, moving by the middle and resizing by the border
# (the compositor does both), each panel at its place, and Escape.
#   main_window_wayland.sh KINOVO VCAM_LIBRARY PROFILE_DIR OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib_wayland.sh"
bin=$1 vcam=$2 profiles=$3 out=$4
mkdir -p "$out"
rm -f "$out"/*.png
: >"$out/kinovo.log"
: >"$out/vcam.log"

use_wayland_desktop
user_folders

# Keeps the window's part of the last screenshot as $out/NAME.png.
keep() { convert "$shot" -crop "${w}x$h+$x+$y" +repage "$out/$1.png"; }
snap() { shot="$out/$1-screen.png"; import -silent -window root "$shot"; }
# The share (per mille) of strongly blue pixels in a 32 x 32 button at
# window coordinates (the close and settings buttons are blue on the skin).
blue_at() {
  convert "$shot" -crop "32x32+$((x + $1))+$((y + $2))" +repage \
    -fx 'b > r + 0.25 && b > g + 0.1 ? 1 : 0' -format '%[fx:int(1000*mean)]' info:
}
# The pointer to a new place inside the picture, away from every button.
nudge=0
wake() { nudge=$(( (nudge + 7) % 40 )); xdotool mousemove $((x + w / 2 + nudge)) $((y + h / 3)); sleep 0.3; }
newest() { ls -t "$1" 2>/dev/null | head -1; }

# ---- the window: its size, the live picture inside the skin
start_wayland_program "$profiles/use.ini"
snap start
keep window
[ "$w $h" = "1566 894" ] || fail "the window covers ${w}x$h at $x,$y of the Wayland desktop, not 1566x894" \
  "(several windows or a window of another size: see $out/start-screen.png)"
inner="$((w - 30))x$((h - 30))+$((x + 15))+$((y + 15))"
convert "$shot" -crop "$inner" +repage "$out/live-a.png"
sleep 0.5
import -silent -window root -crop "$inner" +repage "$out/live-b.png"
changed=$(compare -metric AE -fuzz 2% "$out/live-a.png" "$out/live-b.png" null: 2>&1)
awk -v n="$changed" 'BEGIN { exit !(n + 0 > 2000) }' ||
  fail "the live picture did not change inside the window ($changed pixels in half a second)"
# The skin's border, 15 pixels wide: at its middle, on every side, neither
# black nor the desktop showing through.
for p in "11 $((h / 2)) left" "$((w / 2)) 11 top" "$((w - 12)) $((h / 2)) right" "$((w / 2)) $((h - 12)) bottom"; do
  read -r bx by side <<<"$p"
  c=$(pixel $((x + bx)) $((y + by)))
  near "$c" 0,0,0 40 && fail "the skin's $side border is black ($c at $bx,$by of the window)"
  near "$c" "$desktop_rgb" 8 && fail "the skin's $side border shows the desktop ($c at $bx,$by of the window)"
done

# ---- the buttons show while the pointer moves over the window and hide at rest
wake
snap shown
keep buttons-shown
blue=$(blue_at $((w - 53)) 23)
[ "$blue" -gt 30 ] || fail "the close button did not show with the pointer over the window ($blue per mille of it blue)"
sleep 2.6
snap hidden
blue=$(blue_at $((w - 53)) 23)
[ "$blue" -lt 5 ] || fail "the close button did not hide at rest ($blue per mille of it still blue)"
blue=$(blue_at 29 23)
[ "$blue" -lt 5 ] || fail "the settings button did not hide at rest ($blue per mille of it still blue)"

# ---- a photo at the mode's full size
photo_button 1.5
[ "$(count "$pictures")" = 1 ] || fail "the photo button gave $(count "$pictures") files in $pictures"
p=$pictures/$(newest "$pictures")
case $p in *.jpg) ;; *) fail "the photo $p is no JPEG file" ;; esac
[ "$(identify -format '%w x %h' "$p")" = "1920 x 1080" ] || fail "the photo $p is $(identify -format '%w x %h' "$p")"

# ---- a recording: record, wait, record again
record_button 0
t0=$(date +%s.%N)
sleep 3
snap recording
keep recording
record_button 0
t1=$(date +%s.%N)
sleep 1.5
[ "$(count "$videos")" = 1 ] || fail "one recording should give one file in $videos: $(ls "$videos")"
check_avi "$videos/$(newest "$videos")" sound "$(echo "$t1 - $t0" | bc)"

# ---- moving: the middle dragged; the compositor moves the window
x0=$x y0=$y w0=$w h0=$h
dx=$(( x0 > 150 ? -120 : 120 )) dy=$(( y0 > 80 ? -60 : 60 ))
px=$((x + w / 2)) py=$((y + h / 2))
xdotool mousemove "$px" "$py" sleep 0.2 mousedown 1
for i in 1 2 3 4 5 6; do xdotool mousemove $((px + dx * i / 6)) $((py + dy * i / 6)) sleep 0.05; done
xdotool sleep 0.2 mouseup 1
sleep 0.5
find_window || fail "no window found after dragging its middle"
[ "$w $h" = "$w0 $h0" ] || fail "dragging the middle changed the window from ${w0}x$h0 to ${w}x$h"
[ $((x - x0 - dx)) -ge -3 ] && [ $((x - x0 - dx)) -le 3 ] && [ $((y - y0 - dy)) -ge -3 ] && [ $((y - y0 - dy)) -le 3 ] ||
  fail "dragging the middle by $dx,$dy moved the window from $x0,$y0 to $x,$y"
shot=$out/found.png
keep moved

# ---- the panels, each at its place relative to the window
# The largest area of the window that changed between two screenshots, as
# "left top right bottom" in window coordinates: a panel that opened. Left
# out: near white in one screenshot where the other is not light (the
# picture's moving block and frame counter are white), and lines one or two
# pixels wide (their edges in the JPEG picture).
changed_area() { # before after
  local c="${w}x$h+$x+$y"
  local not_white='-negate -separate -evaluate-sequence max -threshold 2%'
  local light='-negate -separate -evaluate-sequence max -threshold 21.5% -negate'
  # shellcheck disable=SC2086
  convert "$1" -crop "$c" +repage -write mpr:a +delete "$2" -crop "$c" +repage -write mpr:b +delete \
    \( mpr:a mpr:b -compose difference -composite -colorspace gray -threshold 3% \) \
    \( \( mpr:a $not_white \) \( mpr:b $light \) -evaluate-sequence max \) \
    \( \( mpr:b $not_white \) \( mpr:a $light \) -evaluate-sequence max \) \
    -evaluate-sequence min -morphology Open Square:1 -define connected-components:verbose=true \
    -define connected-components:area-threshold=1500 -connected-components 8 null: 2>/dev/null |
    awk '$NF == "gray(255)" { split($2, g, /[x+]/); if ($4 > best) { best = $4; b = g[3] " " g[4] " " g[3] + g[1] - 1 " " g[4] + g[2] - 1 } }
      END { print b }'
}
# panel NAME BUTTON_X BUTTON_Y L T R B: clicks the button at window
# coordinates and expects a panel whose drawn area has these edges (window
# coordinates, within 6 pixels; "-": an edge not looked at, where the
# clicked button or the picture's frame counter changes beside the panel);
# keeps $out/panel-NAME.png.
panel() {
  local name=$1 bx=$2 by=$3 area found edge i
  local -a want=("$4" "$5" "$6" "$7") names=(left top right bottom)
  wake
  snap "before-$name"
  local before=$shot
  click "$bx" "$by" 0.9
  snap "panel-$name"
  keep "panel-$name"
  area=$(changed_area "$before" "$shot")
  [ -n "$area" ] || fail "no $name panel opened (see $shot)"
  read -r -a found <<<"$area"
  for i in 0 1 2 3; do
    [ "${want[i]}" = - ] && continue
    edge=$((found[i] - want[i]))
    [ "$edge" -ge -6 ] && [ "$edge" -le 6 ] ||
      fail "the $name panel's ${names[i]} edge is at ${found[i]}, expected ${want[i]}" \
        "(it covers ${found[*]} of the ${w}x$h window as left top right bottom; see $shot)"
  done
}
# Closes what is open with a click on the middle of the picture.
close_panel() { click $((w / 2)) $((h / 2)) 0.6; }

# Settings: below its button (top left).
panel settings 45 39 14 - 290 366
close_panel
# The lists open upwards from their buttons in the bottom bar: for a
# button whose left edge is at L, with N rows: from L-15 to L+262, clipped
# to the window, and from 60 + N * 40 above the button's bottom (h-22).
list_panel() { # name, button's left edge from the right (w - L), rows
  local L=$((w - $2)) n=$3 r
  r=$((L + 262)); [ "$r" -gt $((w - 1)) ] && r=$((w - 1))
  panel "$1" $((L + 16)) $((h - 38)) $((L - 15)) $((h - 22 - 60 - n * 40)) "$r" -
}
list_panel cameras 290 2
close_panel
# "Без звука" and the microphones the sound server has now (other tests
# add and remove some).
list_panel microphones 210 $(( $(pactl list short sources 2>/dev/null | grep -vc '\.monitor') + 1 ))
close_panel
list_panel modes 250 2
# Its second row: 720p, a smaller window.
click $((w - 250 + 44)) $((h - 22 - 60 - 2 * 40 + 6 + 40 + 20)) 1.5
find_window || fail "no window found after choosing 720p"
[ "$w $h" = "1310 750" ] || fail "720p from the mode list: the window is ${w}x$h, not 1310x750"
# About: centred.
panel about 38 $((h - 42)) $((w / 2 - 208)) $((h / 2 - 158)) $((w / 2 + 206)) $((h / 2 + 157))
ax=$((x + w / 2 - 210)) ay=$((y + h / 2 - 160))
xdotool mousemove $((ax + 200)) $((ay + 275)) sleep 0.15 click 1   # its "Ok"
sleep 0.6

# ---- resizing: the right border dragged. Last but Escape: weston sends
# the size of its last interactive resize again with later configures,
# which would undo the smaller window of a mode chosen afterwards.
find_window || fail "no window found after the panels"
x0=$x y0=$y w0=$w h0=$h
bx=$((x + w - 7)) by=$((y + h / 2))
xdotool mousemove "$bx" "$by" sleep 0.2 mousedown 1
for i in 1 2 3 4 5 6; do xdotool mousemove $((bx + 20 * i)) "$by" sleep 0.05; done
xdotool sleep 0.3 mouseup 1
sleep 0.8
find_window || fail "no window found after dragging its right border"
[ "$x $y" = "$x0 $y0" ] || fail "dragging the right border moved the window from $x0,$y0 to $x,$y"
[ "$w" -gt $((w0 + 40)) ] || fail "dragging the right border by 120 pixels gave ${w}x$h (was ${w0}x$h0)"
shot=$out/found.png
keep resized
c=$(pixel $((x + w - 30)) $((y + h / 3)))
near "$c" "$desktop_rgb" 8 && fail "the picture does not reach the new right edge ($c at $((w - 30)),$((h / 3)) of the window)"

# ---- Escape ends the program
xdotool key Escape
wait_exit "$pid" 15 || fail "Escape did not end the program"
[ "$exit_code" = 0 ] || fail "Escape: exit code $exit_code"
pid=""
echo "main window on Wayland: ok"
