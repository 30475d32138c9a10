-- The stations' group role: each station logs in with a role of its own in
-- it (CREATE ROLE bench07 LOGIN IN ROLE zelor_station). It may add runs and
-- their records under its own login's name and look up which ids are in;
-- nothing else. Needs a role that may create roles, and the tables' owner.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zelor_station') THEN
        CREATE ROLE zelor_station NOLOGIN;
    END IF;
END $$;
REVOKE ALL ON zelor_schema, zelor_runs, zelor_records FROM zelor_station;
GRANT SELECT (instance) ON zelor_schema TO zelor_station;
GRANT SELECT (id), INSERT (id, started, day, verdict, fail_code, duration_ms, pair)
    ON zelor_runs TO zelor_station;
GRANT INSERT (id, record) ON zelor_records TO zelor_station;

-- Whoever reads the report logs in with a role of their own in this one
-- (CREATE ROLE line_report LOGIN IN ROLE zelor_reader): every table read,
-- none written.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zelor_reader') THEN
        CREATE ROLE zelor_reader NOLOGIN;
    END IF;
END $$;
GRANT SELECT ON zelor_schema, zelor_runs, zelor_records, zelor_pairs, zelor_day_runs,
    zelor_day_failures, zelor_day_cycle_times, zelor_line_day_cycle_times,
    zelor_month_cycle_times, zelor_day_first_runs TO zelor_reader;
