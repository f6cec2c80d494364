#!/usr/bin/env bash
# Runs a test program of tests/stream from an AddressSanitizer and
# UndefinedBehaviorSanitizer build tree.
#   run_asan.sh BUILD_TREE PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) when there is no such build.
set -u
tree=${1:-}
bin="$tree/tests/stream/${2:-}"
if [ -z "$tree" ] || [ ! -x "$bin" ]; then
  echo "no sanitizer build of ${2:-the program} (configure with -DKINOVO_ASAN_DIR=TREE, where TREE" \
       "is built with -DKINOVO_SANITIZE=ON; scripts/test.sh does this)"
  exit 77
fi
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# Any report fails the run: undefined behaviour stops it, leaks are
# reported at the end (lsan.supp: only what libraries keep for good).
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=23 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=24 ${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0 ${LSAN_OPTIONS:-}"
exec "$bin" "$@"
