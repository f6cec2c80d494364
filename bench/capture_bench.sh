#!/usr/bin/env bash
# Capture benchmark: 1080p30 Motion-JPEG from two virtual cameras, the test
# card (/dev/video0: flat colours, ~100 KB frames) and a realistic scene
# (/dev/video1: texture and sensor noise, ~340 KB frames), each run one after
# the other in one go:
#   kinovo preview+record   kinovo-probe record, preview in a 1536x864 window
#   ffmpeg decode+scale     ffmpeg decoding and scaling to 1536x864 (no output)
#   kinovo record only      kinovo-probe record with its window minimised
#   ffmpeg -c copy          ffmpeg recording the same stream into AVI
#   kinovo 192x108          (test card only) preview in a 192x108 window + record
# and a 4K camera (/dev/video2: the scene at 3840x2160, ~1 MB frames, its
# frames encoded before it streams) previewed in 1536x864 and recorded,
# beside ffmpeg decoding and scaling it (targets: no frame lost, the preview
# at 29 fps or more, peak memory under 150 MB).
# It prints a table: processor seconds per second of the process (user +
# system over wall time, from getrusage of the child: meaningful on a busy
# machine too, as long as no frame is lost), frames expected, captured and
# written, frames the preview decoded, and peak memory; then Kinovo's cost
# as a ratio of ffmpeg's with the targets (preview + record at most 0.6 x
# ffmpeg's decode + scale, record only at most 1.5 x ffmpeg -c copy, peak
# memory under 150 MB).
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
# Every process opens its own virtual cameras.
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
cpuv() { echo "scale=4; ($(cost "$1" user) + $(cost "$1" sys)) / $(cost "$1" wall)" | bc; }
cpu() { printf '%.3f' "$(cpuv "$1")"; }
mib() { echo "$(( $(cost "$1" maxrss_kb) / 1024 ))"; }
ratio() { printf '%.2f' "$(echo "scale=4; $(cpuv "$1") / $(cpuv "$2")" | bc)"; }
verdict() { [ "$(echo "$1 <= $2" | bc)" = 1 ] && echo met || echo "NOT met"; }

# kinovo NAME CAMERA WINDOW PREVIEW
kinovo() {
  run "$1" "$probe" record --camera "$2" --format 0 --fps 30 --seconds "$seconds" \
    --window "$3" --preview "$4" --out "$work/$1.avi"
}
# ffmpeg_runs CAMERA [SIZE]: decode + scale, and (for 1080p) copy
ffmpeg_runs() {
  local ffin=(-hide_banner -nostdin -f v4l2 -input_format mjpeg -video_size "${2:-1920x1080}" -framerate 30
    -i "/dev/video$1" -t "$seconds")
  run "scale$1" ffmpeg "${ffin[@]}" -vf scale=1536:864 -f null -
  [ -n "${2:-}" ] || run "copy$1" ffmpeg "${ffin[@]}" -c copy "$work/copy$1.avi"
}

for camera in 0 1; do
  kinovo "preview$camera" "$camera" 1536x864 shown
  kinovo "record$camera" "$camera" 1536x864 minimized
  ffmpeg_runs "$camera"
done
kinovo small0 0 192x108 shown
kinovo preview2 2 1536x864 shown
ffmpeg_runs 2 3840x2160
# The virtual camera lives in the process it serves (its ring of frames, its
# buffers), where a real camera's memory is the kernel's: a plain reader of
# the same stream shows how much of a peak is the camera's own.
run camera2 v4l2-ctl -d /dev/video2 --stream-mmap --stream-count="$((seconds * 30))" --stream-to=/dev/null

