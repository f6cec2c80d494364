#!/usr/bin/env bash
# Runs tests of graph_tests from a ThreadSanitizer build tree.
#   run_tsan.sh BUILD_TREE GTEST_FILTER
# Exits 77 (skipped) when there is no such build.
set -u
tree=${1:-}
bin="$tree/tests/graph/graph_tests"
if [ -z "$tree" ] || [ ! -x "$bin" ]; then
  echo "no ThreadSanitizer build of graph_tests (configure with -DKINOVO_TSAN_DIR=TREE, where TREE" \
       "is built with -DKINOVO_TSAN=ON; scripts/test.sh does this)"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
# Reports fail the run (exit code 66). Suppressed: only races inside
# libraries that are not built with the sanitizer (tsan.supp says which).
export TSAN_OPTIONS="suppressions=$here/tsan.supp second_deadlock_stack=1 halt_on_error=0 exitcode=66 ${TSAN_OPTIONS:-}"
exec "$bin" --gtest_filter="${2:-*}"
