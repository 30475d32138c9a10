#!/usr/bin/env bash
# The line-wide report on a year of a busy line: RUNS generated runs (default
# 3,650,000: 10 stations, 1,000 runs a station a day, 365 days, each with a
# record of a real record's size) in a PostgreSQL server of its own, inserted
# in one statement as the stations' inserts are (the summaries kept by the
# schema's trigger), then zelor-k3-report --database timed over all of it,
# its last month, one station, one station's last month, the last day's CSV,
# the last month's CSV, and the HTML page of the line and of one station.
# Each report runs first after the generation has filled the caches with
# other pages, then five times more, of which the fastest is shown. Prints a
# Markdown table.
# Usage: bench/linedb-bench.sh REPORT_EXECUTABLE [RUNS]
set -euo pipefail
report=$(realpath "$1")
runs=${2:-3650000}
root=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
trap '"$root/tests/pgserver.sh" stop "$work" > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
cd "$work"
"$root/tests/pgserver.sh" init "$work" "$port"
export PGPASSFILE=$work/pgpass
db="host=localhost port=$port dbname=postgres user=owner sslmode=verify-full sslrootcert=$work/ca.crt"
"$report" --database "$db" --create-schema > /dev/null

seconds() { local s; s=$(date +%s.%N); "$@" > "$work/out"; echo "$(date +%s.%N) - $s" | bc; }

generate=$(PGOPTIONS="-c statement_timeout=0" seconds psql -q "$db" -v runs="$runs" <<'SQL'
-- A run every 86.4 s a station; a pair that failed is tested again at the
-- station's next run;
-- 92 % pass; cycle times about 450 ms. The record carries a real record's steps.
CREATE TEMPORARY TABLE generated AS
SELECT gen_random_uuid() AS id, station, started, (started AT TIME ZONE 'UTC')::date AS day,
       CASE WHEN failed THEN 'FAILED' ELSE 'PASSED' END AS verdict,
       CASE WHEN failed THEN (ARRAY[3, 5, 7, 8])[1 + i % 4] ELSE 0 END AS fail_code,
       420 + (i * 7919 % 600) / 10.0 AS duration_ms,
       'A' || pair || E'\nB' || pair AS pair,
       jsonb_build_object('schema', 1, 'run', i, 'station', station, 'start', started,
         'verdict', CASE WHEN failed THEN 'FAILED' ELSE 'PASSED' END, 'backend', 'D2XX 2.12.36 (ftd2xx.dll)',
         'chips', jsonb_build_array(jsonb_build_object('serial', 'FT' || i, 'deviceType', 5,
                    'descriptionRead', 'FT232R USB UART', 'programmed', true),
                  jsonb_build_object('serial', 'FU' || i, 'deviceType', 5,
                    'descriptionRead', 'FT232R USB UART', 'programmed', true)),
         'steps', (SELECT jsonb_agg(jsonb_build_object('step', s, 'result', 'OK', 'durationMs', 12.5, 'failCode', 0))
                   FROM unnest(ARRAY['find', 'open', 'program', 'program', 'TX/RX', 'RX/TX', 'close']) s)) AS record
FROM (SELECT i, 'bench-' || lpad((i % 10)::text, 2, '0') AS station,
             timestamptz '2025-12-01 00:00+00' + (i / 10) * interval '86.4 s' AS started,
             (i * 2654435761 % 100) < 8 AS failed,
             CASE WHEN i > 10 AND ((i - 10) * 2654435761 % 100) < 8 THEN i - 10 ELSE i END AS pair
      FROM generate_series(1, :runs::bigint) i) g;
INSERT INTO zelor_runs (id, station, started, day, verdict, fail_code, duration_ms, pair)
SELECT id, station, started, day, verdict, fail_code, duration_ms, pair FROM generated;
INSERT INTO zelor_records (id, record) SELECT id, record FROM generated;
VACUUM ANALYZE zelor_runs;
VACUUM ANALYZE zelor_records;
CHECKPOINT; -- the load's pages written out now, not while the reports are timed
SQL
)
size=$(psql -Atq "$db" -c "SELECT pg_size_pretty(pg_total_relation_size('zelor_runs')), pg_size_pretty(pg_total_relation_size('zelor_records')), pg_size_pretty(pg_total_relation_size('zelor_pairs') + pg_total_relation_size('zelor_day_runs') + pg_total_relation_size('zelor_day_failures') + pg_total_relation_size('zelor_day_cycle_times') + pg_total_relation_size('zelor_line_day_cycle_times') + pg_total_relation_size('zelor_month_cycle_times') + pg_total_relation_size('zelor_day_first_runs'))" | sed 's/|/ runs, /; s/|/ records, /; s/$/ summaries/')
last=$(psql -Atq "$db" -c "SELECT max(day) - 1 FROM zelor_runs") # the last whole day
month=$(psql -Atq "$db" -c "SELECT max(day) - 29 FROM zelor_runs")
echo "| report of $runs runs ($size with indexes; generated, summarised and vacuumed in $(printf '%.0f' "$generate") s) | seconds, first | seconds, best of 5 more |"
echo "|---|---|---|"
for args in "" "--since $month" "--station bench-03" "--station bench-03 --since $month" \
            "--since $last --until $last --csv" "--since $month --csv" \
            "--html -" "--station bench-03 --html -"; do
  # shellcheck disable=SC2086
  cold=$(seconds "$report" --database "$db" $args)
  t=$cold
  for _ in 1 2 3 4 5; do
    # shellcheck disable=SC2086
    again=$(seconds "$report" --database "$db" $args)
    t=$(echo "if ($again < $t) $again else $t" | bc)
  done
  printf '| `zelor-k3-report --database …%s` (%s lines) | %.2f | %.2f |\n' "${args:+ $args}" "$(wc -l < "$work/out")" "$cold" "$t"
