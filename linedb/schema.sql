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
UPDATE zelor_schema SET version = 3 WHERE version < 3;

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

-- A station writes only as itself: the server fills the station, the arrival
-- and the time received (a station may not write them, roles.sql), and
-- refuses what no station records. Rows from before these checks are left as
-- they are (NOT VALID).
ALTER TABLE zelor_runs ALTER COLUMN station SET DEFAULT session_user;
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

CREATE TABLE IF NOT EXISTS zelor_day_runs (
    day     date NOT NULL,
    station text NOT NULL,
    runs    bigint NOT NULL,
    passed  bigint NOT NULL,
    paired  bigint NOT NULL,                  -- runs of two chips
    PRIMARY KEY (day, station)
);

CREATE TABLE IF NOT EXISTS zelor_day_failures (
    day       date NOT NULL,
    station   text NOT NULL,
    fail_code integer NOT NULL,
    runs      bigint NOT NULL,
    PRIMARY KEY (day, station, fail_code)
);

CREATE TABLE IF NOT EXISTS zelor_day_cycle_times (
    day     date NOT NULL,
    station text NOT NULL,
    ms      bigint NOT NULL,
    runs    bigint NOT NULL,
    PRIMARY KEY (day, station, ms)
);

-- The same cycle times for the whole line by day, and for each station by
-- month (the month's first day): what a report of many days reads.
CREATE TABLE IF NOT EXISTS zelor_line_day_cycle_times (
    day  date NOT NULL,
    ms   bigint NOT NULL,
    runs bigint NOT NULL,
    PRIMARY KEY (day, ms)
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

-- The pairs whose first run is on this day at this station.
CREATE TABLE IF NOT EXISTS zelor_day_first_runs (
    day          date NOT NULL,
    station      text NOT NULL,
    first_passed boolean NOT NULL,
    pass_day     date NOT NULL,
    pairs        bigint NOT NULL,
    PRIMARY KEY (day, station, first_passed, pass_day)
);

-- A cycle time as the report keeps it: whole milliseconds, half up, at most
-- 10^12.
CREATE OR REPLACE FUNCTION zelor_cycle_ms(duration_ms double precision) RETURNS bigint
LANGUAGE sql IMMUTABLE AS
'SELECT least(greatest(floor(duration_ms + 0.5), 0), 1e12)::bigint';

CREATE OR REPLACE FUNCTION zelor_count_runs() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    -- One writer at a time: a pair's first run is decided against all that
    -- the others committed.
    PERFORM pg_advisory_xact_lock(4103300417);
    INSERT INTO zelor_day_runs AS t (day, station, runs, passed, paired)
    SELECT day, station, count(*), count(*) FILTER (WHERE verdict = 'PASSED'), count(pair)
    FROM added GROUP BY day, station
    ON CONFLICT (day, station) DO UPDATE SET runs = t.runs + excluded.runs,
        passed = t.passed + excluded.passed, paired = t.paired + excluded.paired;
    INSERT INTO zelor_day_failures AS t (day, station, fail_code, runs)
    SELECT day, station, fail_code, count(*) FROM added WHERE verdict = 'FAILED'
    GROUP BY day, station, fail_code
    ON CONFLICT (day, station, fail_code) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_day_cycle_times AS t (day, station, ms, runs)
    SELECT day, station, zelor_cycle_ms(duration_ms), count(*) FROM added
    WHERE verdict = 'PASSED' GROUP BY 1, 2, 3
    ON CONFLICT (day, station, ms) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_line_day_cycle_times AS t (day, ms, runs)
    SELECT day, zelor_cycle_ms(duration_ms), count(*) FROM added
    WHERE verdict = 'PASSED' GROUP BY 1, 2
    ON CONFLICT (day, ms) DO UPDATE SET runs = t.runs + excluded.runs;
    INSERT INTO zelor_month_cycle_times AS t (month, station, ms, runs)
    SELECT date_trunc('month', day)::date, station, zelor_cycle_ms(duration_ms), count(*)
    FROM added WHERE verdict = 'PASSED' GROUP BY 1, 2, 3
    ON CONFLICT (month, station, ms) DO UPDATE SET runs = t.runs + excluded.runs;
    WITH firsts AS (
        SELECT DISTINCT ON (pair) pair, id AS first_id, started AS first_started,
               day AS first_day, station AS first_station, verdict = 'PASSED' AS first_passed
        FROM added WHERE pair IS NOT NULL ORDER BY pair, started, id),
    passes AS (
        SELECT pair, min(started) AS pass_started, min(day) AS pass_day
        FROM added WHERE pair IS NOT NULL AND verdict = 'PASSED' GROUP BY pair),
    old AS (SELECT p.* FROM zelor_pairs p JOIN firsts USING (pair)),
    best AS (
        SELECT DISTINCT ON (pair) * FROM (
            SELECT * FROM firsts
            UNION ALL
            SELECT pair, first_id, first_started, first_day, first_station, first_passed FROM old) c
        ORDER BY pair, first_started, first_id),
    merged AS (
        SELECT b.*, least(p.pass_started, o.pass_started, 'infinity') AS pass_started,
               least(p.pass_day, o.pass_day, 'infinity') AS pass_day
        FROM best b LEFT JOIN passes p USING (pair) LEFT JOIN old o USING (pair)),
    written AS (
        INSERT INTO zelor_pairs AS t (pair, first_id, first_started, first_day, first_station,
                                      first_passed, pass_started, pass_day)
        SELECT pair, first_id, first_started, first_day, first_station, first_passed,
               pass_started, pass_day FROM merged
        ON CONFLICT (pair) DO UPDATE SET first_id = excluded.first_id,
            first_started = excluded.first_started, first_day = excluded.first_day,
            first_station = excluded.first_station, first_passed = excluded.first_passed,
            pass_started = excluded.pass_started, pass_day = excluded.pass_day),
    changes AS (
        SELECT first_day, first_station, first_passed, pass_day, 1 AS n FROM merged
        UNION ALL
        SELECT first_day, first_station, first_passed, pass_day, -1 FROM old)
    INSERT INTO zelor_day_first_runs AS t (day, station, first_passed, pass_day, pairs)
    SELECT first_day, first_station, first_passed, pass_day, sum(n) FROM changes
    GROUP BY 1, 2, 3, 4 HAVING sum(n) <> 0
    ON CONFLICT (day, station, first_passed, pass_day) DO UPDATE SET pairs = t.pairs + excluded.pairs;
    RETURN NULL;
END
$$;

-- Runs emptied, summaries emptied.
CREATE OR REPLACE FUNCTION zelor_forget_runs() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    TRUNCATE zelor_pairs, zelor_day_runs, zelor_day_failures, zelor_day_cycle_times,
             zelor_line_day_cycle_times, zelor_month_cycle_times, zelor_day_first_runs;
    RETURN NULL;
END
$$;

-- Runs stored before the summaries existed are counted once, when they are
-- made; no station adds runs meanwhile, so that each is counted once, by the
-- trigger below or here.
LOCK TABLE zelor_runs IN SHARE ROW EXCLUSIVE MODE;
DO $$
BEGIN
    IF EXISTS (SELECT 1 FROM zelor_day_runs) OR NOT EXISTS (SELECT 1 FROM zelor_runs) THEN
        RETURN;
    END IF;
    INSERT INTO zelor_day_runs (day, station, runs, passed, paired)
    SELECT day, station, count(*), count(*) FILTER (WHERE verdict = 'PASSED'), count(pair)
    FROM zelor_runs GROUP BY day, station;
    INSERT INTO zelor_day_failures (day, station, fail_code, runs)
    SELECT day, station, fail_code, count(*) FROM zelor_runs WHERE verdict = 'FAILED'
    GROUP BY day, station, fail_code;
    INSERT INTO zelor_day_cycle_times (day, station, ms, runs)
    SELECT day, station, zelor_cycle_ms(duration_ms), count(*) FROM zelor_runs
    WHERE verdict = 'PASSED' GROUP BY 1, 2, 3;
    INSERT INTO zelor_pairs (pair, first_id, first_started, first_day, first_station,
                             first_passed, pass_started, pass_day)
    SELECT DISTINCT ON (pair) pair, id, started, day, station, verdict = 'PASSED',
           coalesce(min(started) FILTER (WHERE verdict = 'PASSED') OVER w, 'infinity'),
           coalesce(min(day) FILTER (WHERE verdict = 'PASSED') OVER w, 'infinity')
    FROM zelor_runs WHERE pair IS NOT NULL
    WINDOW w AS (PARTITION BY pair) ORDER BY pair, started, id;
    INSERT INTO zelor_day_first_runs (day, station, first_passed, pass_day, pairs)
    SELECT first_day, first_station, first_passed, pass_day, count(*) FROM zelor_pairs
    GROUP BY 1, 2, 3, 4;
END
$$;
-- Summaries of a version before the line's and the months' cycle times.
INSERT INTO zelor_line_day_cycle_times (day, ms, runs)
SELECT day, ms, sum(runs) FROM zelor_day_cycle_times
WHERE NOT EXISTS (SELECT FROM zelor_line_day_cycle_times) GROUP BY 1, 2;
INSERT INTO zelor_month_cycle_times (month, station, ms, runs)
SELECT date_trunc('month', day)::date, station, ms, sum(runs) FROM zelor_day_cycle_times
WHERE NOT EXISTS (SELECT FROM zelor_month_cycle_times) GROUP BY 1, 2, 3;

CREATE OR REPLACE TRIGGER zelor_runs_counted AFTER INSERT ON zelor_runs
    REFERENCING NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION zelor_count_runs();
CREATE OR REPLACE TRIGGER zelor_runs_emptied AFTER TRUNCATE ON zelor_runs
    FOR EACH STATEMENT EXECUTE FUNCTION zelor_forget_runs();
