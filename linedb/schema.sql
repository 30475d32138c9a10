-- The ZELOR-K3 line database: every station's run records, one row a run.
-- Run once by the database's owner: zelor-k3-report --database CONNINFO --create-schema
-- Running it again changes nothing; it brings a database of an older version
-- up to this one. The stations' role follows in roles.sql.

-- The schema's version, and the database's own id: a station that finds
-- another id has been moved to another database.
CREATE TABLE IF NOT EXISTS zelor_schema (
    version integer NOT NULL
);
INSERT INTO zelor_schema (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM zelor_schema);
ALTER TABLE zelor_schema ADD COLUMN IF NOT EXISTS instance uuid NOT NULL DEFAULT gen_random_uuid();
-- The line's retention limit: the runs of days before it were purged, and
-- no record of such a day is taken again.
ALTER TABLE zelor_schema ADD COLUMN IF NOT EXISTS retained_from date NOT NULL DEFAULT '-infinity';
-- The version this script found: the summaries are counted afresh, at the
-- end, for one older than 4.
DROP TABLE IF EXISTS pg_temp.zelor_found;
CREATE TEMP TABLE zelor_found AS SELECT version FROM zelor_schema;

-- What the report counts, one narrow row a run: a year of a busy line is
-- scanned in seconds.
CREATE TABLE IF NOT EXISTS zelor_runs (
    id          uuid PRIMARY KEY,             -- the record's own id: a record sent twice is stored once
    arrival     bigint GENERATED ALWAYS AS IDENTITY,
    received    timestamptz NOT NULL DEFAULT now(),
    station     text NOT NULL DEFAULT session_user, -- the login it arrived by
    started     timestamptz NOT NULL,
    day         date NOT NULL,                -- the station's own calendar day of the start
    verdict     text NOT NULL CHECK (verdict IN ('PASSED', 'FAILED')),
    fail_code   integer NOT NULL,
    duration_ms double precision NOT NULL,
    pair        text                          -- the two chips' serial numbers, sorted, one a line
);
-- The fixture's socket the run's pair sat in; NULL for a station of one pair.
ALTER TABLE zelor_runs ADD COLUMN IF NOT EXISTS socket text;

-- Rows from before the records were checked by the server keep what they
-- had (NOT VALID).
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_constraint WHERE conrelid = 'zelor_runs'::regclass
                   AND conname = 'zelor_runs_cycle_time') THEN
        ALTER TABLE zelor_runs ADD CONSTRAINT zelor_runs_cycle_time
            CHECK (duration_ms >= 0 AND duration_ms < 'Infinity') NOT VALID; -- NaN is above Infinity
    END IF;
    IF NOT EXISTS (SELECT FROM pg_constraint WHERE conrelid = 'zelor_runs'::regclass
                   AND conname = 'zelor_runs_fail_code') THEN
        ALTER TABLE zelor_runs ADD CONSTRAINT zelor_runs_fail_code
            CHECK (fail_code IN (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20)) NOT VALID;
    END IF;
END $$;

-- Each run's record as the station wrote it.
CREATE TABLE IF NOT EXISTS zelor_records (
    id     uuid PRIMARY KEY REFERENCES zelor_runs (id),
    record jsonb NOT NULL
);

CREATE INDEX IF NOT EXISTS zelor_runs_started ON zelor_runs (started);
CREATE INDEX IF NOT EXISTS zelor_runs_day ON zelor_runs (day);
CREATE INDEX IF NOT EXISTS zelor_runs_station_day ON zelor_runs (station, day);
CREATE INDEX IF NOT EXISTS zelor_runs_pair ON zelor_runs (pair, started, arrival) WHERE pair IS NOT NULL;

-- ---------------------------------------------------------------------------
-- What the report reads, kept as runs arrive, so that it never reads every
-- run: each pair's first run and when it first passed, and by day and
-- station the runs, failures by code, cycle times of passed runs (to the
-- whole millisecond) and the pairs first tested there. Written only by the
-- trigger below, with its owner's rights: a station may insert runs without
-- any right on these tables. The report's definitions are those of
-- report/yieldreport.cpp; a test compares the two.

