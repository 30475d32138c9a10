#pragma once

#include "linedb/linedatabase.h"

// The line database's tables, indexes and roles (linedb/schema.sql).
namespace lineschema {

// Creates them unless there; again changes nothing.
bool create(LineDatabase &database, QString *error);

} // namespace lineschema
