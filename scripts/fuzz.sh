#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# A crash leaves its input in build-fuzz/crashes/; copy it to
# tests/fuzz/regressions/<target>/ once fixed, so the normal suite replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}

# shellcheck source=scripts/lib/packages.sh
. "$root/scripts/lib/packages.sh"
install_missing clang-14 libclang-rt-14-dev

CC=clang-14 CXX=clang++-14 "$root/scripts/setup.sh" "$root/build-fuzz" -DZELOR_FUZZ=ON

export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
crashes="$root/build-fuzz/crashes"
mkdir -p "$crashes"
failed=0
for target in fuzz_scenario fuzz_discovery fuzz_eeprom fuzz_report fuzz_image; do
  corpus=$(mktemp -d)
  cp -r "$root/tests/fuzz/corpus/$target/." "$corpus/"
  cp -r "$root/tests/fuzz/regressions/$target/." "$corpus/"
  rm -f "$corpus/.gitkeep"
  echo "== $target, $seconds s"
  if ! "$root/build-fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$crashes/$target-" -print_final_stats=1 "$corpus" 2> "$crashes/$target.log"; then
    failed=1
    tail -40 "$crashes/$target.log"
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$crashes/$target.log" || true
  rm -rf "$corpus"
done
exit $failed
