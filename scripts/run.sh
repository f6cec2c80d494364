#!/usr/bin/env bash
# Installs what is missing, builds Kinovo and runs it on the current display.
#   scripts/run.sh              the machine's cameras and microphones
#   scripts/run.sh --vcam       the project's virtual cameras instead
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ "${1:-}" = "--vcam" ]; then
  export LD_PRELOAD="$PWD/build/vcam/libkinovo-vcam.so" KINOVO_VCAM_PROFILE="$PWD/vcam/profiles/demo.ini"
fi
exec build/app/kinovo