-- A pair's first run: its earliest start, of two at one time the lower id.
-- pass_started and pass_day: the earliest start and day of a passed run;
-- 'infinity' when none passed.
CREATE TABLE IF NOT EXISTS zelor_pairs (
    pair          text PRIMARY KEY,
    first_id      uuid NOT NULL,
    first_started timestamptz NOT NULL,
    first_day     date NOT NULL,
    first_station text NOT NULL,
    first_passed  boolean NOT NULL,
    pass_started  timestamptz NOT NULL,
    pass_day      date NOT NULL
);
ALTER TABLE zelor_pairs ADD COLUMN IF NOT EXISTS first_socket text NOT NULL DEFAULT '';

-- The runs and first runs by day, station and socket ('' for a station of
-- one pair): a database from before sockets has them counted afresh.
DO $$
BEGIN
    IF to_regclass('zelor_day_runs') IS NOT NULL
       AND NOT EXISTS (SELECT FROM information_schema.columns
                       WHERE table_schema = current_schema() AND table_name = 'zelor_day_runs'
                       AND column_name = 'socket') THEN
        DROP TABLE zelor_day_runs, zelor_day_failures, zelor_day_first_runs;
    END IF;
END $$;

CREATE TABLE IF NOT EXISTS zelor_day_runs (
    day     date NOT NULL,
    station text NOT NULL,
    socket  text NOT NULL,
    runs    bigint NOT NULL,
    passed  bigint NOT NULL,
    paired  bigint NOT NULL,                  -- runs of two chips
    PRIMARY KEY (day, station, socket)
);

CREATE TABLE IF NOT EXISTS zelor_day_failures (
    day       date NOT NULL,
    station   text NOT NULL,
    socket    text NOT NULL,
    fail_code integer NOT NULL,
    runs      bigint NOT NULL,
    PRIMARY KEY (day, station, socket, fail_code)
);

CREATE TABLE IF NOT EXISTS zelor_day_cycle_times (
    day     date NOT NULL,
    station text NOT NULL,
    ms      bigint NOT NULL,
    runs    bigint NOT NULL,
    PRIMARY KEY (day, station, ms)
);

