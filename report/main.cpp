// zelor-k3-report [FILE...]: a summary of the station's TestingRecords.jsonl.

#include "app/dllsearch.h"
#include "linedb/lineschema.h"
#include "procedure/runrecord.h"
#include "report/htmlreport.h"
#include "report/linereport.h"
#include "report/yieldreport.h"
#include "shipping/refusedrecords.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace {

constexpr int UsageError = 2;

constexpr int DatabaseError = 3;

int fail(const QString &message, int code = UsageError)
{
    std::fprintf(stderr, "zelor-k3-report: %s\n", qPrintable(message));
    return code;
}

// The runs of the records files, each id once; problems named on stderr,
// their count in `skipped`. A file whose lines are mostly no run record is
// not a records file (a log given by mistake): an error.
bool fromFiles(const QStringList &files, QList<yieldreport::Run> *runs, int *skipped,
               QString *error)
{
    QStringList problems;
    for (const QString &name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
            return false;
        }
        const QByteArray text = file.readAll();
        QStringList found;
        const QList<yieldreport::Run> read = yieldreport::parse(text, name, &found);
        if (found.size() > read.size()) {
            *error = QStringLiteral("%1 is not a records file: %2 of its %3 lines are no run "
                                    "record; the first: %4")
                         .arg(name)
                         .arg(found.size())
                         .arg(found.size() + read.size())
                         .arg(found.first());
            return false;
        }
        *runs += read;
        problems += found;
    }
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    *skipped = int(problems.size());
    *runs = yieldreport::distinct(*runs);
    return true;
}

// Runs that start more than a day after the report's clock (as the line
// database refuses them) are no run of the period: set apart and named on
// stderr.
QList<yieldreport::Run> setApartFuture(QList<yieldreport::Run> runs, QStringList *named)
{
    const QDateTime limit = QDateTime::currentDateTime().addDays(1);
    QList<yieldreport::Run> kept;
    for (const yieldreport::Run &run : runs) {
        if (run.startTime > limit)
            *named << QStringLiteral("%1, station %2, id %3").arg(run.start, run.station, run.id);
        else
            kept << run;
    }
    for (const QString &run : std::as_const(*named))
        std::fprintf(stderr, "set apart, dated more than a day after this report: %s\n",
                     qPrintable(run));
    return kept;
}

// The renamings checked; the station asked for under the name it goes by
// now.
bool joined(yieldreport::Filter *filter)
{
    const QString circle = filter->renamed.circle();
    if (!circle.isEmpty()) {
        fail(QStringLiteral("%1 is renamed back to itself through the renamings given and "
                            "stored")
                 .arg(circle));
        return false;
    }
    filter->station = filter->renamed.of(filter->station);
    return true;
}

// A station asked for that has no run under any of its names (`known`, as
// stored): the known ones named.
QString unknownStation(const yieldreport::Filter &filter, QStringList known)
{
    const QString &station = filter.station;
    for (QString &name : known)
        name = filter.renamed.of(name);
    if (station.isEmpty() || known.contains(station))
        return QString();
    known.removeDuplicates();
    known.sort();
    return QStringLiteral("no runs of station \"%1\"; the stations are: %2")
        .arg(station, known.isEmpty() ? QStringLiteral("none") : known.join(QStringLiteral(", ")));
}

// What the selection is, for the page's top: the filter, else the days the
// runs fall on.
QString period(const yieldreport::Filter &filter, const yieldreport::Summary &summary)
{
    auto text = [](const yieldreport::Bound &b) {
        return !b.day.isEmpty() ? b.day : b.time.toString(Qt::ISODateWithMs);
    };
    QString period;
    if (filter.since.valid() || filter.until.valid())
        period
            = QStringLiteral("%1 to %2")
                  .arg(filter.since.valid() ? text(filter.since) : QStringLiteral("the first run"),
                       filter.until.valid() ? text(filter.until) : QStringLiteral("the last run"));
    else if (!summary.days.isEmpty())
        period = QStringLiteral("%1 to %2").arg(summary.days.firstKey(), summary.days.lastKey());
    else
        period = QStringLiteral("no runs");
    if (!filter.station.isEmpty())
        period += QStringLiteral(", station ") + filter.station;
    if (!filter.renamed.now.isEmpty())
        period += QStringLiteral("; renamed stations: ") + filter.renamed.text();
    return period;
}

