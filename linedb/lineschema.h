#pragma once

#include "linedb/linedatabase.h"

// The line database's tables and indexes (linedb/schema.sql) and the
// stations' role (linedb/roles.sql).
namespace lineschema {

// Creates them unless there; again changes nothing. When the login may not
// create the stations' role, the tables are made all the same and
// `forSomeoneElse` gets the statements for someone who may.
bool create(LineDatabase &database, QString *error, QString *forSomeoneElse);

// The owner's operations. A station's login: CREATE ROLE NAME LOGIN
// CONNECTION LIMIT 2 IN ROLE zelor_station; when this login may not create
// it, `forSomeoneElse` gets the statement.
bool addStation(LineDatabase &database, const QString &name, QString *error,
                QString *forSomeoneElse);
// The runs of the days before `day` removed and the summaries counted
// again; the line's retention limit moved there. `removed`: how many.
bool purgeBefore(LineDatabase &database, const QString &day, qint64 *removed, QString *error);
// Every summary counted afresh from the runs stored; `runs`: how many.
bool recount(LineDatabase &database, qint64 *runs, QString *error);

} // namespace lineschema
