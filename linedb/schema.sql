-- The ZELOR-K3 line database: every station's run records, one row a run.
-- Run once by the database's owner: zelor-k3-report --database CONNINFO --create-schema
-- Running it again changes nothing.

CREATE TABLE IF NOT EXISTS zelor_schema (
    version integer NOT NULL
);
INSERT INTO zelor_schema (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM zelor_schema);

-- What the report counts, one narrow row a run: a year of a busy line is
-- scanned in seconds.
CREATE TABLE IF NOT EXISTS zelor_runs (
    id          uuid PRIMARY KEY,             -- the record's own id: a record sent twice is stored once
    arrival     bigint GENERATED ALWAYS AS IDENTITY,
    received    timestamptz NOT NULL DEFAULT now(),
    station     text NOT NULL,
    started     timestamptz NOT NULL,
    day         date NOT NULL,                -- the station's own calendar day of the start
    verdict     text NOT NULL CHECK (verdict IN ('PASSED', 'FAILED')),
    fail_code   integer NOT NULL,
    duration_ms double precision NOT NULL,
    pair        text                          -- the two chips' serial numbers, sorted, one a line
);

-- Each run's record as the station wrote it.
CREATE TABLE IF NOT EXISTS zelor_records (
    id     uuid PRIMARY KEY REFERENCES zelor_runs (id),
    record jsonb NOT NULL
);

CREATE INDEX IF NOT EXISTS zelor_runs_started ON zelor_runs (started);
CREATE INDEX IF NOT EXISTS zelor_runs_day ON zelor_runs (day);
CREATE INDEX IF NOT EXISTS zelor_runs_station_day ON zelor_runs (station, day);
CREATE INDEX IF NOT EXISTS zelor_runs_pair ON zelor_runs (pair, started, arrival) WHERE pair IS NOT NULL;
