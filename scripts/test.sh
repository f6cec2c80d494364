#!/usr/bin/env bash
# Installs what is missing, builds Kinovo (and sanitizer builds of it), then
# runs every test with the services they need: a private X display with a
# window manager and a compositor, and a private PulseAudio daemon.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh --test
jobs=$(nproc)

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKINOVO_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target kinovo

# The capture graph's recording tests run again from a ThreadSanitizer build.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINOVO_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target graph_tests

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKINOVO_ASAN_BINARY="$PWD/build-asan/app/kinovo" \
  -DKINOVO_TSAN_DIR="$PWD/build-tsan" >/dev/null
cmake --build build -j"$jobs"

scripts/with-services.sh ctest --test-dir build --output-on-failure -j"$jobs" "$@"
