#pragma once

#include "linedb/linedatabase.h"
#include "report/htmlreport.h"
#include "report/yieldreport.h"

#include <functional>

// The yield report over the whole line's records in the line database. For
// whole days it reads the summaries the database keeps as runs arrive (by
// day and station, and each pair's first run), so that years of a busy line
// report in about a second; a period bounded by a time reads its runs and
// their pairs' first runs. The figures are those of yieldreport, defined
// there once. The report's statements run as long as they need: the
// stations' time-out is not theirs.
namespace linereport {

bool summarize(LineDatabase &database, const yieldreport::Filter &filter,
               yieldreport::Summary *summary, QString *error);

// The HTML page's figures, tiles and latest failures (its sources and period
// are the caller's).
bool page(LineDatabase &database, const yieldreport::Filter &filter, htmlreport::Page *page,
          QString *error);

// The stations with runs stored, by the names they stored them under.
bool stations(LineDatabase &database, QStringList *names, QString *error);

// The stations the line's owner renamed (zelor_station_names), added to
// `names`.
bool renamed(LineDatabase &database, yieldreport::StationNames *names, QString *error);

// The selected runs, one at a time, in the order they started, for the CSV;
// never all of them held at once.
bool runs(LineDatabase &database, const yieldreport::Filter &filter,
          const std::function<void(const yieldreport::Run &)> &each, QString *error);

} // namespace linereport
