#!/usr/bin/env bash
# Installs what is missing, builds Kinovo (and sanitizer builds of it), then
# runs every test with the services they need: a private X display with a
# window manager and a compositor, and a private PulseAudio daemon.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh --test
jobs=$(nproc)

# Line tables are all a sanitizer's report needs of the debug information.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1" \
  -DKINOVO_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target kinovo stream_fuzz_tests

# The capture graph's recording tests run again from a ThreadSanitizer build,
# lightly optimised with line tables only: its reports keep their lines, and
# it builds in two thirds of the time of -O2 -g.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DKINOVO_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target graph_tests

# The main tree uses CMake's default generator (Unix Makefiles), as a
# packager's plain `cmake -S . -B build` does, so that build keeps working.
# A tree made earlier by another generator cannot switch; start it afresh.
if [ -f build/CMakeCache.txt ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Unix Makefiles' build/CMakeCache.txt; then
  echo "build/ was made by another generator; rebuilding it with Unix Makefiles"
  rm -rf build
fi
# The program is optimised as released, with line tables only: the tests need
# no more of its debug information, and it builds faster.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DKINOVO_ASAN_BINARY="$PWD/build-asan/app/kinovo" \
  -DKINOVO_ASAN_DIR="$PWD/build-asan" \
  -DKINOVO_TSAN_DIR="$PWD/build-tsan" >/dev/null
cmake --build build -j"$jobs"

# One test more than cores: the tests mostly wait on cameras, sound and
# screens (about 1.1 cores busy at one test per core), and those that
# compute hard take two slots (PROCESSORS).
scripts/with-services.sh ctest --test-dir build --output-on-failure -j"$((jobs + 1))" "$@"
