#pragma once

#include <QString>

// Where a station's run records go beside its journal: a PostgreSQL line
// database named by a libpq connection string, from the environment
// variable ZELOR_RECORDS_DATABASE, else from `[records] database=` in
// zelor-k3-tester.ini in the folder the station starts in. The station's
// name comes from `[records] station=`, else, with a line database, from the
// login the server reports for its session (what the string, PGUSER or a
// service file name), else the host name. No setting: no line database.
struct LineConfig {
    static inline const QString IniFile = QStringLiteral("zelor-k3-tester.ini");

    QString conninfo; // empty: no line database
    QString station;
    bool stationGiven = false; // by `[records] station=`; else the login's, once connected
    QString problem; // why the setting is not used; empty when it is

    bool configured() const { return !conninfo.isEmpty() && problem.isEmpty(); }

    static LineConfig load();
};
