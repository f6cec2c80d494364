# Helpers for tests that drive the real program as a Wayland client of the
# weston desktop that scripts/with-services.sh starts. Weston places the
# window itself and tells no one where: the window is found on the screen by
# its pixels. xdotool and import work on weston's X display, whose screen
# coordinates are weston's, so the helpers of lib.sh work unchanged.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The known desktop colour of every test desktop.
desktop_colour='#305080' desktop_rgb=48,80,128

# The Wayland desktop, with DISPLAY set to weston's X display; without
# weston installed the test is skipped (77), otherwise a missing desktop
# fails it.
use_wayland_desktop() {
  if ! command -v weston >/dev/null; then
    echo "SKIP: weston is not installed (scripts/deps.sh --test)" >&2
    exit 77
  fi
  if [ -z "${KINOVO_WAYLAND_DISPLAY:-}" ] || [ -z "${KINOVO_WAYLAND_XDISPLAY:-}" ]; then
    echo "FAIL: no Wayland desktop: KINOVO_WAYLAND_DISPLAY and KINOVO_WAYLAND_XDISPLAY are unset" \
      "(run inside scripts/with-services.sh; its output says why weston did not start)" >&2
    exit 1
  fi
  export DISPLAY=$KINOVO_WAYLAND_XDISPLAY
  [ -S "${XDG_RUNTIME_DIR:-}/$KINOVO_WAYLAND_DISPLAY" ] ||
    fail "no Wayland socket $XDG_RUNTIME_DIR/$KINOVO_WAYLAND_DISPLAY"
}

# Moves the pointer out of the way: weston draws the cursor into the
# screen, and the bottom right corner is left out when looking for windows.
park_pointer() { xdotool mousemove 1919 1079; }

# "x y w h" of everything in screenshot $1 that is not the desktop colour,
# leaving out the parked pointer's corner; nothing when there is nothing.
screen_box() {
  convert "$1" -fill "$desktop_colour" -draw 'rectangle 1880,1040 1919,1079' \
    -fill white -fuzz 0 +opaque "$desktop_colour" -fill black -opaque "$desktop_colour" \
    -trim -format '%X %Y %w %h\n' info: 2>/dev/null |
    awk '{ gsub(/\+/, ""); if ($3 > 1 && $4 > 1) print $1, $2, $3, $4 }'
}

# Sets x y w h to the bounding box of what is on the desktop (the program's
# window, alone there), the pointer parked first; waits up to $1 s (5) for
# the same box twice in a row, so that a window still moving or growing is
# not taken. Keeps the screenshot as $out/found.png.
find_window() {
  local limit=${1:-5} box last="" start=$SECONDS
  park_pointer
  while :; do
    import -silent -window root "$out/found.png" 2>/dev/null
    box=$(screen_box "$out/found.png")
    if [ -n "$box" ] && [ "$box" = "$last" ]; then
      read -r x y w h <<<"$box"
      # The skin's top row is fully transparent: the window begins a row
      # above what shows of it.
      y=$((y - 1)) h=$((h + 1))
      return 0
    fi
    last=$box
    [ $((SECONDS - start)) -ge "$limit" ] && return 1
    sleep 0.2
  done
}

# Starts the program ($bin) as a pure Wayland client with the virtual
# cameras ($vcam) of a profile, waits for its window on the screen and its
# first frame; sets pid and x y w h.
start_wayland_program() { # profile
  park_pointer
  env -u DISPLAY WAYLAND_DISPLAY="$KINOVO_WAYLAND_DISPLAY" QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland \
    LD_PRELOAD="$vcam" KINOVO_VCAM_PROFILE="$1" KINOVO_VCAM_LOG="$out/vcam.log" ASAN_OPTIONS=verify_asan_link_order=0 \
    "$bin" >>"$out/kinovo.log" 2>&1 &
  pid=$!
  local start=$SECONDS
  until [ -n "$(screen_box_now)" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      fail "the program ended at start with exit code $? (log: $(tail -3 "$out/kinovo.log" | tr '\n' ' '))"
    fi
    [ $((SECONDS - start)) -ge 20 ] && fail "no window on the Wayland desktop within 20 s"
    sleep 0.2
  done
  # The first frame and the fade-in.
  sleep 1.5
  find_window 10 || fail "the window did not settle on the Wayland desktop"
}
screen_box_now() {
  import -silent -window root "$out/found.png" 2>/dev/null
  screen_box "$out/found.png"
}
