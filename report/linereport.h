#pragma once

#include "linedb/linedatabase.h"
#include "report/htmlreport.h"
#include "report/yieldreport.h"

// The yield report over the whole line's records in the line database,
// counted by the database itself (by day, station and code), so that a year
// of a busy line reports without pulling every row.
namespace linereport {

bool summarize(LineDatabase &database, const yieldreport::Filter &filter,
               yieldreport::Summary *summary, QString *error);

// The HTML page's figures, cycle-time histogram and latest failures (its
// sources and period are the caller's).
bool page(LineDatabase &database, const yieldreport::Filter &filter, htmlreport::Page *page,
          QString *error);

// The selected runs, one a row, for the CSV.
bool runs(LineDatabase &database, const yieldreport::Filter &filter, QList<yieldreport::Run> *runs,
          QString *error);

} // namespace linereport
