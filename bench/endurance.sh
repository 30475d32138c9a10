#!/usr/bin/env bash
# A long day on the simulated bench: zelor-k3-tester-sim --runs N on a passing
# pair with the virtual clock. Reports resident memory at run 100 and at the
# end, handles left open, log bytes per run, and fails when memory grows with
# the number of runs or any run did not pass.
# Usage: bench/endurance.sh SIM_EXECUTABLE [RUNS]
set -euo pipefail
sim=$(realpath "$1")
runs=${2:-10000}
max_growth_kb=${ZELOR_MAX_GROWTH_KB:-4096}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export QT_QPA_PLATFORM=offscreen

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }
passed_runs() { grep -c '^TEST PASSED' TestingLog.txt 2>/dev/null || true; }

start=$(date +%s.%N)
"$sim" --runs "$runs" --dump-eeprom dump.json 2>/dev/null &
pid=$!
rss_at_100="" rss_last=""
while kill -0 "$pid" 2>/dev/null; do
  sample=$(rss_kb "$pid")
  done_runs=$(passed_runs)
  if [ -z "$rss_at_100" ] && [ "${done_runs:-0}" -ge 100 ] && [ -n "$sample" ]; then
    rss_at_100=$sample
  fi
  [ -n "$sample" ] && rss_last=$sample
  sleep 0.05
done
status=0
wait "$pid" || status=$?
seconds=$(echo "$(date +%s.%N) - $start" | bc)

passed=$(passed_runs)
log_bytes=$(stat -c %s TestingLog.txt)
open_handles=$(grep -o '"openHandles": [0-9]*' dump.json | grep -o '[0-9]*$')
growth=$(( rss_last - rss_at_100 ))

printf 'endurance: %d runs in %.1f s, %d passed, exit status %d\n' "$runs" "$seconds" "$passed" "$status"
printf 'endurance: resident memory %d KiB at run 100, %d KiB at the end (growth %d KiB)\n' \
  "$rss_at_100" "$rss_last" "$growth"
printf 'endurance: %d handles open at exit, log %d bytes, %d bytes a run\n' \
  "$open_handles" "$log_bytes" $(( log_bytes / runs ))

failed=0
[ "$status" -eq 0 ] || { echo "endurance: the last run did not pass"; failed=1; }
[ "$passed" -eq "$runs" ] || { echo "endurance: only $passed of $runs runs passed"; failed=1; }
[ "$open_handles" -eq 0 ] || { echo "endurance: handles left open"; failed=1; }
[ "$growth" -le "$max_growth_kb" ] || { echo "endurance: memory grew by more than $max_growth_kb KiB"; failed=1; }
exit $failed
