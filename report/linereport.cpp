#include "report/linereport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace linereport {

namespace {

using yieldreport::Figures;
using yieldreport::Filter;

// The runs the filter selects, as a common table expression; its parameters
// are $1 to $5.
const QString Selected = QStringLiteral(
    "WITH sel AS (SELECT * FROM zelor_runs "
    "WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::timestamptz IS NULL OR started >= $2) "
    "AND ($3::date IS NULL OR day <= $3::date) AND ($4::timestamptz IS NULL OR started <= $4) "
    "AND ($5::text IS NULL OR station = $5)) ");

QStringList parameters(const Filter &filter)
{
    auto time = [](const yieldreport::Bound &b) {
        return b.time.isValid() ? b.time.toString(Qt::ISODateWithMs) : QString();
    };
    auto orNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    return { orNull(filter.since.day), time(filter.since), orNull(filter.until.day),
             time(filter.until), orNull(filter.station) };
}

// Runs, passes, pairs and cycle times, in all, by day and by station; a pair
// counts where its first selected run is, found in one sort of the runs.
const QString FiguresQuery
    = Selected
    + QStringLiteral(
          ", flagged AS (SELECT day, station, verdict, duration_ms, pair IS NOT NULL AND "
          "row_number() OVER (PARTITION BY pair ORDER BY started, arrival) = 1 AS first FROM sel) "
          "SELECT GROUPING(day), GROUPING(station), day::text, station, count(*), "
          "count(*) FILTER (WHERE verdict = 'PASSED'), count(*) FILTER (WHERE first), "
          "count(*) FILTER (WHERE first AND verdict = 'PASSED'), "
          "percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_ms), "
          "percentile_disc(0.95) WITHIN GROUP (ORDER BY duration_ms) "
          "FROM flagged GROUP BY GROUPING SETS ((), (day), (station))");

// The sorts of a year's runs fit in memory.
const QString ReportMemory = QStringLiteral("SET work_mem = '256MB'");

const QString FailuresQuery = Selected
    + QStringLiteral("SELECT GROUPING(day), GROUPING(station), day::text, station, fail_code, "
                     "count(*) FROM sel WHERE verdict = 'FAILED' "
                     "GROUP BY GROUPING SETS ((fail_code), (day, fail_code), "
                     "(station, fail_code))");

// Cycle times in the bins htmlreport::histogram() makes, counted here.
const QString HistogramQuery = Selected
    + QStringLiteral(", bounds AS (SELECT min(duration_ms) AS low, CASE WHEN max(duration_ms) > "
                     "min(duration_ms) THEN (max(duration_ms) - min(duration_ms)) / %1 ELSE 1 "
                     "END AS width FROM sel) "
                     "SELECT low, width, least(floor((duration_ms - low) / width)::integer, %2), "
                     "count(*) FROM sel, bounds GROUP BY 1, 2, 3")
          .arg(htmlreport::HistogramBins)
          .arg(htmlreport::HistogramBins - 1);

const QString LatestFailuresQuery = Selected
    + QStringLiteral("SELECT record->>'start', station, record->'chips', fail_code FROM sel "
                     "JOIN zelor_records ON zelor_records.id = sel.id WHERE verdict = 'FAILED' "
                     "ORDER BY started DESC, arrival DESC LIMIT %1")
          .arg(htmlreport::LatestFailures);

const QString RunsQuery = Selected
    + QStringLiteral("SELECT sel.id::text, station, record->>'run', record->>'start', "
                     "record->>'end', duration_ms, record->>'host', record->>'backend', "
                     "record->'chips'->0->>'serial', record->'chips'->1->>'serial', verdict, "
                     "fail_code FROM sel JOIN zelor_records ON zelor_records.id = sel.id "
                     "ORDER BY started, arrival");

// Where a row of a grouping-sets query belongs: everything, a day, a station.
Figures *figuresOf(yieldreport::Summary *summary, const QStringList &row)
{
    if (row[0] == QLatin1String("1") && row[1] == QLatin1String("1"))
        return &summary->all;
    if (row[0] == QLatin1String("0"))
        return &summary->days[row[2]];
    return &summary->stations[row[3]];
}

} // namespace

bool summarize(LineDatabase &database, const Filter &filter, yieldreport::Summary *summary,
               QString *error)
{
    database.exec(ReportMemory); // a speed-up only: a server that refuses it still reports
    const LineDatabase::Result figures = database.exec(FiguresQuery, parameters(filter));
    if (!figures.ok) {
        *error = figures.error;
        return false;
    }
    *summary = {};
    for (const QStringList &row : figures.rows) {
        Figures *f = figuresOf(summary, row);
        f->runs = row[4].toInt();
        f->passed = row[5].toInt();
        f->pairs = row[6].toInt();
        f->pairsFirstPassed = row[7].toInt();
        if (!row[8].isNull()) {
            f->median = row[8].toDouble();
            f->percentile95 = row[9].toDouble();
        }
    }
    const LineDatabase::Result failures = database.exec(FailuresQuery, parameters(filter));
    if (!failures.ok) {
        *error = failures.error;
        return false;
    }
    for (const QStringList &row : failures.rows)
        figuresOf(summary, row)->failures.insert(row[4].toInt(), row[5].toInt());
    if (summary->all.runs == 0) // no runs: no days, no stations
        *summary = {};
    return true;
}

bool page(LineDatabase &database, const Filter &filter, htmlreport::Page *page, QString *error)
{
    if (!summarize(database, filter, &page->summary, error))
        return false;
    const LineDatabase::Result bins = database.exec(HistogramQuery, parameters(filter));
    const LineDatabase::Result failures = database.exec(LatestFailuresQuery, parameters(filter));
    if (!bins.ok || !failures.ok) {
        *error = bins.ok ? failures.error : bins.error;
        return false;
    }
    page->cycleTimes = {};
    for (const QStringList &row : bins.rows) {
        page->cycleTimes.from = row[0].toDouble();
        page->cycleTimes.width = row[1].toDouble();
        page->cycleTimes.counts.resize(htmlreport::HistogramBins);
        page->cycleTimes.counts[row[2].toInt()] = row[3].toInt();
    }
    page->latestFailures.clear();
    for (const QStringList &row : failures.rows) {
        htmlreport::Failure failure { row[0], row[1], {}, row[3].toInt() };
        for (const QJsonValue &chip : QJsonDocument::fromJson(row[2].toUtf8()).array())
            failure.serials << chip.toObject().value(QLatin1String("serial")).toString();
        page->latestFailures << failure;
    }
    return true;
}

bool runs(LineDatabase &database, const Filter &filter, QList<yieldreport::Run> *runs,
          QString *error)
{
    const LineDatabase::Result result = database.exec(RunsQuery, parameters(filter));
    if (!result.ok) {
        *error = result.error;
        return false;
    }
    for (const QStringList &row : result.rows) {
        yieldreport::Run run;
        run.id = row[0];
        run.station = row[1];
        run.run = row[2].toInt();
        run.start = row[3];
        run.end = row[4];
        run.durationMs = row[5].toDouble();
        run.host = row[6];
        run.backend = row[7];
        for (const QString &serial : { row[8], row[9] }) {
            if (!serial.isNull())
                run.serials << serial;
        }
        run.passed = row[10] == QLatin1String("PASSED");
        run.failCode = row[11].toInt();
        *runs << run;
    }
    return true;
}

} // namespace linereport
