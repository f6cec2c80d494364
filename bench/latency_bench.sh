#!/usr/bin/env bash
# Latency benchmark: the time from a camera frame's capture to its showing on
# screen, with the virtual 1080p Motion-JPEG camera of latency.ini, whose
# frame nearest each multiple of KINOVO_SYNC_PERIOD_MS (517 ms here) on
# CLOCK_MONOTONIC is all white. Rows:
#   kinovo, X11        the program on the desktop (window 1566x894 at
#                      (207,123), its picture 15 px inside)
#   ffplay -f v4l2     the same camera, shown at the same place and size
#   kinovo, Wayland    on the Wayland desktop of with-services.sh when it
#                      exports KINOVO_WAYLAND_DISPLAY (the socket) and
#                      KINOVO_WAYLAND_XDISPLAY (the X display showing that
#                      compositor's output); skipped when it does not
#   ffplay, Wayland    ffplay through SDL's Wayland driver on that desktop
# Each row is one run of kinovo-latency: it reads one pixel of the picture's
# yellow colour bar every millisecond (on Wayland it finds the bar on the
# screen first) and takes each instant the pixel turns white minus the
# nearest flash event. Prints mean, min and max per row. The flash frame's
# timestamp lies within half a frame (±16.7 ms) of its event, so single
# values spread by up to a frame around the latency; the mean over many
# flashes is not biased by it. The "from the frame" columns take that offset
# out (the stream's frame phase fitted to the flashes).
#   bench/latency_bench.sh [BUILD_DIR]     (default: build)
# BUILD_DIR must hold the program, the virtual camera and the probe:
#   cmake --build build --target kinovo kinovo_vcam kinovo-latency
# Starts its own displays and services when DISPLAY is not set; the desktop
# must be 1920x1080. BENCH_FLASHES sets the flashes of each row (default 50).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
flashes=${BENCH_FLASHES:-50}
export KINOVO_SYNC_PERIOD_MS=517

if [ -z "${DISPLAY:-}" ]; then
  exec "$repo/scripts/with-services.sh" "$0" "$build"
fi

. "$here/lib.sh"
kinovo=$build/app/kinovo
vcam=$build/vcam/libkinovo-vcam.so
probe=$build/bench/kinovo-latency
need_built "kinovo kinovo_vcam kinovo-latency" "$kinovo" "$vcam" "$probe"
need_ffplay_and_screen

work=$(mktemp -d /tmp/kinovo-latency.XXXXXX)
trap 'rm -rf "$work"' EXIT
camera=(env "LD_PRELOAD=$vcam" "KINOVO_VCAM_PROFILE=$here/latency.ini")
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# kinovo's picture: the window's inner area, 15 px in: 1536x864 at (222,138);
# the pixel is in the yellow bar, above the moving white block.
at=$((222 + 1536 * 3 / 16)),$((138 + 864 / 5))

# measure NAME X_DISPLAY PROBE_OPTION COMMAND...: the probe's line in NAME.out
measure() {
  local name=$1 xdisplay=$2 where=$3
  shift 3
  echo "measuring $name ($flashes flashes, about $((flashes * 517 / 1000 + 8)) s) ..." >&2
  # The pointer in the bottom right corner, off the window, so that its
  # buttons stay hidden.
  local size
  size=$(DISPLAY=$xdisplay xdotool getdisplaygeometry 2>/dev/null) || size="1920 1080"
  DISPLAY=$xdisplay xdotool mousemove $((${size% *} - 1)) $((${size#* } - 1)) 2>/dev/null || true
  DISPLAY=$xdisplay "$probe" $where --flashes "$flashes" \
    -- "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || true
  [ -s "$work/$name.out" ] || echo "$name: no result" >&2
}

measure kinovo-x11 "$DISPLAY" "--at $at" \
  env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "${camera[@]}" "$kinovo"
measure ffplay "$DISPLAY" "--at $at" "${camera[@]}" "${ffplay_at_picture[@]}"
wayland=""
if [ -n "${KINOVO_WAYLAND_DISPLAY:-}" ] && [ -n "${KINOVO_WAYLAND_XDISPLAY:-}" ]; then
  wayland=1
  measure kinovo-wayland "$KINOVO_WAYLAND_XDISPLAY" --find \
    env -u DISPLAY "WAYLAND_DISPLAY=$KINOVO_WAYLAND_DISPLAY" QT_QPA_PLATFORM=wayland \
    XDG_SESSION_TYPE=wayland "${camera[@]}" "$kinovo"
  # The peer on the same compositor: what weston itself adds shows in both.
  measure ffplay-wayland "$KINOVO_WAYLAND_XDISPLAY" --find \
    env -u DISPLAY "WAYLAND_DISPLAY=$KINOVO_WAYLAND_DISPLAY" SDL_VIDEODRIVER=wayland "${camera[@]}" \
    "${ffplay_at_picture[@]}"
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# field NAME KEY: a value of the probe's line, - when there is none
field() {
  local v
  v=$(tr ' ' '\n' <"$work/$1.out" 2>/dev/null | sed -n "s/^$2=//p")
  echo "${v:--}"
}
row() {
  local name=$1 label=$2 target=$3
  if [ ! -s "$work/$name.out" ]; then
    printf '| %s | no result: %s |||||||\n' "$label" \
      "$(grep kinovo-latency "$work/$name.err" | tail -n 1 | sed 's/^kinovo-latency: //')"
    return
  fi
  local mean verdict=-
  mean=$(field "$name" mean_ms)
  [ -n "$target" ] && verdict=$(awk -v m="$mean" -v t="$target" 'BEGIN{print (m <= t) ? "yes" : "NO"}')
  printf '| %s | %s (%s) | %s | %s / %s | %s | %s / %s | %s | %s |\n' "$label" \
    "$(field "$name" flashes)" "$(field "$name" missed)" "$mean" \
    "$(field "$name" min_ms)" "$(field "$name" max_ms)" "$(field "$name" fit_mean_ms)" \
    "$(field "$name" fit_min_ms)" "$(field "$name" fit_max_ms)" \
    "$(field "$name" late_polls) ($(field "$name" longest_gap_ms))" "$verdict"
}

printf '\nFrom capture to screen, ms (virtual camera MJPG 1920x1080 30 fps, a flash every 517 ms;\n'
printf 'load average %s before, %s after)\n\n' "$load_before" "$load_after"
printf '| Program | Flashes (missed) | Mean | Min / max | From the frame: mean | min / max | Polls late > 2.5 ms (longest gap) | Mean <= 10 ms |\n'
printf '|---|---|---|---|---|---|---|---|\n'
row kinovo-x11 "kinovo, X11" 10
row ffplay "ffplay -f v4l2, X11" ""
if [ -n "$wayland" ]; then
  row kinovo-wayland "kinovo, Wayland" 10
  row ffplay-wayland "ffplay -f v4l2, Wayland" ""
else
  printf '| kinovo, Wayland | skipped: no KINOVO_WAYLAND_DISPLAY and KINOVO_WAYLAND_XDISPLAY |||||||\n'
fi
printf '\nEach flash frame'"'"'s timestamp lies within half a frame (16.7 ms) of its event, so\n'
printf 'single values spread by up to a frame around the latency; the mean is not biased by it.\n'
printf '"From the frame" takes that offset out, with the frame phase fitted to the flashes.\n'
for name in kinovo-x11 ffplay kinovo-wayland ffplay-wayland; do
  if [ -s "$work/$name.err" ]; then
    echo "($name said:)" >&2
    sort "$work/$name.err" | uniq -c | sort -rn | head -n 5 >&2
  fi
done
