# Helpers for driving kinovo-gallery under X; builds on the real-window
# helpers of tests/ui.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../ui/lib.sh"

# A gallery left running by a failed check would stand in the next test's way.
trap '[ -n "${pid:-}" ] && kill "$pid" 2>/dev/null' EXIT

# open PANEL [ARGS...]: starts the gallery showing PANEL, waits for its
# window and its fade-in; sets pid, wid, x, y, w, h. Output goes to
# $out/PANEL.out.
open_panel() {
  local name=$1
  "$gallery" "$@" >"$out/$name.out" 2>"$out/$name.err" &
  pid=$!
  wid=$(wait_window kinovo-gallery) || { cat "$out/$name.err" >&2; fail "$name: no window"; }
  read -r x y w h < <(geometry "$wid")
  settle $((x + w / 2)) $((y + 8))
}

# Waits until the screen pixel (x, y) keeps its colour for three looks:
# the fade-in (about 130 ms) and any repaint are over.
settle() {
  local prev="" cur="" same=0
  for _ in $(seq 80); do
    cur=$(pixel "$1" "$2")
    if [ "$cur" = "$prev" ]; then same=$((same + 1)); else same=0; fi
    [ "$same" -ge 2 ] && return 0
    prev=$cur
    sleep 0.04
  done
}

# Moves the pointer to panel coordinates (px, py) and lets the panel repaint.
point_at() {
  xdotool mousemove $((x + $1)) $((y + $2))
  sleep 0.25
}

# The colour of panel pixel (px, py).
at() { pixel $((x + $1)) $((y + $2)); }

# shot NAME: a screenshot of the panel and its surroundings, $out/NAME.png.
shot() {
  import -silent -window root -crop $((w + 40))x$((h + 40))+$((x - 20))+$((y - 20)) +repage "$out/$1.png"
}

# "left right" of the panels' blue text in panel rectangle (px, py, pw, ph),
# in panel coordinates; "-1 -1" when there is none.
ink_span() {
  import -silent -window root -crop "$3x$4+$((x + $1))+$((y + $2))" +repage -depth 8 txt:- 2>/dev/null |
    awk -v ox="$1" -F'[:(), ]+' 'NR > 1 { if ($5 - $3 > 60) { px = $1 + ox; if (l == "" || px < l) l = px; if (px > r) r = px } }
      END { if (l == "") print -1, -1; else print l, r }'
}

# A colour is the light grey of a highlighted row (0xE9E9E9).
is_highlight() { near "$1" "233,233,233" 3; }
# A colour is the knob's light face.
is_knob() { local IFS=,; read -r r g b <<<"$1"; [ "$r" -ge 216 ] && [ "$g" -ge 216 ] && [ "$b" -ge 216 ]; }
# A colour is the filled, blue part of a slider.
is_blue() { local IFS=,; read -r r g b <<<"$1"; [ $((b - r)) -gt 60 ]; }

# Waits for the gallery to end by itself and checks its exit code.
expect_exit() {
  wait_exit "$pid" "${1:-5}" || { kill -9 "$pid"; fail "the gallery did not end"; }
  [ "$exit_code" = 0 ] || { cat "$out"/*.err >&2; fail "gallery exit code $exit_code"; }
}

escape() { xdotool windowfocus --sync "$wid" key Escape; }
