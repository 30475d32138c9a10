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
UPDATE zelor_schema SET version = 2 WHERE version < 2;

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