bool writeHtml(const QString &name, htmlreport::Page page, const yieldreport::Filter &filter,
               const QString &sources, QString *error)
{
    page.sources = sources;
    if (page.skippedLines > 0)
        page.sources += QStringLiteral("; %1 lines were no run record and were skipped (named "
                                       "on stderr)")
                            .arg(page.skippedLines);
    page.period = period(filter, page.summary);
    const QByteArray html = htmlreport::render(page);
    if (name == QLatin1String("-"))
        return std::fwrite(html.constData(), 1, size_t(html.size()), stdout) == size_t(html.size());
    // A file is replaced whole or not at all; a pipe or a device (a FIFO,
    // /dev/stdout) is written into, never replaced by a file.
    const QFileInfo target(name);
    if (target.exists() && !target.isFile()) {
        QFile device(name);
        if (device.open(QIODevice::WriteOnly) && device.write(html) == html.size())
            return true;
        *error = QStringLiteral("cannot write %1: %2").arg(name, device.errorString());
        return false;
    }
    QSaveFile file(name);
    if (file.open(QIODevice::WriteOnly) && file.write(html) == html.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(name, file.errorString());
    return false;
}

// The report's text from the line database; the CSV written as its rows come.
bool fromDatabase(LineDatabase &database, const yieldreport::Filter &filter, bool asCsv,
                  QString *text, QString *error)
{
    if (asCsv) {
        std::fputs(yieldreport::csvHeader().toUtf8().constData(), stdout);
        return linereport::runs(
            database, filter,
            [](const yieldreport::Run &run) {
                std::fputs(yieldreport::csvRow(run).toUtf8().constData(), stdout);
            },
            error);
    }
    yieldreport::Summary summary;
    if (!linereport::summarize(database, filter, &summary, error))
        return false;
    *text = yieldreport::format(summary);
    return true;
}

// --store-renamed: the renaming kept in the line database for every report,
// unless it renames a station back to itself.
int storeRenamed(LineDatabase &db, const QString &renaming)
{
    yieldreport::StationNames names, added;
    QString error;
    if (!added.add(renaming))
        return fail(
            QStringLiteral("--store-renamed takes OLD=NEW, two names, not \"%1\"").arg(renaming));
    if (!linereport::renamed(db, &names, &error))
        return fail(QStringLiteral("line database: %1").arg(error), DatabaseError);
    const QString old = added.now.cbegin().key(), name = added.now.cbegin().value();
    names.now.insert(old, name);
    if (!names.circle().isEmpty())
        return fail(QStringLiteral("%1 would be renamed back to itself: nothing stored")
                        .arg(names.circle()));
    const LineDatabase::Result stored
        = db.exec(QStringLiteral("INSERT INTO zelor_station_names (old_name, new_name) "
                                 "VALUES ($1, $2) ON CONFLICT (old_name) DO UPDATE SET "
                                 "new_name = excluded.new_name"),
                  { old, name });
    if (!stored.ok)
        return fail(QStringLiteral("cannot store the renaming: %1").arg(stored.error),
                    DatabaseError);
    std::fprintf(stdout, "Every report counts the runs of %s as %s's from now on.\n",
                 qPrintable(old), qPrintable(names.of(old)));
    return 0;
}

// --add-station, --purge-before, --recount, --store-renamed: the line
// owner's, one at a time.
int ownerOperation(const QString &conninfo, const QString &newStation, const QString &purgeDay,
                   const QString &renaming)
{
    LineDatabase db(conninfo);
    QString error;
    if (!renaming.isEmpty())
        return storeRenamed(db, renaming);
    if (!newStation.isEmpty()) {
        QString statement;
        if (!lineschema::addStation(db, newStation, &error, &statement))
            return fail(QStringLiteral("cannot add the station: %1").arg(error), DatabaseError);
        if (statement.isEmpty())
            std::fprintf(stdout,
                         "The station's login %s is made; give it a password (\\password in "
                         "psql) or a client certificate.\n",
                         qPrintable(newStation));
        else
            std::fprintf(stdout, "This login may not create roles; someone who may runs:\n\n%s",
                         qPrintable(statement));
        return 0;
    }
    qint64 count = 0;
    if (!purgeDay.isEmpty()) {
        if (!QDate::fromString(purgeDay, Qt::ISODate).isValid())
            return fail(QStringLiteral("--purge-before takes a day such as 2026-01-01, not \"%1\"")
                            .arg(purgeDay));
        if (!lineschema::purgeBefore(db, purgeDay, &count, &error))
            return fail(QStringLiteral("cannot purge: %1").arg(error), DatabaseError);
        std::fprintf(stdout,
                     "%lld runs before %s removed; the summaries counted again; records of "
                     "those days are refused from now on.\n",
                     count, qPrintable(purgeDay));
        return 0;
    }
    if (!lineschema::recount(db, &count, &error))
        return fail(QStringLiteral("cannot count the summaries again: %1").arg(error),
                    DatabaseError);
    std::fprintf(stdout, "The summaries are counted afresh from the %lld runs stored.\n", count);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    restrictDllSearch();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelor-k3-report"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs, passes, first-pass yield, failures by code and cycle times of the\n"
                       "ZELOR-K3 Tester's run records, in all, per day and per station."));
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") },
                                  QStringLiteral("Show these options and quit."));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Only runs that started on or after WHEN (a day "
                                                  "such as 2026-12-07, or an ISO 8601 time)."),
                                   QStringLiteral("WHEN"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Only runs that started on or before WHEN."),
                                   QStringLiteral("WHEN"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("One CSV row per run instead of the summary."));
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("Only the runs of the station NAME."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption database(
        QStringLiteral("database"),
        QStringLiteral("The whole line's records from the line database CONNINFO (a libpq "
                       "connection string or URI; the password from the pgpass or service "
                       "file) instead of files."),
        QStringLiteral("CONNINFO"));
    const QCommandLineOption createSchema(
        QStringLiteral("create-schema"),
        QStringLiteral("With --database: create the line database's tables, once, as their "
                       "owner; again changes nothing."));
    const QCommandLineOption html(
        QStringLiteral("html"),
        QStringLiteral("Write the report as one self-contained HTML page with charts to FILE "
                       "(- for the standard output) instead of the text."),
        QStringLiteral("FILE"));
    const QCommandLineOption refused(
        QStringLiteral("refused"),
        QStringLiteral("List the records of the journal FILE (default: TestingRecords.jsonl) "
                       "that the line database refused, and its lines that are no record: "
                       "id, when, the journal and line, the reason."));
    const QCommandLineOption addStation(
        QStringLiteral("add-station"),
        QStringLiteral("With --database: make the login NAME of a station (CONNECTION LIMIT 2, "
                       "in zelor_station), or print the statement for someone who may."),
        QStringLiteral("NAME"));
    const QCommandLineOption purgeBefore(
        QStringLiteral("purge-before"),
        QStringLiteral("With --database: remove the runs of the days before DAY and their "
                       "records, count the summaries again, and refuse such records from then "
                       "on."),
        QStringLiteral("DAY"));
    const QCommandLineOption renamed(
        QStringLiteral("renamed"),
        QStringLiteral("The station OLD is now NEW: count its runs as NEW's (given once for "
                       "each renaming; with --database, besides those stored there)."),
        QStringLiteral("OLD=NEW"));
    const QCommandLineOption storeRenamedOption(
        QStringLiteral("store-renamed"),
        QStringLiteral("With --database: keep the renaming OLD=NEW in the line database, for "
                       "every report from then on."),
        QStringLiteral("OLD=NEW"));
    const QCommandLineOption recount(
        QStringLiteral("recount"),
        QStringLiteral("With --database: count every summary afresh from the runs stored "
                       "(after a restore, or runs deleted by hand)."));
    parser.addOptions({ help, since, until, csv, station, renamed, database, createSchema, html,
                        refused, addStation, purgeBefore, recount, storeRenamedOption });
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Records files; default: TestingRecords.jsonl."),
                                 QStringLiteral("[FILE...]"));
    if (!parser.parse(application.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(refused)) {
        const QStringList journals = parser.positionalArguments();
        std::fputs(qPrintable(refusedrecords::listing(
                       refusedrecords::read(journals.value(0, RunRecord::FileName)))),
                   stdout);
        return 0;
    }
    yieldreport::Filter filter;
    filter.station = parser.value(station);
    for (auto [option, bound] :
         { std::pair { &since, &filter.since }, std::pair { &until, &filter.until } }) {
        if (parser.isSet(*option)) {
            *bound = yieldreport::bound(parser.value(*option));
            if (!bound->valid())
                return fail(QStringLiteral("--%1 takes a day or an ISO 8601 time, not \"%2\"")
                                .arg(option->names().first(), parser.value(*option)));
        }
    }
    for (const QString &renaming : parser.values(renamed))
        if (!filter.renamed.add(renaming))
            return fail(
                QStringLiteral("--renamed takes OLD=NEW, two names, not \"%1\"").arg(renaming));
    if (yieldreport::inverted(filter.since, filter.until))
        return fail(QStringLiteral("--since %1 lies after --until %2: the period holds no run")
                        .arg(parser.value(since), parser.value(until)));
    QStringList files = parser.positionalArguments();
    QString text, error;
    if (parser.isSet(database)) {
        const QString conninfo = parser.value(database);
        if (!files.isEmpty())
            return fail(QStringLiteral("records files or --database, not both"));
        const QString refusal = LineDatabase::refusal(conninfo);
        if (!refusal.isEmpty())
            return fail(refusal);
        if (parser.isSet(createSchema)) {
            LineDatabase db(conninfo);
            QString roles;
            if (!lineschema::create(db, &error, &roles))
                return fail(QStringLiteral("cannot create the schema: %1").arg(error),
                            DatabaseError);
            std::fputs("The line database's schema is in place.\n", stdout);
            if (!roles.isEmpty())
                std::fprintf(stdout,
                             "This login may not create the stations' role zelor_station; "
                             "someone who may (and owns the tables, or is a superuser) runs:\n\n%s",
                             qPrintable(roles));
            return 0;
        }
        if (parser.isSet(addStation) || parser.isSet(purgeBefore) || parser.isSet(recount)
            || parser.isSet(storeRenamedOption))
            return ownerOperation(conninfo, parser.value(addStation), parser.value(purgeBefore),
                                  parser.value(storeRenamedOption));
        // One session for all the report reads.
        LineDatabase db(conninfo);
        {
            yieldreport::StationNames names;
            if (!linereport::renamed(db, &names, &error))
                return fail(QStringLiteral("line database: %1").arg(error), DatabaseError);
            names.now.insert(filter.renamed.now); // this report's own renamings first
            filter.renamed = names;
            if (!joined(&filter))
                return UsageError;
            QStringList known;
            if (!filter.station.isEmpty() && !linereport::stations(db, &known, &error))
                return fail(QStringLiteral("line database: %1").arg(error), DatabaseError);
            const QString unknown = unknownStation(filter, known);
            if (!unknown.isEmpty())
                return fail(unknown);
        }
        if (parser.isSet(html)) {
            htmlreport::Page page;
            if (!linereport::page(db, filter, &page, &error))
                return fail(QStringLiteral("line database: %1").arg(error), DatabaseError);
            const QString sources
                = QStringLiteral("line database ") + LineDatabase::describe(conninfo);
            return writeHtml(parser.value(html), page, filter, sources, &error) ? 0 : fail(error);
        }
        if (!fromDatabase(db, filter, parser.isSet(csv), &text, &error))
            return fail(QStringLiteral("line database: %1").arg(error), DatabaseError);
    } else {
        for (const QCommandLineOption *owner :
             { &createSchema, &addStation, &purgeBefore, &recount, &storeRenamedOption })
            if (parser.isSet(*owner))
                return fail(QStringLiteral("--%1 needs --database").arg(owner->names().first()));
        if (files.isEmpty())
            files << RunRecord::FileName;
        QList<yieldreport::Run> runs;
        int skipped = 0;
        if (!fromFiles(files, &runs, &skipped, &error))
            return fail(error);
        if (!joined(&filter))
            return UsageError;
        QStringList known;
        for (yieldreport::Run &run : runs) {
            known << run.station;
            run.station = filter.renamed.of(run.station);
        }
        const QString unknown = unknownStation(filter, known);
        if (!unknown.isEmpty())
            return fail(unknown);
        QStringList future;
        runs = setApartFuture(runs, &future);
        if (parser.isSet(html)) {
            htmlreport::Page page = htmlreport::fromRuns(runs, filter);
            page.skippedLines = skipped;
            page.setApart = future;
            return writeHtml(parser.value(html), page, filter, files.join(QStringLiteral(", ")),
                             &error)
                ? 0
                : fail(error);
        }
        text = parser.isSet(csv) ? yieldreport::csv(yieldreport::select(runs, filter))
                                 : yieldreport::format(yieldreport::summarize(runs, filter));
    }
    if (!parser.isSet(csv) && !filter.renamed.now.isEmpty())
        text.prepend(QStringLiteral("Renamed stations: %1\n").arg(filter.renamed.text()));
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}