-- The same cycle times for the whole line by day, and for each station by
-- month (the month's first day): what a report of many days reads. Every
-- row of every summary is a station's own, written by that station's
-- inserts (the pairs' first runs: by the station that wrote them), so that
-- no station's open transaction holds up another's: the report adds the
-- stations' rows up.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM information_schema.columns WHERE table_schema = current_schema()
                   AND table_name = 'zelor_day_first_runs' AND column_name = 'writer') THEN
        DROP TABLE IF EXISTS zelor_line_day_cycle_times, zelor_day_first_runs; -- counted afresh
    END IF;
END $$;
CREATE TABLE IF NOT EXISTS zelor_line_day_cycle_times (
    day     date NOT NULL,
    ms      bigint NOT NULL,
    station text NOT NULL,
    runs    bigint NOT NULL,
    PRIMARY KEY (day, ms, station)
);
CREATE TABLE IF NOT EXISTS zelor_month_cycle_times (
    month   date NOT NULL,
    station text NOT NULL,
    ms      bigint NOT NULL,
    runs    bigint NOT NULL,
    PRIMARY KEY (month, station, ms)
);
-- Read by index alone (a day's rows lie wherever their updates put them):
-- one station's days, or a few days of every station.
CREATE INDEX IF NOT EXISTS zelor_day_cycle_times_station
    ON zelor_day_cycle_times (station, day, ms) INCLUDE (runs);
CREATE INDEX IF NOT EXISTS zelor_day_cycle_times_day
    ON zelor_day_cycle_times (day) INCLUDE (station, ms, runs);

-- The pairs whose first run is on this day at this station, as each writer
-- changed them (a retest elsewhere moves a pair's pass day).
CREATE TABLE IF NOT EXISTS zelor_day_first_runs (
    day          date NOT NULL,
    station      text NOT NULL,
    socket       text NOT NULL,
    first_passed boolean NOT NULL,
    pass_day     date NOT NULL,
    writer       text NOT NULL,
    pairs        bigint NOT NULL,
    PRIMARY KEY (day, station, socket, first_passed, pass_day, writer)
);

-- Stations the line's owner renamed: a report counts the runs stored under
-- old_name as new_name's (zelor-k3-report --store-renamed OLD=NEW).
CREATE TABLE IF NOT EXISTS zelor_station_names (
    old_name text PRIMARY KEY,
    new_name text NOT NULL CHECK (new_name <> old_name)
);

-- Each station's count of runs stored: what a station compares with its
-- journals.
CREATE TABLE IF NOT EXISTS zelor_station_runs (
    station text PRIMARY KEY,
    runs    bigint NOT NULL
);

-- A cycle time as the report keeps it: whole milliseconds, half up, at most
-- 10^12.
CREATE OR REPLACE FUNCTION zelor_cycle_ms(duration_ms double precision) RETURNS bigint
LANGUAGE sql IMMUTABLE AS
'SELECT least(greatest(floor(duration_ms + 0.5), 0), 1e12)::bigint';

CREATE OR REPLACE FUNCTION zelor_count_runs() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    -- A pair's first run is decided against all that others committed for
    -- that pair: one writer at a time a pair, never the whole line. Locks
    -- taken in the order of their keys: two writers never wait for each
    -- other.
    -- A writer of many pairs at once (an owner's bulk load) takes the
    -- line's lock alone instead, which every other writer shares.
    IF (SELECT count(DISTINCT pair) FROM added) > 1000 THEN
        PERFORM pg_advisory_xact_lock(4103300417);
    ELSE
        PERFORM pg_advisory_xact_lock_shared(4103300417);
        PERFORM pg_advisory_xact_lock(k)
        FROM (SELECT DISTINCT hashtextextended(pair, 4103300417) AS k FROM added
              WHERE pair IS NOT NULL ORDER BY 1) l;
    END IF;
    INSERT INTO zelor_station_runs AS t (station, runs)
    SELECT station, count(*) FROM added GROUP BY station
    ON CONFLICT (station) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_day_runs AS t (day, station, socket, runs, passed, paired)
    SELECT day, station, coalesce(socket, ''), count(*), count(*) FILTER (WHERE verdict = 'PASSED'),
           count(pair)
    FROM added GROUP BY 1, 2, 3
    ON CONFLICT (day, station, socket) DO UPDATE SET runs = t.runs + excluded.runs,
        passed = t.passed + excluded.passed, paired = t.paired + excluded.paired;
    INSERT INTO zelor_day_failures AS t (day, station, socket, fail_code, runs)
    SELECT day, station, coalesce(socket, ''), fail_code, count(*) FROM added
    WHERE verdict = 'FAILED' GROUP BY 1, 2, 3, 4
    ON CONFLICT (day, station, socket, fail_code) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_day_cycle_times AS t (day, station, ms, runs)
    SELECT day, station, zelor_cycle_ms(duration_ms), count(*) FROM added
    WHERE verdict = 'PASSED' GROUP BY 1, 2, 3
    ON CONFLICT (day, station, ms) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_line_day_cycle_times AS t (day, ms, station, runs)
    SELECT day, zelor_cycle_ms(duration_ms), station, count(*) FROM added
    WHERE verdict = 'PASSED' GROUP BY 1, 2, 3
    ON CONFLICT (day, ms, station) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_month_cycle_times AS t (month, station, ms, runs)
    SELECT date_trunc('month', day)::date, station, zelor_cycle_ms(duration_ms), count(*)
    FROM added WHERE verdict = 'PASSED' GROUP BY 1, 2, 3
    ON CONFLICT (month, station, ms) DO UPDATE SET runs = t.runs + excluded.runs;
    WITH firsts AS (
        SELECT DISTINCT ON (pair) pair, id AS first_id, started AS first_started,
               day AS first_day, station AS first_station, verdict = 'PASSED' AS first_passed,
               coalesce(socket, '') AS first_socket
        FROM added WHERE pair IS NOT NULL ORDER BY pair, started, id),
    passes AS (
        SELECT pair, min(started) AS pass_started, min(day) AS pass_day
        FROM added WHERE pair IS NOT NULL AND verdict = 'PASSED' GROUP BY pair),
    old AS (SELECT p.* FROM zelor_pairs p JOIN firsts USING (pair)),
    best AS (
        SELECT DISTINCT ON (pair) * FROM (
            SELECT * FROM firsts
            UNION ALL
            SELECT pair, first_id, first_started, first_day, first_station, first_passed,
                   first_socket FROM old) c
        ORDER BY pair, first_started, first_id),
    merged AS (
        SELECT b.*, least(p.pass_started, o.pass_started, 'infinity') AS pass_started,
               least(p.pass_day, o.pass_day, 'infinity') AS pass_day
        FROM best b LEFT JOIN passes p USING (pair) LEFT JOIN old o USING (pair)),
    -- A pair's row is written only when its first run or its first pass changed.
    changed AS (
        SELECT m.* FROM merged m LEFT JOIN old o USING (pair)
        WHERE o.pair IS NULL
           OR (m.first_id, m.pass_started, m.pass_day) IS DISTINCT FROM
              (o.first_id, o.pass_started, o.pass_day)),
    written AS (
        INSERT INTO zelor_pairs AS t (pair, first_id, first_started, first_day, first_station,
                                      first_passed, first_socket, pass_started, pass_day)
        SELECT pair, first_id, first_started, first_day, first_station, first_passed,
               first_socket, pass_started, pass_day FROM changed
        ON CONFLICT (pair) DO UPDATE SET first_id = excluded.first_id,
            first_started = excluded.first_started, first_day = excluded.first_day,
            first_station = excluded.first_station, first_passed = excluded.first_passed,
            first_socket = excluded.first_socket, pass_started = excluded.pass_started,
            pass_day = excluded.pass_day),
    changes AS (
        SELECT first_day, first_station, first_socket, first_passed, pass_day, 1 AS n FROM changed
        UNION ALL
        SELECT first_day, first_station, first_socket, first_passed, pass_day, -1 FROM old
        WHERE pair IN (SELECT pair FROM changed))
    INSERT INTO zelor_day_first_runs AS t (day, station, socket, first_passed, pass_day, writer,
                                           pairs)
    SELECT first_day, first_station, first_socket, first_passed, pass_day, session_user, sum(n)
    FROM changes GROUP BY 1, 2, 3, 4, 5 HAVING sum(n) <> 0
    ON CONFLICT (day, station, socket, first_passed, pass_day, writer)
    DO UPDATE SET pairs = t.pairs + excluded.pairs;
    RETURN NULL;
END
$$;

-- Runs emptied, summaries emptied.
CREATE OR REPLACE FUNCTION zelor_forget_runs() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    TRUNCATE zelor_pairs, zelor_day_runs, zelor_day_failures, zelor_day_cycle_times,
             zelor_line_day_cycle_times, zelor_month_cycle_times, zelor_day_first_runs,
             zelor_station_runs;
    RETURN NULL;
END
$$;

-- Every summary counted afresh from the runs stored: after a restore, a
-- delete by hand, an upgrade. No station adds runs meanwhile (they wait on
-- the lock), so that each run is counted once.
CREATE OR REPLACE FUNCTION zelor_recount() RETURNS bigint
LANGUAGE plpgsql SET search_path = public, pg_temp AS $$
BEGIN
    LOCK TABLE zelor_runs IN SHARE ROW EXCLUSIVE MODE;
    TRUNCATE zelor_pairs, zelor_day_runs, zelor_day_failures, zelor_day_cycle_times,
             zelor_line_day_cycle_times, zelor_month_cycle_times, zelor_day_first_runs,
             zelor_station_runs;
    INSERT INTO zelor_station_runs (station, runs)
    SELECT station, count(*) FROM zelor_runs GROUP BY station;
    INSERT INTO zelor_day_runs (day, station, socket, runs, passed, paired)
    SELECT day, station, coalesce(socket, ''), count(*), count(*) FILTER (WHERE verdict = 'PASSED'),
           count(pair)
    FROM zelor_runs GROUP BY 1, 2, 3;
    INSERT INTO zelor_day_failures (day, station, socket, fail_code, runs)
    SELECT day, station, coalesce(socket, ''), fail_code, count(*) FROM zelor_runs
    WHERE verdict = 'FAILED' GROUP BY 1, 2, 3, 4;
    INSERT INTO zelor_day_cycle_times (day, station, ms, runs)
    SELECT day, station, zelor_cycle_ms(duration_ms), count(*) FROM zelor_runs
    WHERE verdict = 'PASSED' GROUP BY 1, 2, 3;
    INSERT INTO zelor_line_day_cycle_times (day, ms, station, runs)
    SELECT day, ms, station, runs FROM zelor_day_cycle_times;
    INSERT INTO zelor_month_cycle_times (month, station, ms, runs)
    SELECT date_trunc('month', day)::date, station, ms, sum(runs) FROM zelor_day_cycle_times
    GROUP BY 1, 2, 3;
    INSERT INTO zelor_pairs (pair, first_id, first_started, first_day, first_station,
                             first_passed, first_socket, pass_started, pass_day)
    SELECT DISTINCT ON (pair) pair, id, started, day, station, verdict = 'PASSED',
           coalesce(socket, ''), coalesce(min(started) FILTER (WHERE verdict = 'PASSED') OVER w, 'infinity'),
           coalesce(min(day) FILTER (WHERE verdict = 'PASSED') OVER w, 'infinity')
    FROM zelor_runs WHERE pair IS NOT NULL
    WINDOW w AS (PARTITION BY pair) ORDER BY pair, started, id;
    INSERT INTO zelor_day_first_runs (day, station, socket, first_passed, pass_day, writer, pairs)
    SELECT first_day, first_station, first_socket, first_passed, pass_day, '', count(*)
    FROM zelor_pairs GROUP BY 1, 2, 3, 4, 5;
    RETURN (SELECT count(*) FROM zelor_runs);
END
$$;

-- The runs of the days before `before` removed, with their records; the
-- summaries counted again; the line's retention limit moved to that day, so
-- that no station sends them again. Returns the runs removed.
CREATE OR REPLACE FUNCTION zelor_purge_before(before date) RETURNS bigint
LANGUAGE plpgsql SET search_path = public, pg_temp AS $$
DECLARE
    removed bigint;
BEGIN
    IF before > current_date + 1 THEN
        RAISE EXCEPTION 'the day % lies in the future: nothing purged', before
            USING ERRCODE = '22008';
    END IF;
    LOCK TABLE zelor_runs IN SHARE ROW EXCLUSIVE MODE;
    UPDATE zelor_schema SET retained_from = greatest(retained_from, before);
    DELETE FROM zelor_records WHERE id IN (SELECT id FROM zelor_runs WHERE day < before);
    DELETE FROM zelor_runs WHERE day < before;
    GET DIAGNOSTICS removed = ROW_COUNT;
    PERFORM zelor_recount();
    RETURN removed;
END
$$;

-- Why a record cannot be stored, or NULL when it can; `started` and `day`
-- from it. The limits: a record of at most 65536 bytes, a start with its UTC
-- offset and at most a day after the server's clock, a cycle time under a
-- day, the verdicts and codes of the failure table, at most 64 chips with
-- serial numbers of at most 64 characters (what an FTDI chip's EEPROM holds).
CREATE OR REPLACE FUNCTION zelor_refusal(r jsonb, OUT why text, OUT started timestamptz,
                                         OUT day date)
LANGUAGE plpgsql STABLE SET search_path = public, pg_temp AS $$
DECLARE
    start text := r->>'start';
    code jsonb := r->'failCode';
    duration jsonb := r->'durationMs';
    chips jsonb := coalesce(r->'chips', '[]');
BEGIN
    IF jsonb_typeof(r) <> 'object' THEN
        why := 'not a JSON object';
    ELSIF r->'schema' IS DISTINCT FROM '1'::jsonb THEN
        why := 'not a record of schema 1';
    ELSIF jsonb_typeof(r->'start') IS DISTINCT FROM 'string' OR start !~
          '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,6})?(Z|[+-]\d\d:\d\d)$' THEN
        why := 'no start with its UTC offset';
    ELSIF jsonb_typeof(duration) IS DISTINCT FROM 'number' OR duration::numeric < 0
          OR duration::numeric >= 86400000 THEN
        why := 'no cycle time from 0 to a day';
    ELSIF r->>'verdict' IS NULL OR r->>'verdict' NOT IN ('PASSED', 'FAILED')
          OR jsonb_typeof(r->'verdict') <> 'string' THEN
        why := 'no verdict PASSED or FAILED';
    ELSIF jsonb_typeof(code) IS DISTINCT FROM 'number'
          OR code::numeric NOT IN (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20) THEN
        why := 'no failure code of the table';
    ELSIF jsonb_typeof(chips) <> 'array' OR jsonb_array_length(chips) > 64 THEN
        why := 'no list of at most 64 chips';
    ELSIF EXISTS (SELECT FROM jsonb_array_elements(chips) c
                  WHERE jsonb_typeof(c->'serial') IS DISTINCT FROM 'string'
                     OR length(c->>'serial') > 64 OR strpos(c->>'serial', E'\n') > 0) THEN
        -- A pair is keyed by its two serial numbers, one a line.
        why := 'a chip without a serial number of at most 64 characters on one line';
    ELSIF r ? 'socket' AND (jsonb_typeof(r->'socket') <> 'string'
                            OR length(r->>'socket') > 64) THEN
        why := 'a socket label that is not text of at most 64 characters';
    ELSE
        started := start::timestamptz;
        day := left(start, 10)::date;
        IF started > now() + interval '1 day' THEN
            why := 'starts more than a day after the server''s clock';
        END IF;
    END IF;
    IF why IS NOT NULL THEN
        started := NULL;
        day := NULL;
    END IF;
END
$$;

-- What a station calls to store its records, and all it may call but
-- zelor_has: `lines`, its journal's lines as written; `line_ids`, for a
-- record written before records had an id, the id the station derived from
-- its line (taken only for such a record). Every column comes from the
-- record, under the session's login. For each line in order: 'stored',
-- 'already stored', 'expired' (a day before the line's retention limit) or
-- 'refused' with the reason, and the station's count of runs stored after
-- them. One record's refusal never refuses the others.
CREATE OR REPLACE FUNCTION zelor_submit(lines text[], line_ids uuid[] DEFAULT '{}')
RETURNS TABLE (n integer, id uuid, outcome text, reason text, records bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    kept date;
    r jsonb;
    rid uuid;
    why_ text;
    started_ timestamptz;
    day_ date;
    verdicts text[] := '{}';
    reasons text[] := '{}';
    ids uuid[] := '{}';
    starts timestamptz[] := '{}';
    days date[] := '{}';
    docs jsonb[] := '{}';
    stored uuid[];
BEGIN
    IF current_setting('transaction_isolation') <> 'read committed' THEN
        RAISE EXCEPTION 'records are stored at the isolation level read committed only'
            USING ERRCODE = '25001';
    END IF;
    IF array_length(lines, 1) > 1000 THEN
        RAISE EXCEPTION 'at most 1000 records a call' USING ERRCODE = '54000';
    END IF;
    -- After a purge that runs meanwhile, and its retention limit.
    LOCK TABLE zelor_runs IN ROW EXCLUSIVE MODE;
    kept := (SELECT retained_from FROM zelor_schema);
    FOR i IN 1 .. coalesce(array_length(lines, 1), 0) LOOP
        r := NULL; rid := NULL; started_ := NULL; day_ := NULL;
        BEGIN
            IF octet_length(lines[i]) > 65536 THEN
                reasons[i] := 'over 65536 bytes';
            ELSE
                r := lines[i]::jsonb;
                SELECT f.why, f.started, f.day INTO why_, started_, day_
                FROM zelor_refusal(r) f;
                reasons[i] := why_;
                IF reasons[i] IS NULL THEN
                    -- A record without an id of its own, as the report reads it: the
                    -- id the station derived from its line.
                    BEGIN
                        rid := (r->>'id')::uuid;
                    EXCEPTION WHEN invalid_text_representation THEN
                        rid := NULL;
                    END;
                    rid := coalesce(rid, line_ids[i]);
                    IF rid IS NULL THEN
                        reasons[i] := 'no id';
                    END IF;
                END IF;
            END IF;
        EXCEPTION WHEN others THEN
            reasons[i] := 'not a record: ' || SQLERRM;
        END;
        -- Every array gets every line's element: unnest pairs them by place.
        ids[i] := rid;
        verdicts[i] := CASE WHEN reasons[i] IS NOT NULL THEN 'refused'
                            WHEN day_ < kept THEN 'expired' END;
        starts[i] := CASE WHEN verdicts[i] IS NULL THEN started_ END;
        days[i] := CASE WHEN verdicts[i] IS NULL THEN day_ END;
        docs[i] := CASE WHEN verdicts[i] IS NULL THEN r END;
    END LOOP;
    -- In the order sent: the arrivals follow the journal.
    WITH sent AS (
        SELECT * FROM (
            SELECT DISTINCT ON (s.id) s.* FROM unnest(ids, starts, days, docs)
                WITH ORDINALITY AS s (id, started, day, doc, ord)
            WHERE s.doc IS NOT NULL ORDER BY s.id, s.ord) d
        ORDER BY d.ord),
    runs AS (
        INSERT INTO zelor_runs (id, started, day, verdict, fail_code, duration_ms, socket, pair)
        SELECT s.id, s.started, s.day, s.doc->>'verdict', (s.doc->>'failCode')::integer,
               (s.doc->>'durationMs')::float8, nullif(s.doc->>'socket', ''),
               CASE WHEN jsonb_array_length(coalesce(s.doc->'chips', '[]')) = 2 THEN
                   (SELECT string_agg(c->>'serial', E'\n' ORDER BY c->>'serial' COLLATE "C")
                    FROM jsonb_array_elements(s.doc->'chips') c) END
        FROM sent s ORDER BY s.ord
        ON CONFLICT ON CONSTRAINT zelor_runs_pkey DO NOTHING RETURNING zelor_runs.id),
    records AS (
        INSERT INTO zelor_records (id, record)
        SELECT s.id, s.doc FROM sent s JOIN runs USING (id) RETURNING zelor_records.id)
    SELECT array_agg(records.id) INTO stored FROM records;
    -- What the others stored meanwhile is seen from here on.
    RETURN QUERY
    SELECT l.n::integer, ids[l.n],
           CASE WHEN verdicts[l.n] IS NOT NULL THEN verdicts[l.n]
                WHEN ids[l.n] = ANY(stored) AND array_position(ids[1 : l.n - 1], ids[l.n]) IS NULL
                    THEN 'stored'
                WHEN o.station = session_user THEN 'already stored'
                ELSE 'refused' END,
           CASE WHEN verdicts[l.n] IS NOT NULL THEN reasons[l.n]
                WHEN ids[l.n] = ANY(stored) OR o.station = session_user THEN NULL
                ELSE 'its id is stored under another station' END,
           (SELECT coalesce(max(t.runs), 0) FROM zelor_station_runs t WHERE t.station = session_user)
    FROM generate_series(1, coalesce(array_length(lines, 1), 0)) AS l (n)
    LEFT JOIN zelor_runs o ON o.id = ids[l.n]
    ORDER BY l.n;
END
$$;

-- Which of `ids` the calling station has stored, its count of runs stored,
-- the line's retention limit and the database's id; nothing of another
-- station's.
CREATE OR REPLACE FUNCTION zelor_has(ids uuid[], OUT stored uuid[], OUT records bigint,
                                     OUT retained_from date, OUT instance uuid)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = public, pg_temp AS $$
SELECT coalesce((SELECT array_agg(r.id) FROM zelor_runs r
                 WHERE r.id = ANY(ids) AND r.station = session_user), '{}'),
       coalesce((SELECT t.runs FROM zelor_station_runs t WHERE t.station = session_user), 0),
       s.retained_from, s.instance
FROM zelor_schema s
$$;

CREATE OR REPLACE TRIGGER zelor_runs_counted AFTER INSERT ON zelor_runs
    REFERENCING NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION zelor_count_runs();
CREATE OR REPLACE TRIGGER zelor_runs_emptied AFTER TRUNCATE ON zelor_runs
    FOR EACH STATEMENT EXECUTE FUNCTION zelor_forget_runs();

-- Only the stations' role may call these (roles.sql); nobody else.
REVOKE ALL ON FUNCTION zelor_submit(text[], uuid[]), zelor_has(uuid[]), zelor_recount(),
    zelor_purge_before(date) FROM PUBLIC;

-- A database of a version before 5, or new: the sockets of the runs stored
-- before, from their records; the summaries counted afresh.
UPDATE zelor_runs r SET socket = nullif(c.record->>'socket', '')
FROM zelor_records c, zelor_found f
WHERE f.version < 5 AND c.id = r.id AND c.record ? 'socket' AND r.socket IS NULL;
SELECT zelor_recount() FROM zelor_found WHERE version < 5;
UPDATE zelor_schema SET version = 5;
DROP TABLE zelor_found;
