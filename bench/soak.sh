#!/usr/bin/env bash
# Soak run (not part of the tests): one long recording of 1080p30 Motion-JPEG
# from the virtual camera (bench/bench.ini) with the test microphone, through
# `kinovo-probe record` with its window. Every 10 s the recorder
# prints its resident memory and the graph's counters; at the end this
# reports lost frames, inserted and dropped sound samples, the difference
# between the sound's and the picture's length in the file (ffprobe), and
# the memory curve.
#   bench/soak.sh [BUILD_DIR]         (default: build)
# SOAK_SECONDS sets the length (default 3600), SOAK_OUT the folder for the
# samples (samples.jsonl, rss.csv), the log and the report (report.md;
# default folder /tmp/kinovo-soak-<time>); the
# recording itself is deleted at the end unless SOAK_KEEP=1.
# BUILD_DIR must hold kinovo-probe and the virtual camera:
#   cmake --build build --target kinovo-probe kinovo_vcam
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
seconds=${SOAK_SECONDS:-3600}
out=${SOAK_OUT:-/tmp/kinovo-soak-$(date +%Y%m%d-%H%M%S)}

# It needs the private display and sound server with the test microphone.
if [ -z "${KINOVO_SERVICES_DIR:-}" ]; then
  SOAK_OUT=$out exec "$repo/scripts/with-services.sh" "$0" "$build"
fi

probe=$build/tools/probe/kinovo-probe
vcam=$build/vcam/libkinovo-vcam.so
for f in "$probe" "$vcam"; do
  [ -e "$f" ] || { echo "missing $f: cmake --build $build --target kinovo-probe kinovo_vcam" >&2; exit 1; }
done
mkdir -p "$out"
avi=$out/soak.avi
# The build measured: the checkout's commit when the run starts.
rev=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')
started=$(date -u '+%Y-%m-%d %H:%M UTC')
echo "soak: ${seconds} s of 1080p30 MJPEG with sound into $avi; samples in $out/samples.jsonl" >&2

LD_PRELOAD=$vcam KINOVO_VCAM_PROFILE=$here/bench.ini \
  "$probe" record --camera 0 --format 0 --fps 30 --mic 0 --seconds "$seconds" --sample 10 \
  --out "$avi" >"$out/result.json" 2>"$out/probe.log" || echo "warning: kinovo-probe exited with $?" >&2
grep '^{"' "$out/probe.log" >"$out/samples.jsonl" || true
# The memory curve, one line per sample: seconds, MiB.
sed -n 's/.*"rssKiB":\([0-9]*\).*"t":\([0-9.]*\).*/\2 \1/p' "$out/samples.jsonl" \
  | awk '{ printf "%.0f,%.1f\n", $1, $2 / 1024 }' >"$out/rss.csv"

# field NAME [FILE]: a number from a JSON object on one line or several.
field() { sed -n "s/.*\"$1\": *\(-\?[0-9.e+-]*\).*/\1/p" "${2:-$out/result.json}" | head -n 1; }
sample() { sed -n "s/.*\"$1\":\(-\?[0-9.e+-]*\).*/\1/p"; }

# The file, read by ffprobe in one pass: the video packets, and where each
# stream's last packet ends.
read -r packets vend aend < <(ffprobe -v error -show_entries packet=stream_index,pts_time,duration_time \
  -of csv=p=0 "$avi" 2>/dev/null | awk -F, '
    $1 == 0 { n++; v = $2 + $3 } $1 == 1 { a = $2 + $3 }
    END { printf "%d %.3f %.3f\n", n, v, a }')
size=$(stat -c %s "$avi" 2>/dev/null || echo 0)
[ "${SOAK_KEEP:-0}" = 1 ] || rm -f "$avi"

rate=48000
{
  echo "Soak run: $(field seconds) s from $started, build of $rev"
  echo
  echo "| Figure | Value |"
  echo "|---|---|"
  echo "| frames expected / captured / written (empty inserted) | $(field framesExpected) / $(field framesCaptured) / $(field framesWritten) ($(field emptyFramesInserted)) |"
  echo "| frames lost (camera gaps / writer queue full) | $(field cameraFramesMissed) / $(field framesRefused) |"
  echo "| preview frames shown / dropped | $(field previewFramesShown) / $(field previewFramesDropped) |"
  echo "| sound samples written / inserted / dropped | $(field audioSamplesWritten) / $(field audioSamplesInserted) / $(field audioSamplesDropped) |"
  # Each lost frame's slot is held by an empty frame, so the picture's length
  # counts both.
  echo "| counters: sound − picture at the end | $(echo "scale=1; ($(field audioSamplesWritten) / $rate - ($(field framesWritten) + $(field emptyFramesInserted)) / 30) * 1000 / 1" | bc) ms |"
  echo "| file (ffprobe): video packets, end of sound − end of picture | $packets, $(echo "scale=1; ($aend - $vend) * 1000 / 1" | bc) ms |"
  echo "| file size | $((size / 1048576)) MiB |"
  echo
  echo "Resident memory (MiB) by minute:"
  echo
  line="|"
  head="|"
  sep="|"
  for m in 1 2 5 10 15 20 30 40 50 60; do
    t=$((m * 60))
    [ "$t" -le "$seconds" ] || continue
    # The sample nearest to the minute.
    rss=$(awk -v t="$t" -F'"rssKiB":' '{split($2, a, ","); split($0, b, "\"t\":"); split(b[2], c, ",");
      d = c[1] - t; if (d < 0) d = -d; if (best == "" || d < best) { best = d; v = a[1] } } END { printf "%.1f", v / 1024 }' \
      "$out/samples.jsonl")
    head="$head $m min |"
    sep="$sep---|"
    line="$line $rss |"
  done
  echo "$head"
  echo "$sep"
  echo "$line"
  first=$(awk -F'"rssKiB":' 'NR == 6 {split($2, a, ","); print a[1]}' "$out/samples.jsonl")
  last=$(tail -n 1 "$out/samples.jsonl" | sample rssKiB)
  if [ -n "$first" ] && [ -n "$last" ]; then
    echo
    echo "Growth after the first minute: $(awk -v a="$first" -v b="$last" 'BEGIN { printf "%.1f", (b - a) / 1024 }') MiB"
  fi
} | tee "$out/report.md"