done

# The line's page as a manager opens it: how long Chromium takes to lay it out
# and draw its charts, and how many A4 pages it prints on.
"$report" --database "$db" --html "$work/page.html"
python3 - "$root/tests" "$work" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import html_report
rendered = html_report.browse(sys.argv[2])
print(f"| the line's page ({len(rendered['painted'])} charts) opened in Chromium | "
      f"{rendered['openMs'] / 1000:.2f} | |")
problems = html_report.print_problems(sys.argv[2])
for p in problems:
    print("  " + p)
PY

# The same page from records files, as the stations wrote them (one file of
# every station's records here): how long the report takes to read them and
# write it, and how much memory it holds at most.
PGOPTIONS="-c statement_timeout=0" psql -q "$db" -c "\\copy (SELECT (c.record || jsonb_build_object('id', r.id, 'durationMs', r.duration_ms, 'failCode', r.fail_code, 'host', r.station))::text FROM zelor_runs r JOIN zelor_records c USING (id) ORDER BY r.started, r.id) TO '$work/records.jsonl'"
files=$(du -h "$work/records.jsonl" | cut -f1)
# The report holds the file and about as much again of runs: past a third of
# the memory free, not tried (the line database is the source at that size).
available=$(awk '/^MemAvailable:/ { printf "%d", $2 * 1024 }' /proc/meminfo)
if [ "$(stat -c %s "$work/records.jsonl")" -gt $((available / 3)) ]; then
  echo "| \`zelor-k3-report --html … records.jsonl\` ($files of records files) | not run: over a third of the $((available >> 30)) GB free | |"
elif /usr/bin/time -f '%e %M' -o "$work/time" "$report" --html "$work/files.html" "$work/records.jsonl" 2> /dev/null; then
  read -r elapsed kb < "$work/time"
  printf '| `zelor-k3-report --html … records.jsonl` (%s of records files; at most %s MB held) | %.2f | |\n' \
    "$files" "$((kb / 1024))" "$elapsed"
else
  echo "| \`zelor-k3-report --html … records.jsonl\` ($files of records files) | failed: $(tail -1 "$work/time") | |"
fi