expected=$((seconds * 30))
kinovo_row() {
  printf '| %s | %s | %s | %s | %s | %s (+%s empty; %s in file) | %s / %s | %s |\n' "$1" "$2" "$(cpu "$3")" \
    "$(json "$3" framesExpected)" "$(json "$3" framesCaptured)" "$(json "$3" framesWritten)" \
    "$(json "$3" emptyFramesInserted)" "$(packets "$work/$3.avi")" \
    "$(json "$3" previewFramesShown)" "$(json "$3" previewFramesDropped)" "$(mib "$3")"
}
ffmpeg_row() {
  local file=-
  [ -e "$work/$3.avi" ] && file="$(packets "$work/$3.avi") in file"
  printf '| %s | %s | %s | %s | %s (drop %s) | %s | - | %s |\n' "$1" "$2" "$(cpu "$3")" "$expected" \
    "$(ffstat "$3" frame)" "$(ffstat "$3" drop)" "$file" "$(mib "$3")"
}
names=("test card" "realistic scene")
{
  printf '| Camera | Run | CPU s/s | Frames expected | Captured | Written | Preview decoded / dropped | Peak memory (MiB) |\n'
  printf '|---|---|---|---|---|---|---|---|\n'
  for camera in 0 1; do
    n=${names[$camera]}
    kinovo_row "$n" "kinovo: preview 1536x864 + record" "preview$camera"
    ffmpeg_row "$n" "ffmpeg: decode + scale 1536x864" "scale$camera"
    kinovo_row "$n" "kinovo: record only (preview minimised)" "record$camera"
    ffmpeg_row "$n" "ffmpeg: -c copy" "copy$camera"
  done
  kinovo_row "${names[0]}" "kinovo: preview 192x108 + record" small0
  kinovo_row "4K scene" "kinovo: preview 1536x864 + record" preview2
  ffmpeg_row "4K scene" "ffmpeg: decode + scale 1536x864" scale2
  printf '\n| Camera | Preview + record / ffmpeg decode + scale (target <= 0.6) | Record only / ffmpeg -c copy (target <= 1.5) | Peak memory, largest kinovo run (target < 150 MB) |\n'
  printf '|---|---|---|---|\n'
  for camera in 0 1; do
    p=$(ratio "preview$camera" "scale$camera")
    r=$(ratio "record$camera" "copy$camera")
    m=$(( $(mib "preview$camera") > $(mib "record$camera") ? $(mib "preview$camera") : $(mib "record$camera") ))
    printf '| %s | %s (%s) | %s (%s) | %s MiB (%s) |\n' "${names[$camera]}" "$p" "$(verdict "$p" 0.6)" \
      "$r" "$(verdict "$r" 1.5)" "$m" "$(verdict "$m" 143)"
  done
}
{
  # Gaps in the camera's frame numbers, and frames the file's queue refused.
  lost=$(( $(json preview2 cameraFramesMissed) + $(json preview2 framesRefused) ))
  fps=$(printf '%.1f' "$(echo "scale=3; $(json preview2 previewFramesShown) / $(json preview2 seconds)" | bc)")
  own=$(( $(mib preview2) - $(mib camera2) ))
  printf '\n| 4K camera | Frames lost (target 0) | Preview fps (target >= 29) | Peak memory: whole process, virtual camera alone, Kinovo (target < 150 MB) | CPU / ffmpeg decode + scale |\n'
  printf '|---|---|---|---|---|\n'
  printf '| 4K scene | %s (%s) | %s (%s) | %s MiB - %s MiB = %s MiB (%s) | %s |\n' "$lost" "$(verdict "$lost" 0)" "$fps" \
    "$([ "$(echo "$fps >= 29" | bc)" = 1 ] && echo met || echo "NOT met")" "$(mib preview2)" "$(mib camera2)" \
    "$own" "$(verdict "$own" 143)" "$(ratio preview2 scale2)"
}
for camera in 0 1; do
  grep -q '"previewMinimized": true' "$work/record$camera.out" ||
    echo "warning: the window of record$camera was not minimised" >&2
done
for name in preview0 record0 scale0 copy0 preview1 record1 scale1 copy1 small0 preview2 scale2 camera2; do
  status=$(cost "$name" status)
  [ "$status" = 0 ] || echo "warning: $name exited with status $status (see below)" >&2
  [ "$status" = 0 ] || tail -n 5 "$work/$name.err" >&2
done
