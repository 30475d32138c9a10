#include "report/linereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace linereport {

namespace {

using yieldreport::Figures;
using yieldreport::Filter;
using yieldreport::Summary;

constexpr int CsvBatch = 10000;

// The summaries of the days and stations selected; parameters $1 to $3.
const QString Cells = QStringLiteral(
    " WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::date IS NULL OR day <= $2::date) "
    "AND ($3::text IS NULL OR station = $3)");

const QString RunsOfCells
    = QStringLiteral("SELECT day::text, station, runs, passed, paired FROM zelor_day_runs") + Cells;
const QString FailuresOfCells
    = QStringLiteral("SELECT day::text, station, fail_code, runs FROM zelor_day_failures") + Cells;
// A pair passed in the end when it passed by the last day selected.
const QString FirstRunsOfCells
    = QStringLiteral("SELECT day::text, station, sum(pairs), sum(pairs) FILTER (WHERE "
                     "first_passed), sum(pairs) FILTER (WHERE pass_day <> 'infinity' AND "
                     "pass_day <= coalesce($2::date, 'infinity')) FROM zelor_day_first_runs")
    + Cells + QStringLiteral(" GROUP BY day, station");
const QString CycleTimesOfCells
    = QStringLiteral("SELECT GROUPING(day), day::text, station, ms, sum(runs) FROM "
                     "zelor_day_cycle_times")
    + Cells + QStringLiteral(" GROUP BY GROUPING SETS ((day, ms), (station, ms))");

// The runs the filter selects, as a common table expression; its parameters
// are $1 to $5.
const QString Selected = QStringLiteral(
    "WITH sel AS (SELECT * FROM zelor_runs "
    "WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::timestamptz IS NULL OR started >= $2) "
    "AND ($3::date IS NULL OR day <= $3::date) AND ($4::timestamptz IS NULL OR started <= $4) "
    "AND ($5::text IS NULL OR station = $5)) ");

// The selected runs with what their pairs' whole history says.
const QString RunsWithPairs = Selected
    + QStringLiteral("SELECT sel.id::text, day::text, station, verdict, fail_code, duration_ms, "
                     "sel.pair, first_id::text, to_json(pass_started)#>>'{}', pass_day::text "
                     "FROM sel LEFT JOIN zelor_pairs ON zelor_pairs.pair = sel.pair");

const QString LatestFailuresQuery = Selected
    + QStringLiteral("SELECT record->>'start', station, record->'chips', fail_code, pair FROM sel "
                     "JOIN zelor_records ON zelor_records.id = sel.id WHERE verdict = 'FAILED' "
                     "ORDER BY started DESC, arrival DESC LIMIT %1")
          .arg(htmlreport::LatestFailures);

const QString PairRunsQuery = QStringLiteral(
    "SELECT pair, record->>'start', station, verdict, fail_code FROM zelor_runs "
    "JOIN zelor_records USING (id) WHERE pair IN (SELECT jsonb_array_elements_text($1::jsonb)) "
    "ORDER BY started, arrival");

const QString RunsQuery = Selected
    + QStringLiteral("SELECT sel.id::text, station, record->>'run', record->>'start', "
                     "record->>'end', duration_ms, record->>'host', record->>'backend', "
                     "record->'chips'->0->>'serial', record->'chips'->1->>'serial', verdict, "
                     "fail_code FROM sel JOIN zelor_records ON zelor_records.id = sel.id "
                     "ORDER BY started, arrival");

QStringList cellParameters(const Filter &filter)
{
    auto orNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    return { orNull(filter.since.day), orNull(filter.until.day), orNull(filter.station) };
}

QStringList parameters(const Filter &filter)
{
    auto time = [](const yieldreport::Bound &b) {
        return b.time.isValid() ? b.time.toString(Qt::ISODateWithMs) : QString();
    };
    auto orNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    return { orNull(filter.since.day), time(filter.since), orNull(filter.until.day),
             time(filter.until), orNull(filter.station) };
}

// Runs the report's statements, all or none.
struct Queries {
    LineDatabase &database;
    QString *error;
    bool exec(const QString &sql, const QStringList &params, LineDatabase::Result *result)
    {
        *result = database.exec(sql, params, LineDatabase::NoDeadline);
        if (!result->ok)
            *error = result->error;
        return result->ok;
    }
};

// Whole days: the summaries.
bool fromCells(Queries &q, const Filter &filter, Summary *summary)
{
    const QStringList params = cellParameters(filter);
    LineDatabase::Result runs, failures, firsts, times;
    if (!q.exec(RunsOfCells, params, &runs) || !q.exec(FailuresOfCells, params, &failures)
        || !q.exec(FirstRunsOfCells, params, &firsts) || !q.exec(CycleTimesOfCells, params, &times))
        return false;
    QMap<std::pair<QString, QString>, Figures> cells;
    for (const QStringList &row : runs.rows) {
        Figures &f = cells[{ row[0], row[1] }];
        f.runs = row[2].toInt();
        f.passed = row[3].toInt();
        f.pairedRuns = row[4].toInt();
    }
    for (const QStringList &row : failures.rows)
        cells[{ row[0], row[1] }].failures.insert(row[2].toInt(), row[3].toInt());
    for (const QStringList &row : firsts.rows) {
        Figures &f = cells[{ row[0], row[1] }];
        f.pairs = row[2].toInt();
        f.pairsFirstPassed = row[3].toInt();
        f.pairsFinallyPassed = row[4].toInt();
    }
    *summary = {};
    for (auto it = cells.cbegin(); it != cells.cend(); ++it)
        summary->add(it.key().first, it.key().second, it.value());
    // Cycle times by day and by station only: all the cells' would be many.
    for (const QStringList &row : times.rows) {
        const bool byDay = row[0] == QLatin1String("0");
        Figures &f = byDay ? summary->days[row[1]] : summary->stations[row[2]];
        f.cycleTimes[row[3].toLongLong()] += row[4].toInt();
        if (byDay)
            summary->all.cycleTimes[row[3].toLongLong()] += row[4].toInt();
    }
    return true;
}

// A period bounded by a time: its runs, judged by their pairs' history.
bool fromRuns(Queries &q, const Filter &filter, Summary *summary)
{
    LineDatabase::Result result;
    if (!q.exec(RunsWithPairs, parameters(filter), &result))
        return false;
    QList<yieldreport::Run> runs;
    QHash<QString, yieldreport::PairHistory> pairs;
    for (const QStringList &row : result.rows) {
        yieldreport::Run run;
        run.id = row[0];
        run.start = row[1]; // its day is all that counts here
        run.station = row[2];
        run.passed = row[3] == QLatin1String("PASSED");
        run.failCode = row[4].toInt();
        run.durationMs = row[5].toDouble();
        if (!row[6].isNull()) {
            run.serials = row[6].split(QLatin1Char('\n'));
            const bool passed = row[9] != QLatin1String("infinity");
            pairs.insert(row[6],
                         { row[7],
                           {},
                           passed ? QDateTime::fromString(row[8], Qt::ISODateWithMs) : QDateTime(),
                           passed ? row[9] : QString() });
        }
        runs << run;
    }
    *summary = yieldreport::summarize(runs, pairs, filter.until);
    return true;
}

bool summarize(Queries &q, const Filter &filter, Summary *summary)
{
    const bool byTime = filter.since.time.isValid() || filter.until.time.isValid();
    return byTime ? fromRuns(q, filter, summary) : fromCells(q, filter, summary);
}

bool latestFailures(Queries &q, const Filter &filter, QList<htmlreport::Failure> *latest)
{
    LineDatabase::Result failures, pairRuns;
    if (!q.exec(LatestFailuresQuery, parameters(filter), &failures))
        return false;
    QJsonArray pairs;
    for (const QStringList &row : failures.rows)
        pairs << row[4];
    if (!q.exec(PairRunsQuery, { QString::fromUtf8(QJsonDocument(pairs).toJson()) }, &pairRuns))
        return false;
    QHash<QString, QList<htmlreport::PairRun>> runsOf;
    for (const QStringList &row : pairRuns.rows)
        runsOf[row[0]] << htmlreport::PairRun { row[1], row[2], row[3] == QLatin1String("PASSED"),
                                                row[4].toInt() };
    latest->clear();
    for (const QStringList &row : failures.rows) {
        htmlreport::Failure failure { row[0], row[1], {}, row[3].toInt(), runsOf.value(row[4]) };
        for (const QJsonValue &chip : QJsonDocument::fromJson(row[2].toUtf8()).array())
            failure.serials << chip.toObject().value(QLatin1String("serial")).toString();
        *latest << failure;
    }
    return true;
}

yieldreport::Run runOf(const QStringList &row)
{
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
    return run;
}

} // namespace

