#!/usr/bin/env bash
# STATIONS stations (the simulated bench program, each in a folder and with a
# login of its own) testing at once against one line database with TLS, each
# started ROUNDS times for 10 runs, while the database is dumped, the server
# is stopped twice (5 s, then 3 s), the dump restored over it (pg_restore
# --clean), the days before today purged, and a maintenance lock holds the
# runs table for LOCK seconds. Each journal starts with 20 records of three
# days ago. Then each station starts once more, one after another. Every
# journal's every record of today must then be in the database once, and
# none of the days purged. Prints a Markdown table.
# Usage: bench/linedb-load.sh SIM_EXECUTABLE REPORT_EXECUTABLE [STATIONS] [ROUNDS] [LOCK]
# KEEP=1 keeps the work folder (the stations' traces in first.err).
set -euo pipefail
sim=$(realpath "$1") report=$(realpath "$2")
stations=${3:-10} rounds=${4:-15} lock=${5:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
trap '"$root/tests/pgserver.sh" stop "$work" > /dev/null 2>&1 || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
"$root/tests/pgserver.sh" init "$work" "$port"
export PGPASSFILE=$work/pgpass QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="zelor.trace.debug=true"
db() { echo "host=localhost port=$port dbname=postgres user=$1 sslrootcert=$work/ca.crt"; }
owner() { psql -tA "$(db owner)" -c "$1" 2> /dev/null; }
"$report" --database "$(db owner)" --create-schema > /dev/null
for i in $(seq "$stations"); do
  owner "CREATE ROLE station$i LOGIN PASSWORD 'pw$i' IN ROLE zelor_station" > /dev/null
  echo "localhost:$port:*:station$i:pw$i" >> "$PGPASSFILE"
  mkdir -p "$work/s$i"
  python3 - "$work/s$i/TestingRecords.jsonl" station$i <<'PY'
import datetime, json, sys, uuid
start = (datetime.datetime.now().astimezone() - datetime.timedelta(days=3)).replace(microsecond=0)
with open(sys.argv[1], "w") as f:
    for n in range(20):
        t = (start + datetime.timedelta(seconds=n)).isoformat(timespec="milliseconds")
        f.write(json.dumps({"schema": 1, "id": str(uuid.uuid4()), "station": sys.argv[2], "run": n,
                            "start": t, "end": t, "durationMs": 450.0, "chips": [],
                            "verdict": "FAILED", "failCode": 1}, separators=(",", ":")) + "\r\n")
PY
done
today=$(date +%F)
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
station() { cd "$work/s$1" && ZELOR_RECORDS_DATABASE=$(db "station$1") "$sim" --runs "$2" > /dev/null 2>> first.err; }

# The most sessions one station held at once, sampled every 0.5 s.
( while sleep 0.5; do
    owner "SELECT coalesce(max(c), 0) FROM (SELECT count(*) c FROM pg_stat_activity
           WHERE usename LIKE 'station%' GROUP BY usename) s" >> "$work/sessions" || true
  done ) &
sampler=$!
start=$(date +%s)
pids=()
for i in $(seq "$stations"); do
  ( for _ in $(seq "$rounds"); do station "$i" 10; sleep 1; done ) &
  pids+=($!)
done
sleep 5; "$pgbin/pg_dump" -Fc -f "$work/line.dump" -d "$(db owner)"
sleep 2; "$root/tests/pgserver.sh" stop "$work"; sleep 5; "$root/tests/pgserver.sh" start "$work"
sleep 5; "$root/tests/pgserver.sh" stop "$work"; sleep 3; "$root/tests/pgserver.sh" start "$work"
sleep 3; "$pgbin/pg_restore" --clean --if-exists -d "$(db owner)" "$work/line.dump"
restored=$(owner "SELECT count(*) FROM zelor_runs")
sleep 3; purged=$("$report" --database "$(db owner)" --purge-before "$today" | cut -d' ' -f1)
sleep 3
psql -q "$(db owner)" -c "BEGIN; LOCK TABLE zelor_runs IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep($lock); COMMIT;" > /dev/null
wait "${pids[@]}"
during=$(( $(date +%s) - start ))
inbefore=$(owner "SELECT count(*) FROM zelor_runs")
for i in $(seq "$stations"); do station "$i" 1; done
kill "$sampler" 2> /dev/null || true
journaled=$(cat "$work"/s*/TestingRecords.jsonl | wc -l)
ids=$(cat "$work"/s*/TestingRecords.jsonl | python3 -c "import sys, json; print(len({json.loads(l)['id'] for l in sys.stdin if json.loads(l)['start'] >= '$today'}))")
stored=$(owner "SELECT count(*) || ', ' || count(DISTINCT id) FROM zelor_runs JOIN zelor_records USING (id)")
resent=$(owner "SELECT count(*) FROM zelor_runs WHERE day < '$today'")
summed=$(owner "SELECT (SELECT sum(runs) FROM zelor_day_runs) = (SELECT count(*) FROM zelor_runs)")
left=$(owner "SELECT count(*) FROM pg_stat_activity WHERE usename LIKE 'station%'")
wrong=$(owner "SELECT count(*) FROM zelor_runs r JOIN zelor_records USING (id) WHERE r.station <> record->>'station'")
echo "| stations | starts of 10 runs each | seconds under a dump, restarts, a restore, a purge and a ${lock} s lock | records journaled (distinct ids of today) | rows after the restore | rows purged | in the database by then | after one more start each: rows, distinct | rows of the purged days | summaries = rows | most sessions of one station | sessions left | rows not under their login |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
echo "| $stations | $rounds | $during | $journaled ($ids) | $restored | $purged | $inbefore | $stored | $resent | $summed | $(sort -n "$work/sessions" | tail -1) | $left | $wrong |"
