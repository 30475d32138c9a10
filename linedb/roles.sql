-- The stations' group role: each station logs in with a role of its own in
-- it (zelor-k3-report --add-station NAME: CREATE ROLE NAME LOGIN CONNECTION
-- LIMIT 2 IN ROLE zelor_station). It may call zelor_submit and zelor_has,
-- which store its records under its own login's name and tell which of its
-- own ids are in; it has no right on any table. Needs a role that may
-- create roles, and the tables' owner.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zelor_station') THEN
        CREATE ROLE zelor_station NOLOGIN;
    END IF;
END $$;
REVOKE ALL ON zelor_schema, zelor_runs, zelor_records FROM zelor_station;
REVOKE ALL (instance) ON zelor_schema FROM zelor_station;
REVOKE ALL (id, started, day, verdict, fail_code, duration_ms, pair) ON zelor_runs
    FROM zelor_station;
REVOKE ALL (id, record) ON zelor_records FROM zelor_station;
GRANT EXECUTE ON FUNCTION zelor_submit(text[], uuid[]), zelor_has(uuid[]) TO zelor_station;

-- A station's login holds at most two sessions (the station and one more, a
-- station restarted while its old session ends): one login cannot take the
-- server's connection slots.
DO $$
DECLARE
    login name;
BEGIN
    FOR login IN SELECT r.rolname FROM pg_roles r
                 JOIN pg_auth_members m ON m.member = r.oid
                 JOIN pg_roles g ON g.oid = m.roleid AND g.rolname = 'zelor_station'
                 WHERE r.rolcanlogin AND r.rolconnlimit < 0 LOOP
        EXECUTE format('ALTER ROLE %I CONNECTION LIMIT 2', login);
    END LOOP;
END $$;

-- No session holds a transaction open, or runs a statement, for longer than
-- a minute unless it says otherwise (the report does, for its own).
DO $$
BEGIN
    EXECUTE format('ALTER DATABASE %I SET idle_in_transaction_session_timeout = %L',
                   current_database(), '60s');
    EXECUTE format('ALTER DATABASE %I SET statement_timeout = %L', current_database(), '60s');
    -- A session whose station vanished (power, network) is found within two
    -- minutes, not the system's two hours, and frees its slot of the two.
    EXECUTE format('ALTER DATABASE %I SET tcp_keepalives_idle = 60', current_database());
    EXECUTE format('ALTER DATABASE %I SET tcp_keepalives_interval = 10', current_database());
    EXECUTE format('ALTER DATABASE %I SET tcp_keepalives_count = 6', current_database());
END $$;

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
    zelor_month_cycle_times, zelor_day_first_runs, zelor_station_runs, zelor_station_names
    TO zelor_reader;
