#!/usr/bin/env bash
# Capture benchmark: 1080p30 Motion-JPEG from the virtual camera, one after
# the other in one run:
#   kinovo    kinovo-probe record: preview in a 1536x864 window and recording
#   ffmpeg -c copy            ffmpeg recording the same stream into AVI
#   ffmpeg scale 1536x864     ffmpeg decoding and scaling it (no output)
# and prints a table: processor seconds per second of the process (user +
# system over wall time), frames expected, captured and written, and peak
# memory.
#   bench/capture_bench.sh [BUILD_DIR]     (default: build)
# BUILD_DIR must hold kinovo-probe, kinovo-measure and the virtual camera:
#   cmake --build build --target kinovo-probe kinovo-measure kinovo_vcam
# Starts its own display and sound server when DISPLAY is not set.
# BENCH_SECONDS changes the length of each run (default 60).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
seconds=${BENCH_SECONDS:-60}

if [ -z "${DISPLAY:-}" ]; then
  exec "$repo/scripts/with-services.sh" "$0" "$build"
fi

probe=$build/tools/probe/kinovo-probe
measure=$build/bench/kinovo-measure
vcam=$build/vcam/libkinovo-vcam.so
for f in "$probe" "$measure" "$vcam"; do
  if [ ! -e "$f" ]; then
    echo "missing $f: cmake --build $build --target kinovo-probe kinovo-measure kinovo_vcam" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/kinovo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Every process opens its own virtual camera.
export LD_PRELOAD=$vcam KINOVO_VCAM_PROFILE=$here/bench.ini

# run NAME COMMAND...: the command's output in NAME.out/NAME.err, its cost
# in NAME.cost.
run() {
  local name=$1
  shift
  echo "running $name for ${seconds} s ..." >&2
  "$measure" "$@" >"$work/$name.out" 2>"$work/$name.err" || true
  tail -n 1 "$work/$name.err" >"$work/$name.cost"
}
cost() { sed -n "s/.*\b$2=\([0-9.]*\).*/\1/p" "$work/$1.cost"; }
json() { sed -n "s/.*\"$2\": \([0-9.]*\).*/\1/p" "$work/$1.out" | head -n 1; }
# The last frame count ffmpeg's progress line gave, and its drops.
# (ffmpeg names drops only once there are any.)
ffstat() {
  local n
  n=$(tr '\r' '\n' <"$work/$1.err" | sed -n "s/.*\b$2= *\([0-9]*\).*/\1/p" | tail -n 1)
  echo "${n:-0}"
}
packets() {
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1" 2>/dev/null || echo "?"
}
cpu() { printf '%.2f' "$(echo "scale=4; ($(cost "$1" user) + $(cost "$1" sys)) / $(cost "$1" wall)" | bc)"; }
mib() { echo "$(( $(cost "$1" maxrss_kb) / 1024 ))"; }

ffin=(-hide_banner -nostdin -f v4l2 -input_format mjpeg -video_size 1920x1080 -framerate 30
  -i /dev/video0 -t "$seconds")

run kinovo "$probe" record --camera 0 --format 0 --fps 30 --seconds "$seconds" \
  --window 1536x864 --out "$work/kinovo.avi"
run copy ffmpeg "${ffin[@]}" -c copy "$work/ffmpeg.avi"
run scale ffmpeg "${ffin[@]}" -vf scale=1536:864 -f null -

expected=$((seconds * 30))
{
  printf '| Run | CPU s/s | Frames expected | Captured | Written | Preview shown / dropped | Peak memory (MiB) |\n'
  printf '|---|---|---|---|---|---|---|\n'
  printf '| kinovo: preview 1536x864 + record | %s | %s | %s | %s (+%s empty; %s in file) | %s / %s | %s |\n' \
    "$(cpu kinovo)" "$(json kinovo framesExpected)" "$(json kinovo framesCaptured)" \
    "$(json kinovo framesWritten)" "$(json kinovo emptyFramesInserted)" "$(packets "$work/kinovo.avi")" \
    "$(json kinovo previewFramesShown)" "$(json kinovo previewFramesDropped)" "$(mib kinovo)"
  printf '| ffmpeg -c copy (record only) | %s | %s | %s (drop %s) | %s in file | - | %s |\n' \
    "$(cpu copy)" "$expected" "$(ffstat copy frame)" "$(ffstat copy drop)" \
    "$(packets "$work/ffmpeg.avi")" "$(mib copy)"
  printf '| ffmpeg decode + scale 1536x864 (no output) | %s | %s | %s (drop %s) | - | - | %s |\n' \
    "$(cpu scale)" "$expected" "$(ffstat scale frame)" "$(ffstat scale drop)" "$(mib scale)"
}
for name in kinovo copy scale; do
  status=$(cost "$name" status)
  [ "$status" = 0 ] || echo "warning: $name exited with status $status (see below)" >&2
  [ "$status" = 0 ] || tail -n 5 "$work/$name.err" >&2
done
