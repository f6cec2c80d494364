#!/usr/bin/env bash
# The real program under X: the main window's skin, drawn with the picture
# into one window, moving and resizing, and the three ways to end it.
#   main_window.sh KINOVO OUTDIR [quick]
# "quick" only starts the program and ends it with Escape (sanitizer runs);
# "plain" expects a desktop without a compositor, where the windows are
# shaped instead of translucent.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$1 out=$2 mode=${3:-full}
mkdir -p "$out"

start() {
  "$bin" >"$out/kinovo.log" 2>&1 &
  pid=$!
  wid=$(wait_window Kinovo) || fail "no main window"
}

finish() { # how: escape | return | close
  case $1 in
    escape) xdotool windowfocus --sync "$wid" key Escape ;;
    return) xdotool windowfocus --sync "$wid" key Return ;;
    close) wmctrl -i -c "$wid" ;;
  esac
  # Generous: the test is that it ends, not how fast (a busy machine is slow).
  wait_exit "$pid" "${2:-10}" || {
    kill -9 "$pid"
    fail "$1 did not end the program in time (window manager: $(wmctrl -m 2>&1 | head -1))"
  }
  [ "$exit_code" = 0 ] || fail "$1: exit code $exit_code"
}

if [ "$mode" = quick ]; then
  start
  sleep 1
  finish escape 10
  exit 0
fi

start
desk=$(pixel 5 5) # read once a window shows: the compositor has painted the desktop by then
read -r x y w h < <(geometry "$wid")
# The fade-in takes about 130 ms; wait for the skin to be fully there.
prev="" cur=""
for _ in $(seq 60); do
  cur=$(pixel $((x + w / 2)) $((y + 12)))
  [ "$cur" = "$prev" ] && ! near "$cur" "$desk" 20 && break
  prev=$cur
  sleep 0.05
done
sw=$(xdpyinfo | awk '/dimensions/{split($2,a,"x"); print a[1]}')
sh=$(xdpyinfo | awk '/dimensions/{split($2,a,"x"); print a[2]}')
[ "$w $h" = "670 510" ] || fail "size $w x $h"
[ "$x $y" = "$(( (sw - 610) / 2 )) $(( (sh - 450) / 2 ))" ] || fail "position $x,$y"
import -silent -window root "$out/main-window.png"

# The skin: its border differs from the desktop. Without a camera the centre
# shows the colour bars (the middle one green, at alpha 200): over the
# desktop with a compositor, opaque without one.
border=$(pixel $((x + w / 2)) $((y + 12)))
near "$border" "$desk" 20 && fail "no skin at the top border ($border)"
centre=$(pixel $((x + w / 2)) $((y + h / 2)))
if [ "$mode" = plain ]; then
  IFS=, read -r r g b <<<"$centre"
  (( g > 180 && r < 60 && b < 60 )) || fail "centre not the green bar ($centre)"
else
  IFS=, read -r dr dg db <<<"$desk"
  near "$centre" "$(( (dr * 55 + 127) / 255 )),$(( (255 * 200 + dg * 55 + 127) / 255 )),$(( (db * 55 + 127) / 255 ))" 4 \
    || fail "centre not the green bar over the desktop ($centre)"
fi
# Edges stretch evenly; corners keep their shape.
near "$(pixel $((x + 100)) $((y + 12)))" "$(pixel $((x + w - 100)) $((y + 12)))" 2 || fail "top edge uneven"
near "$(pixel $((x + 12)) $((y + 100)))" "$(pixel $((x + 12)) $((y + h - 100)))" 2 || fail "left edge uneven"
near "$(pixel $((x + 1)) $((y + 1)))" "$desk" 40 || fail "corner not rounded/shadowed"

# The interior drags the window, the border resizes it.
xdotool mousemove $((x + 300)) $((y + 200)) mousedown 1 mousemove $((x + 330)) $((y + 220)) \
  mousemove $((x + 350)) $((y + 230)) sleep 0.2 mouseup 1
sleep 0.3
read -r x2 y2 w2 h2 < <(geometry "$wid")
[ "$x2 $y2" = "$((x + 50)) $((y + 30))" ] || fail "drag moved the window to $x2,$y2 instead of $((x + 50)),$((y + 30))"
near "$(pixel $((x2 + w2 / 2)) $((y2 + 12)))" "$border" 3 || fail "the skin did not follow the move"

xdotool mousemove $((x2 + w2 - 10)) $((y2 + h2 / 2)) mousedown 1 mousemove $((x2 + w2 + 40)) $((y2 + h2 / 2)) \
  sleep 0.2 mousemove $((x2 + w2 + 90)) $((y2 + h2 / 2)) sleep 0.3 mouseup 1
sleep 0.3
read -r x3 y3 w3 h3 < <(geometry "$wid")
[ "$x3 $y3 $w3 $h3" = "$x2 $y2 $((w2 + 100)) $h2" ] || fail "border drag gave $x3,$y3 ${w3}x$h3"
near "$(pixel $((x3 + w3 - 12)) $((y3 + h3 / 2)))" "$(pixel $((x3 + 12)) $((y3 + h3 / 2)))" 12 \
  || fail "the skin did not follow the resize"
import -silent -window root "$out/main-window-resized.png"
finish escape

start
finish return

start
finish close
echo "main window: ok"
