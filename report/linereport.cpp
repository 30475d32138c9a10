#include "report/linereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <tuple>

namespace linereport {

namespace {

using yieldreport::Figures;
using yieldreport::Filter;
using yieldreport::StationNames;
using yieldreport::Summary;

constexpr int CsvBatch = 10000;

// The summaries of the days and stations selected; parameters $1 to $3.
const QString Cells = QStringLiteral(
    " WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::date IS NULL OR day <= $2::date) "
    "AND ($3::text[] IS NULL OR station = ANY($3::text[])) ");

// Each summary added up by day and by station, or with `cells` by day at
// each station's socket (the page's charts need them; the days and stations
// are then added up here); the first column says which: GROUPING(day,
// station), 1 a day, 2 a station, 0 a day at a station's socket (its fourth
// column, '' for a station of one pair).
QString grouped(const char *columns, const char *table, const char *by, bool cells)
{
    return (cells ? QStringLiteral("SELECT 0, day::text, station, socket, %1 FROM %2")
                  : QStringLiteral("SELECT GROUPING(day, station), day::text, station, '', %1 "
                                   "FROM %2"))
               .arg(QLatin1String(columns), QLatin1String(table))
        + Cells
        + (cells ? QStringLiteral("GROUP BY day, station, socket%1")
                 : QStringLiteral("GROUP BY GROUPING SETS ((day%1), (station%1))"))
              .arg(QLatin1String(by));
}
QString runsOfCells(bool cells)
{
    return grouped("sum(runs), sum(passed), sum(paired)", "zelor_day_runs", "", cells);
}
QString failuresOfCells(bool cells)
{
    return grouped("fail_code, sum(runs)", "zelor_day_failures", ", fail_code", cells);
}
// A pair passed in the end when it passed by the last day selected.
QString firstRunsOfCells(bool cells)
{
    return grouped("sum(pairs), sum(pairs) FILTER (WHERE first_passed), sum(pairs) FILTER (WHERE "
                   "pass_day <> 'infinity' AND pass_day <= coalesce($2::date, 'infinity')), "
                   "sum(pairs) FILTER (WHERE pass_day = day)",
                   "zelor_day_first_runs", "", cells);
}
// Cycle times by day, the line's or with $3 one station's (under each of
// its names): a row a day,
// "ms:runs ms:runs ...".
const QString CycleTimesByDay = QStringLiteral(
    "SELECT day::text, string_agg(ms || ':' || runs, ' ') FROM (SELECT day, ms, sum(runs) AS runs "
    "FROM zelor_line_day_cycle_times WHERE $3::text[] IS NULL AND ($1::date IS NULL OR day >= "
    "$1::date) AND ($2::date IS NULL OR day <= $2::date) GROUP BY day, ms UNION ALL SELECT day, "
    "ms, runs FROM "
    "zelor_day_cycle_times WHERE station = ANY($3::text[]) AND ($1::date IS NULL OR day >= "
    "$1::date) AND "
    "($2::date IS NULL OR day <= $2::date)) c GROUP BY day");
// Cycle times by station and day, for the page's chart of each station's
// median: $1, $2 the days, $3 one station.
const QString CycleTimesByStationDay = QStringLiteral(
    "SELECT station, day::text, string_agg(ms || ':' || runs, ' ') FROM zelor_day_cycle_times "
    "WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::date IS NULL OR day <= $2::date) AND "
    "($3::text[] IS NULL OR station = ANY($3::text[])) GROUP BY station, day");
// Cycle times by station: the whole months [$1, $2) by month, the days
// [$4, $5) and [$6, $7] around them by day; $3 one station.
const QString CycleTimesByStation = QStringLiteral(
    "SELECT station, ms, sum(runs) FROM (SELECT station, ms, runs FROM zelor_month_cycle_times "
    "WHERE ($1::date IS NULL OR month >= $1::date) AND ($2::date IS NULL OR month < $2::date) "
    "AND ($3::text[] IS NULL OR station = ANY($3::text[])) UNION ALL SELECT station, ms, runs FROM "
    "zelor_day_cycle_times WHERE day >= $4::date AND day < $5::date AND ($3::text[] IS NULL OR "
    "station = ANY($3::text[])) UNION ALL SELECT station, ms, runs FROM zelor_day_cycle_times "
    "WHERE day >= "
    "$6::date AND day <= $7::date AND ($3::text[] IS NULL OR station = ANY($3::text[]))) c "
    "GROUP BY station, ms");

// The runs the filter selects, as a common table expression; its parameters
// are $1 to $5.
const QString Selected = QStringLiteral(
    "WITH sel AS (SELECT * FROM zelor_runs "
    "WHERE ($1::date IS NULL OR day >= $1::date) AND ($2::timestamptz IS NULL OR started >= $2) "
    "AND ($3::date IS NULL OR day <= $3::date) AND ($4::timestamptz IS NULL OR started <= $4) "
    "AND ($5::text[] IS NULL OR station = ANY($5::text[]))) ");

// The selected runs with what their pairs' whole history says.
const QString RunsWithPairs = Selected
    + QStringLiteral("SELECT sel.id::text, day::text, station, verdict, fail_code, duration_ms, "
                     "sel.pair, first_id::text, to_json(pass_started)#>>'{}', pass_day::text, "
                     "socket FROM sel LEFT JOIN zelor_pairs ON zelor_pairs.pair = sel.pair");

const QString LatestFailuresQuery = Selected
    + QStringLiteral("SELECT record->>'start', station, record->'chips', fail_code, pair FROM sel "
                     "JOIN zelor_records ON zelor_records.id = sel.id WHERE verdict = 'FAILED' "
                     "ORDER BY started DESC, sel.id DESC LIMIT %1")
          .arg(htmlreport::FailuresRead);

// The pairs of the selected runs that had not passed by the period's end, each
// by its newest selected run, newest first.
const QString NeverPassedQuery = Selected
    + QStringLiteral("SELECT start, station, chips, fail_code, pair FROM (SELECT DISTINCT ON "
                     "(sel.pair) record->>'start' AS start, station, record->'chips' AS chips, "
                     "fail_code, sel.pair, started, sel.id FROM sel JOIN zelor_records ON "
                     "zelor_records.id = sel.id JOIN zelor_pairs ON zelor_pairs.pair = sel.pair "
                     "WHERE NOT (pass_day <> 'infinity' AND ($3::date IS NULL OR pass_day <= "
                     "$3::date) AND ($4::timestamptz IS NULL OR pass_started <= $4)) "
                     "ORDER BY sel.pair, started DESC, sel.id DESC) newest "
                     "ORDER BY started DESC, id DESC");

const QString PairRunsQuery = QStringLiteral(
    "SELECT pair, record->>'start', station, verdict, fail_code FROM zelor_runs "
    "JOIN zelor_records USING (id) WHERE pair IN (SELECT jsonb_array_elements_text($1::jsonb)) "
    "ORDER BY started, id");

const QString RunsQuery = Selected
    + QStringLiteral("SELECT sel.id::text, station, record->>'run', record->>'start', "
                     "record->>'end', duration_ms, record->>'host', record->>'backend', "
                     "record->'chips'->0->>'serial', record->'chips'->1->>'serial', verdict, "
                     "fail_code FROM sel JOIN zelor_records ON zelor_records.id = sel.id "
                     "ORDER BY started, arrival");

// The station selected under each of its names, as an array of text; null
// for every station.
QString stationNames(const Filter &filter)
{
    if (filter.station.isEmpty())
        return QString();
    QStringList quoted;
    for (QString name : filter.renamed.namesOf(filter.station))
        quoted << QLatin1Char('"')
                + name.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                      .replace(QLatin1Char('"'), QLatin1String("\\\""))
                + QLatin1Char('"');
    return QLatin1Char('{') + quoted.join(QLatin1Char(',')) + QLatin1Char('}');
}

QStringList cellParameters(const Filter &filter)
{
    auto orNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    return { orNull(filter.since.day), orNull(filter.until.day), stationNames(filter) };
}

// The days a filter selects as the whole months among them and the days
// before and after those: months [from, to), days [from, to) and [from, until].
// A null day is no bound.
struct MonthsAndDays {
    QDate monthsFrom, monthsTo, headFrom, headTo, tailFrom, tailUntil;
};
MonthsAndDays monthsAndDays(const Filter &filter)
{
    const QDate since = QDate::fromString(filter.since.day, Qt::ISODate);
    const QDate until = QDate::fromString(filter.until.day, Qt::ISODate);
    MonthsAndDays split;
    if (since.isValid())
        split.monthsFrom = since.day() == 1 ? since : since.addDays(1 - since.day()).addMonths(1);
    if (until.isValid()) // the month after a month's last day, else the month of the day
        split.monthsTo
            = until.addDays(1).day() == 1 ? until.addDays(1) : until.addDays(1 - until.day());
    if (since.isValid() && until.isValid() && split.monthsFrom >= split.monthsTo) {
        split = { since, since, since, until.addDays(1), {}, {} }; // no whole month
        return split;
    }
    if (since.isValid()) {
        split.headFrom = since;
        split.headTo = split.monthsFrom;
    }
    if (until.isValid()) {
        split.tailFrom = split.monthsTo;
        split.tailUntil = until;
    }
    return split;
}

QStringList byStationParameters(const Filter &filter)
{
    const MonthsAndDays split = monthsAndDays(filter);
    QStringList params;
    for (const QDate &day : { split.monthsFrom, split.monthsTo })
        params << (day.isValid() ? day.toString(Qt::ISODate) : QString());
    params << stationNames(filter);
    for (const QDate &day : { split.headFrom, split.headTo, split.tailFrom, split.tailUntil })
        params << (day.isValid() ? day.toString(Qt::ISODate) : QString());
    return params;
}

QStringList parameters(const Filter &filter)
{
    auto time = [](const yieldreport::Bound &b) {
        return b.time.isValid() ? b.time.toString(Qt::ISODateWithMs) : QString();
    };
    auto orNull = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    return { orNull(filter.since.day), time(filter.since), orNull(filter.until.day),
             time(filter.until), stationNames(filter) };
}

// The figures of the cells read, by day, station and socket.
using CellFigures = QMap<std::tuple<QString, QString, QString>, Figures>;

// Runs the report's statements, all or none.
struct Queries {
    LineDatabase &database;
    QString *error;
    StationNames names; // a row's station under the name it goes by now
    QString station(QStringView name) const { return names.of(name.toString()); }
    bool exec(const QString &sql, const QStringList &params, LineDatabase::Result *result)
    {
        *result = database.exec(sql, params, LineDatabase::NoDeadline);
        if (!result->ok)
            *error = result->error;
        return result->ok;
    }
    bool all(const QList<LineDatabase::Statement> &statements)
    {
        const LineDatabase::Result result = database.execAll(statements, LineDatabase::NoDeadline);
        if (!result.ok)
            *error = result.error;
        return result.ok;
    }
};

// The figures a row of grouped() adds to.
Figures &figuresOf(const Queries &q, Summary *summary, CellFigures *cells,
                   const QList<QByteArrayView> &row)
{
    const QString day = QString::fromUtf8(row[1]), station = q.station(QString::fromUtf8(row[2]));
    switch (row[0].toInt()) {
    case 1: return summary->days[day];
    case 2: return summary->stations[station];
    default: return (*cells)[{ day, station, QString::fromUtf8(row[3]) }];
    }
}

// Whole days: the summaries, added up by the database; the days at each
// station only for the page.
bool fromCells(Queries &q, const Filter &filter, bool cells, Summary *summary)
{
    const QStringList params = cellParameters(filter);
    CellFigures read;
    // Added up: a renamed station's rows under each of its names.
    auto runs = [&q, summary, &read](const QList<QByteArrayView> &row) {
        Figures &f = figuresOf(q, summary, &read, row);
        f.runs += row[4].toInt();
        f.passed += row[5].toInt();
        f.pairedRuns += row[6].toInt();
    };
    auto failures = [&q, summary, &read](const QList<QByteArrayView> &row) {
        figuresOf(q, summary, &read, row).failures[row[4].toInt()] += row[5].toInt();
    };
    auto firsts = [&q, summary, &read](const QList<QByteArrayView> &row) {
        Figures &f = figuresOf(q, summary, &read, row);
        f.pairs += row[4].toInt();
        f.pairsFirstPassed += row[5].toInt();
        f.pairsFinallyPassed += row[6].toInt();
        f.pairsPassedFirstDay += row[7].toInt();
    };
    // "ms:runs ms:runs …" added to `times`.
    auto addTimes = [](QByteArrayView text, yieldreport::CycleTimes &times) {
        for (QByteArrayView pair : QLatin1StringView(text).tokenize(QLatin1Char(' '))) {
            const qsizetype colon = pair.indexOf(':');
            times[pair.first(colon).toLongLong()] += pair.sliced(colon + 1).toInt();
        }
    };
    // Cycle times by day and by station; the page's cells' apart, added to
    // the cells once the cells are added up.
    auto byDay = [summary, addTimes](const QList<QByteArrayView> &row) {
        addTimes(row[1], summary->days[QString::fromUtf8(row[0])].cycleTimes);
    };
    QHash<QString, QMap<QString, yieldreport::CycleTimes>> cellTimes;
    auto byCell = [&q, &cellTimes, addTimes](const QList<QByteArrayView> &row) {
        addTimes(row[2],
                 cellTimes[q.station(QString::fromUtf8(row[0]))][QString::fromUtf8(row[1])]);
    };
    auto byStation = [&q, summary](const QList<QByteArrayView> &row) {
        const qint64 ms = row[1].toLongLong();
        const int n = row[2].toInt();
        summary->stations[q.station(QString::fromUtf8(row[0]))].cycleTimes[ms] += n;
        summary->all.cycleTimes[ms] += n;
    };
    *summary = {};
    // The largest first: its rows are read while the others run.
    QList<LineDatabase::Statement> statements { { CycleTimesByDay, params, byDay },
                                                { CycleTimesByStation, byStationParameters(filter),
                                                  byStation },
                                                { runsOfCells(cells), params, runs },
                                                { failuresOfCells(cells), params, failures },
                                                { firstRunsOfCells(cells), params, firsts } };
    if (cells)
        statements << LineDatabase::Statement { CycleTimesByStationDay, params, byCell };
    if (!q.all(statements))
        return false;
    if (cells) {
        for (auto cell = read.cbegin(); cell != read.cend(); ++cell) {
            const auto &[day, station, socket] = cell.key();
            summary->add(day, station, cell.value(), socket);
        }
        for (auto station = cellTimes.cbegin(); station != cellTimes.cend(); ++station)
            for (auto day = station->cbegin(); day != station->cend(); ++day)
                summary->stationDays[station.key()][day.key()].cycleTimes = day.value();
        return true;
    }
    for (Figures day : std::as_const(summary->days)) {
        day.cycleTimes.clear(); // the whole period's are the stations'
        summary->all += day;
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
        run.station = q.station(row[2]);
        run.passed = row[3] == QLatin1String("PASSED");
        run.failCode = row[4].toInt();
        run.durationMs = row[5].toDouble();
        run.socket = row[10];
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

bool summarize(Queries &q, const Filter &filter, bool cells, Summary *summary)
{
    const bool byTime = filter.since.time.isValid() || filter.until.time.isValid();
    return byTime ? fromRuns(q, filter, summary) : fromCells(q, filter, cells, summary);
}

// The failed runs `query` gives (start, station, chips, code, pair), at
// most `limit` of them, each with every run of its pair.
bool failuresWithPairRuns(Queries &q, const QString &query, const Filter &filter, int limit,
                          QList<htmlreport::Failure> *latest, int *count = nullptr)
{
    LineDatabase::Result failures, pairRuns;
    if (!q.exec(query, parameters(filter), &failures))
        return false;
    if (count)
        *count = int(failures.rows.size());
    failures.rows = failures.rows.mid(0, limit);
    QJsonArray pairs;
    for (const QStringList &row : failures.rows)
        pairs << row[4];
    if (!q.exec(PairRunsQuery, { QString::fromUtf8(QJsonDocument(pairs).toJson()) }, &pairRuns))
        return false;
    QHash<QString, QList<htmlreport::PairRun>> runsOf;
    for (const QStringList &row : pairRuns.rows)
        runsOf[row[0]] << htmlreport::PairRun { row[1], q.station(row[2]),
                                                row[3] == QLatin1String("PASSED"), row[4].toInt() };
    latest->clear();
    for (const QStringList &row : failures.rows) {
        htmlreport::Failure failure {
            row[0], q.station(row[1]), {}, row[3].toInt(), runsOf.value(row[4])
        };
        for (const QJsonValue &chip : QJsonDocument::fromJson(row[2].toUtf8()).array())
            failure.serials << chip.toObject().value(QLatin1String("serial")).toString();
        *latest << failure;
    }
    return true;
}

yieldreport::Run runOf(const QStringList &row, const StationNames &names)
{
    yieldreport::Run run;
    run.id = row[0];
    run.station = names.of(row[1]);
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
    Queries q { database, error, filter.renamed };
    return summarize(q, filter, false, summary);
}

bool page(LineDatabase &database, const Filter &filter, htmlreport::Page *page, QString *error)
{
    Queries q { database, error, filter.renamed };
    return summarize(q, filter, true, &page->summary)
        && summarize(q, htmlreport::recentDays(page->summary, filter), false, &page->recent)
        && failuresWithPairRuns(q, LatestFailuresQuery, filter, htmlreport::FailuresRead,
                                &page->latestFailures)
        && failuresWithPairRuns(q, NeverPassedQuery, filter, htmlreport::NeverPassedListed,
                                &page->neverPassed, &page->neverPassedCount);
}

bool stations(LineDatabase &database, QStringList *names, QString *error)
{
    Queries q { database, error, {} };
    LineDatabase::Result result;
    if (!q.exec(QStringLiteral("SELECT DISTINCT station FROM zelor_day_runs ORDER BY 1"), {},
                &result))
        return false;
    for (const QStringList &row : std::as_const(result.rows))
        *names << row.value(0);
    return true;
}

bool renamed(LineDatabase &database, StationNames *names, QString *error)
{
    Queries q { database, error, {} };
    LineDatabase::Result result;
    if (!q.exec(QStringLiteral("SELECT old_name, new_name FROM zelor_station_names"), {}, &result))
        return false;
    for (const QStringList &row : std::as_const(result.rows))
        names->now.insert(row[0], row[1]);
    return true;
}

bool runs(LineDatabase &database, const Filter &filter,
          const std::function<void(const yieldreport::Run &)> &each, QString *error)
{
    Queries q { database, error, {} };
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
            each(runOf(row, filter.renamed));
    } while (result.rows.size() == CsvBatch);
    return q.exec(QStringLiteral("COMMIT"), {}, &result);
}

} // namespace linereport
