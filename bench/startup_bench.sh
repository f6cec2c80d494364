#!/usr/bin/env bash
# Startup benchmark: the time from starting a program to the first live frame
# of the virtual 1080p Motion-JPEG camera on screen, for
#   kinovo                              the program (window 1566x894 at (207,123))
#   ffplay -f v4l2                      opening the same camera, shown at the
#                                       same place and size as kinovo's picture
# each with a camera that has image controls and with one that has none (the
# program asks for them again later; that run is only reported).
# Each run is measured by kinovo-firstframe: it polls one screen pixel every
# 2 ms from the program's exec until the camera's yellow colour bar shows
# there (at 3/16 of the picture's width and 2/5 of its height), then ends the
# program. Prints the median, min and max of several runs side by side.
#   bench/startup_bench.sh [BUILD_DIR]     (default: build)
# BUILD_DIR must hold the program, the virtual camera and the probe:
#   cmake --build build --target kinovo kinovo_vcam kinovo-firstframe
# Starts its own display (1920x1080) and services when DISPLAY is not set;
# an own display must be 1920x1080 too. BENCH_RUNS sets the runs of each
# kind (default 7).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
runs=${BENCH_RUNS:-7}

if [ -z "${DISPLAY:-}" ]; then
  exec "$repo/scripts/with-services.sh" "$0" "$build"
fi

. "$here/lib.sh"
kinovo=$build/app/kinovo
vcam=$build/vcam/libkinovo-vcam.so
firstframe=$build/bench/kinovo-firstframe
need_built "kinovo kinovo_vcam kinovo-firstframe" "$kinovo" "$vcam" "$firstframe"
need_ffplay_and_screen

work=$(mktemp -d /tmp/kinovo-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The camera of the main window's tests, and the same without image controls.
profile=$repo/tests/ui/profiles/one-camera.ini
grep -v '^control' "$profile" >"$work/no-controls.ini"

# kinovo's picture: the window's inner area, 15 px in: 1536x864 at (222,138).
px=$((222 + 1536 * 3 / 16)) py=$((138 + 864 * 2 / 5))
yellow=bfbf00 tolerance=60

# measure NAME PROFILE COMMAND...: one time per line in NAME.ms
measure() {
  local name=$1 prof=$2
  shift 2
  : >"$work/$name.ms"
  for ((i = 1; i <= runs; i++)); do
    LD_PRELOAD=$vcam KINOVO_VCAM_PROFILE=$prof \
      "$firstframe" "$px" "$py" "$yellow" "$tolerance" 15000 "$@" \
      >>"$work/$name.ms" 2>>"$work/$name.err" </dev/null || true
  done
  echo "$name: $(tr '\n' ' ' <"$work/$name.ms")" >&2
}

echo "measuring $runs runs of each ..." >&2
measure kinovo "$profile" "$kinovo"
measure ffplay "$profile" "${ffplay_at_picture[@]}"
measure kinovo-nc "$work/no-controls.ini" "$kinovo"
measure ffplay-nc "$work/no-controls.ini" "${ffplay_at_picture[@]}"

# stats NAME: "median min max" in ms, and how many runs timed out
stats() {
  local ok
  ok=$(grep -E '^[0-9]+$' "$work/$1.ms" | sort -n || true)
  if [ -z "$ok" ]; then
    echo "- - - $(wc -l <"$work/$1.ms")"
    return
  fi
  local n
  n=$(echo "$ok" | wc -l)
  local median
  median=$(echo "$ok" | awk -v n="$n" '{a[NR]=$1} END{print (n%2) ? a[(n+1)/2] : (a[n/2]+a[n/2+1])/2}')
  echo "$median $(echo "$ok" | head -n1) $(echo "$ok" | tail -n1) $(( $(wc -l <"$work/$1.ms") - n ))"
}
row() {
  local k f
  read -r km kmin kmax kfail <<<"$(stats "$2")"
  read -r fm fmin fmax ffail <<<"$(stats "$3")"
  local verdict=""
  [ -n "$4" ] && [ "$km" != - ] && verdict=$(awk -v m="$km" -v t="$4" 'BEGIN{print (m < t) ? "yes" : "NO"}')
  printf '| %s | %s | %s / %s | %s | %s / %s | %s | %s |\n' "$1" "$km" "$kmin" "$kmax" "$fm" "$fmin" "$fmax" \
    "$(awk -v a="$km" -v b="$fm" 'BEGIN{if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b}')" \
    "${verdict:--}$([ "$kfail$ffail" = 00 ] || echo " (timeouts: kinovo $kfail, ffplay $ffail)")"
}

printf '\nFrom exec to the first live frame on screen, ms (%s runs each; virtual camera MJPG 1920x1080 30 fps)\n\n' "$runs"
printf '| Camera | kinovo median | kinovo min / max | ffplay median | ffplay min / max | kinovo / ffplay | kinovo < 600 ms |\n'
printf '|---|---|---|---|---|---|---|\n'
row "with image controls" kinovo ffplay 600
row "no image controls" kinovo-nc ffplay-nc ""
for name in kinovo ffplay kinovo-nc ffplay-nc; do
  if [ -s "$work/$name.err" ]; then
    echo "($name said:)" >&2
    sort "$work/$name.err" | uniq -c | sort -rn | head -n 5 >&2
  fi
done
