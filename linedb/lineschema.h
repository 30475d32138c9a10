#pragma once

#include "linedb/linedatabase.h"

// The line database's tables and indexes (linedb/schema.sql) and the
// stations' role (linedb/roles.sql).
namespace lineschema {

// Creates them unless there; again changes nothing. When the login may not
// create the stations' role, the tables are made all the same and
// `forSomeoneElse` gets the statements for someone who may.
bool create(LineDatabase &database, QString *error, QString *forSomeoneElse);

} // namespace lineschema
