#!/usr/bin/env bash
# Each panel on its own in a real window, opened by kinovo-gallery as the
# main window opens it: placement and size, what it draws, hover and clicks.
#   panels.sh GALLERY OUTDIR
here=$(cd "$(dirname "$0")" && pwd)
gallery=$1 out=$2
. "$here/gallery_lib.sh"
mkdir -p "$out"

# ---- list3: three items without icons, the first selected
open_panel list3
[ "$x $y $w $h" = "100 100 280 156" ] || fail "list3 at $x,$y ${w}x$h"
shot list3
is_highlight "$(at 255 26)" || fail "selected row 0 not highlighted: $(at 255 26)"
is_highlight "$(at 255 66)" && fail "row 1 highlighted without reason"
read -r l r < <(ink_span 8 56 260 20)
[ "$l" -ge 16 ] && [ "$l" -le 19 ] || fail "list3: text column starts at $l, not 16"
point_at 100 106
is_highlight "$(at 255 106)" || fail "hovered row 2 not highlighted"
is_highlight "$(at 255 26)" || fail "the selection lost its highlight on hover"
shot list3-hover
point_at 150 140
is_highlight "$(at 255 106)" && fail "row 2 still highlighted after leaving it"
is_highlight "$(at 255 140)" && fail "the strip below the items reacts left of x 213"
point_at 230 140
is_highlight "$(at 255 140)" || fail "the strip below the last item is not highlighted at x 230"
xdotool click 1
sleep 0.3
kill -0 "$pid" 2>/dev/null || fail "a click on the strip closed the panel"
point_at 100 66
xdotool click 1
expect_exit
grep -qx "selected 1" "$out/list3.out" || fail "list3 ended with '$(cat "$out/list3.out")'"

# ---- list-icons: the microphone list, the first microphone selected
open_panel list-icons
[ "$w $h" = "280 156" ] || fail "list-icons ${w}x$h"
shot list-icons
is_highlight "$(at 255 66)" || fail "selected row 1 not highlighted"
for row in 0 2; do
  read -r l r < <(ink_span 49 $((16 + 40 * row)) 220 20)
  [ "$l" -ge 56 ] && [ "$l" -le 59 ] || fail "list-icons: row $row text starts at $l, not 56"
done
near "$(at 32 26)" "$(at 32 36)" 3 && near "$(at 22 18)" "$(at 40 34)" 3 && fail "no icon in row 0"
point_at 100 66
xdotool click 1 # the selected row: nothing happens
sleep 0.3
kill -0 "$pid" 2>/dev/null || fail "a click on the selected row closed the panel"
escape
expect_exit
grep -qx "selected 1" "$out/list-icons.out" || fail "list-icons ended with '$(cat "$out/list-icons.out")'"

# ---- list-long: a text far longer than its row
open_panel list-long
[ "$w $h" = "280 116" ] || fail "list-long ${w}x$h"
shot list-long
read -r l r < <(ink_span 8 16 272 20)
[ "$r" -le 266 ] && [ "$r" -ge 240 ] || fail "the long text ends at $r (expected an ellipsis before 267)"
point_at 100 26
xdotool click 1
expect_exit
grep -qx "selected 0" "$out/list-long.out" || fail "list-long ended with '$(cat "$out/list-long.out")'"

# ---- settings6: a made-up camera with all six controls
open_panel settings6
[ "$x $y $w $h" = "100 100 280 314" ] || fail "settings6 at $x,$y ${w}x$h"
shot settings6
read -r l r < <(ink_span 50 29 210 20)
[ "$l" -ge 56 ] && [ "$l" -le 59 ] || fail "settings6: caption starts at $l, not 56"
point_at 150 39
shot settings6-hover
is_highlight "$(at 200 22)" || fail "hovered setting row not highlighted"
is_knob "$(at 155 38)" || fail "brightness 0 of -64..64: knob not in the middle ($(at 155 38))"
point_at 53 39
xdotool click 1
sleep 0.25
is_knob "$(at 62 38)" || fail "knob not at the minimum ($(at 62 38))"
is_knob "$(at 155 38)" && fail "knob still in the middle"
shot settings6-min
point_at 255 39
xdotool click 1
sleep 0.25
is_knob "$(at 250 38)" || fail "knob not at the maximum ($(at 250 38))"
is_blue "$(at 150 38)" || fail "the track is not filled up to the knob ($(at 150 38))"
shot settings6-max
point_at 230 279
is_highlight "$(at 228 279)" || fail "reset button not highlighted"
escape
expect_exit
grep -qx "Brightness 64" "$out/settings6.out" || fail "settings6 ended with '$(cat "$out/settings6.out")'"

# ---- settings4: without contrast and gamma; the reset button
open_panel settings4
[ "$w $h" = "280 234" ] || fail "settings4 ${w}x$h"
shot settings4
point_at 100 79 # saturation, the second row
xdotool mousedown 1 mousemove $((x + 200)) $((y + 79)) sleep 0.1 mousemove $((x + 262)) $((y + 79)) sleep 0.2 mouseup 1
sleep 0.25
is_knob "$(at 250 78)" || fail "dragged saturation knob not at the maximum"
point_at 230 199
xdotool click 1 # reset
sleep 0.25
kill -0 "$pid" 2>/dev/null || fail "reset closed the panel"
escape
expect_exit
grep -qx "Saturation 64" "$out/settings4.out" || fail "reset did not restore saturation: '$(cat "$out/settings4.out")'"
grep -q "Contrast\|Gamma" "$out/settings4.out" && fail "settings4 has contrast or gamma"

# ---- settings0: no camera record, only the reset button
open_panel settings0
[ "$w $h" = "280 114" ] || fail "settings0 ${w}x$h"
point_at 230 40
is_highlight "$(at 228 40)" || fail "reset button not highlighted"
shot settings0
xdotool click 1
sleep 0.2
escape
expect_exit
[ -s "$out/settings0.out" ] && fail "settings0 printed controls"

# ---- about: description, version, link, "Ok"
bin="$out/bin"
mkdir -p "$bin"
printf '#!/bin/sh\necho "$1" >>"%s"\n' "$out/opened-urls" >"$bin/xdg-open"
chmod +x "$bin/xdg-open"
rm -f "$out/opened-urls"
PATH="$bin:$PATH" open_panel about
[ "$x $y $w $h" = "100 100 420 320" ] || fail "about at $x,$y ${w}x$h"
shot about
read -r l r < <(ink_span 10 222 390 16)
[ "$l" -ge 15 ] && [ "$l" -le 18 ] || fail "the link starts at $l, not 15"
read -r l r < <(ink_span 20 110 370 20)
[ "$r" -le 385 ] && [ "$r" -ge 370 ] || fail "the version is not right-aligned at 385 (ends at $r)"
plain=$(at 300 244)
point_at 200 280
shot about-ok-hover
near "$(at 300 244)" "$plain" 4 && fail "no highlight under Ok"
point_at 200 200
near "$(at 300 244)" "$plain" 2 || fail "the Ok highlight stayed after leaving"
point_at 60 228
xdotool click 1
for _ in $(seq 40); do [ -s "$out/opened-urls" ] && break; sleep 0.1; done
[ "$(cat "$out/opened-urls" 2>/dev/null)" = "https://kinovo.app/" ] || fail "the link opened '$(cat "$out/opened-urls" 2>/dev/null)'"
kill -0 "$pid" 2>/dev/null || fail "the link closed the panel"
point_at 200 280
xdotool click 1
expect_exit
grep -qx "closed" "$out/about.out" || fail "about ended with '$(cat "$out/about.out")'"
echo "panels: ok"
