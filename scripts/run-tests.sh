#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite, headless: once as a normal
# build and once built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/run-tests.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
export ZELOR_NEED_XVFB=1

run_suite() {
  local build_dir=$1; shift
  "$root/scripts/setup.sh" "$build_dir" "$@"
  (cd "$build_dir" && ctest --output-on-failure --timeout 600)
}

run_suite "$root/build" -DZELOR_SANITIZE=OFF
if [ "${1:-}" != --quick ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite "$root/build-sanitize" -DZELOR_SANITIZE=ON
fi