bool summarize(LineDatabase &database, const Filter &filter, Summary *summary, QString *error)
{
    Queries q { database, error };
    return summarize(q, filter, summary);
}

bool page(LineDatabase &database, const Filter &filter, htmlreport::Page *page, QString *error)
{
    Queries q { database, error };
    return summarize(q, filter, &page->summary)
        && summarize(q, htmlreport::recentDays(page->summary, filter), &page->recent)
        && latestFailures(q, filter, &page->latestFailures);
}

bool runs(LineDatabase &database, const Filter &filter,
          const std::function<void(const yieldreport::Run &)> &each, QString *error)
{
    Queries q { database, error };
    LineDatabase::Result result;
    // Every row is read: a plan for the first few would walk the whole
    // table in start order.
    if (!q.exec(QStringLiteral("BEGIN READ ONLY"), {}, &result)
        || !q.exec(QStringLiteral("SET LOCAL cursor_tuple_fraction = 1"), {}, &result)
        || !q.exec(QStringLiteral("DECLARE selected NO SCROLL CURSOR FOR ") + RunsQuery,
                   parameters(filter), &result))
        return false;
    do {
        if (!q.exec(QStringLiteral("FETCH %1 FROM selected").arg(CsvBatch), {}, &result))
            return false;
        for (const QStringList &row : result.rows)
            each(runOf(row));
    } while (result.rows.size() == CsvBatch);
    return q.exec(QStringLiteral("COMMIT"), {}, &result);
}

} // namespace linereport
