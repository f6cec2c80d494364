#!/usr/bin/env bash
# Event-loop stalls of the capture engine's actions (kinovo-stall-bench) with
# the two virtual cameras of stall.ini and the test microphone; prints a
# table of the median and longest stall of five runs of each action beside
# the 50 ms target.
#   bench/stall_bench.sh [BUILD_DIR]     (default: build)
# BUILD_DIR must hold kinovo-stall-bench and the virtual camera:
#   cmake --build build --target kinovo-stall-bench kinovo_vcam
# Starts its own display and sound server when DISPLAY is not set.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)

if [ -z "${DISPLAY:-}" ]; then
  exec "$repo/scripts/with-services.sh" "$0" "$build"
fi

bench=$build/bench/kinovo-stall-bench
vcam=$build/vcam/libkinovo-vcam.so
for f in "$bench" "$vcam"; do
  if [ ! -e "$f" ]; then
    echo "missing $f: cmake --build $build --target kinovo-stall-bench kinovo_vcam" >&2
    exit 1
  fi
done
LD_PRELOAD=$vcam KINOVO_VCAM_PROFILE=$here/stall.ini "$bench" 2>/dev/null
