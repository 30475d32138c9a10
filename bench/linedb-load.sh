#!/usr/bin/env bash
# N stations (the simulated bench program, each in a folder and with a login
# of its own) testing at once against one line database with TLS, while the
# server is restarted twice and a maintenance lock holds the runs table for
# LOCK seconds. At the end every journal's every record must be in the
# database once. Prints the figures.
# Usage: bench/linedb-load.sh SIM_EXECUTABLE REPORT_EXECUTABLE [STATIONS] [RUNS] [LOCK]
set -euo pipefail
sim=$(realpath "$1") report=$(realpath "$2")
stations=${3:-10} runs=${4:-150} lock=${5:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
trap '"$root/tests/pgserver.sh" stop "$work" > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$root/tests/pgserver.sh" init "$work" "$port"
export PGPASSFILE=$work/pgpass QT_QPA_PLATFORM=offscreen
db() { echo "host=localhost port=$port dbname=postgres user=$1 sslrootcert=$work/ca.crt"; }
"$report" --database "$(db owner)" --create-schema > /dev/null
for i in $(seq "$stations"); do
  psql -q "$(db owner)" -c "CREATE ROLE station$i LOGIN PASSWORD 'pw$i' IN ROLE zelor_station"
  echo "localhost:$port:*:station$i:pw$i" >> "$PGPASSFILE"
done
sessions_max=0
sample() {
  while sleep 1; do
    n=$(psql -tA "$(db owner)" -c "SELECT coalesce(max(c), 0) FROM (SELECT count(*) c FROM pg_stat_activity WHERE usename LIKE 'station%' GROUP BY usename) s" 2> /dev/null || echo 0)
    echo "$n" >> "$work/sessions"
  done
}
sample & sampler=$!
start=$(date +%s)
pids=()
for i in $(seq "$stations"); do
  mkdir -p "$work/s$i"
  (cd "$work/s$i" && ZELOR_RECORDS_DATABASE=$(db "station$i") "$sim" --runs "$runs" > /dev/null 2>&1
   # each station starts again once afterwards: whatever waited is sent then
   cd "$work/s$i" && ZELOR_RECORDS_DATABASE=$(db "station$i") "$sim" --runs 1 > /dev/null 2>&1) &
  pids+=($!)
done
sleep 5; "$root/tests/pgserver.sh" stop "$work"; sleep 5; "$root/tests/pgserver.sh" start "$work"
sleep 5
psql -q "$(db owner)" -c "BEGIN; LOCK TABLE zelor_runs IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep($lock); COMMIT;" > /dev/null &
locker=$!
sleep 3; "$root/tests/pgserver.sh" stop "$work"; sleep 3; "$root/tests/pgserver.sh" start "$work"
wait "$locker" || true
wait "${pids[@]}"
kill "$sampler" 2> /dev/null || true
took=$(( $(date +%s) - start ))
journaled=$(cat "$work"/s*/TestingRecords.jsonl | wc -l)
ids=$(cat "$work"/s*/TestingRecords.jsonl | python3 -c 'import sys, json; print(len({json.loads(l)["id"] for l in sys.stdin}))')
stored=$(psql -tA "$(db owner)" -c "SELECT count(*), count(DISTINCT id) FROM zelor_runs JOIN zelor_records USING (id)")
waiting=$(psql -tA "$(db owner)" -c "SELECT count(*) FROM pg_stat_activity WHERE usename LIKE 'station%'")
wrong=$(psql -tA "$(db owner)" -c "SELECT count(*) FROM zelor_runs r JOIN zelor_records USING (id) WHERE r.station <> record->>'station'")
echo "| stations | runs each (+1 after) | seconds | records journaled | distinct ids | rows stored, distinct | most sessions of one station | sessions left | station not its login |"
echo "|---|---|---|---|---|---|---|---|---|"
echo "| $stations | $runs | $took | $journaled | $ids | ${stored/|/, } | $(sort -n "$work/sessions" | tail -1) | $waiting | $wrong |"
