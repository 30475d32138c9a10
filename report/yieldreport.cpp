#include "report/yieldreport.h"

#include "procedure/failurecodes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QUuid>

#include <algorithm>
#include <cmath>

namespace yieldreport {

namespace {

QString why(const QString &name, int line, const QString &reason)
{
    return QStringLiteral("%1:%2: skipped: %3").arg(name, QString::number(line), reason);
}

bool readRun(const QJsonObject &o, Run *run, QString *reason)
{
    const QJsonValue duration = o.value(QLatin1String("durationMs"));
    const QString verdict = o.value(QLatin1String("verdict")).toString();
    run->start = o.value(QLatin1String("start")).toString();
    run->startTime = QDateTime::fromString(run->start, Qt::ISODateWithMs);
    if (o.value(QLatin1String("schema")).toInt() != 1)
        *reason = QStringLiteral("not a record of schema 1");
    else if (!run->startTime.isValid())
        *reason = QStringLiteral("no valid start");
    else if (!duration.isDouble() || !std::isfinite(duration.toDouble()) || duration.toDouble() < 0)
        *reason = QStringLiteral("no valid duration");
    else if (verdict != QLatin1String("PASSED") && verdict != QLatin1String("FAILED"))
        *reason = QStringLiteral("no verdict");
    else if (!o.value(QLatin1String("failCode")).isDouble())
        *reason = QStringLiteral("no failure code");
    if (!reason->isEmpty())
        return false;
    run->run = o.value(QLatin1String("run")).toInt();
    run->end = o.value(QLatin1String("end")).toString();
    run->durationMs = duration.toDouble();
    run->host = o.value(QLatin1String("host")).toString();
    run->backend = o.value(QLatin1String("backend")).toString();
    run->passed = verdict == QLatin1String("PASSED");
    run->failCode = o.value(QLatin1String("failCode")).toInt();
    for (const QJsonValue &chip : o.value(QLatin1String("chips")).toArray())
        run->serials << chip.toObject().value(QLatin1String("serial")).toString();
    run->station = o.value(QLatin1String("station")).toString(run->host);
    return true;
}

// Records written before they had an id get one derived from their line: the
// same line always gets the same id.
QString idOf(const QJsonObject &o, const QByteArray &line)
{
    static const QUuid namespaceId(QStringLiteral("6f1d2a52-9f0e-4c1e-9a43-3d1b0c7e5a10"));
    const QUuid id(o.value(QLatin1String("id")).toString());
    return (id.isNull() ? QUuid::createUuidV5(namespaceId, line.trimmed()) : id)
        .toString(QUuid::WithoutBraces);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank: the smallest value with 95 % of the values at or below it.
double percentile95(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype rank = qsizetype(std::ceil(0.95 * double(values.size())));
    return values[std::max<qsizetype>(rank, 1) - 1];
}

// A set of runs being counted: figures, and the cycle times they come from.
struct Tally {
    Figures figures;
    QList<double> durations;

    void add(const Run &run, bool firstOfPair)
    {
        ++figures.runs;
        figures.passed += run.passed ? 1 : 0;
        if (!run.passed)
            ++figures.failures[run.failCode];
        durations << run.durationMs;
        if (firstOfPair) {
            ++figures.pairs;
            figures.pairsFirstPassed += run.passed ? 1 : 0;
        }
    }
    Figures done() const
    {
        Figures f = figures;
        if (!durations.isEmpty()) {
            f.median = median(durations);
            f.percentile95 = percentile95(durations);
        }
        return f;
    }
};

// For each pair of chips, the position in `runs` of its earliest run.
QMap<QString, qsizetype> firstRuns(const QList<Run> &runs)
{
    QMap<QString, qsizetype> first;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const QString pair = runs[i].pair();
        if (!pair.isEmpty()
            && (!first.contains(pair) || runs[i].startTime < runs[first.value(pair)].startTime))
            first.insert(pair, i);
    }
    return first;
}

QString percent(int part, int whole)
{
    return whole ? QStringLiteral("%1 %").arg(100.0 * part / whole, 0, 'f', 1)
                 : QStringLiteral("n/a");
}

} // namespace

QString cycleTimeText(const Figures &f)
{
    return !f.median ? QStringLiteral("n/a")
                     : QStringLiteral("median %1 ms, 95th percentile %2 ms")
                           .arg(*f.median, 0, 'f', 1)
                           .arg(f.percentile95.value_or(0), 0, 'f', 1);
}

QString failuresByCodeText(const Figures &f)
{
    QStringList codes;
    for (auto it = f.failures.cbegin(); it != f.failures.cend(); ++it)
        codes << QStringLiteral("code %1: %2").arg(it.key()).arg(it.value());
    return codes.isEmpty() ? QStringLiteral("none") : codes.join(QStringLiteral(", "));
}

QString passedText(const Figures &f)
{
    return QStringLiteral("%1 (%2)").arg(QString::number(f.passed), percent(f.passed, f.runs));
}

QString firstPassText(const Figures &f)
{
    return QStringLiteral("%1 of %2 pairs (%3)")
        .arg(QString::number(f.pairsFirstPassed), QString::number(f.pairs),
             percent(f.pairsFirstPassed, f.pairs));
}

namespace {

QString csvField(const QString &text)
{
    // A field a spreadsheet would run as a formula starts with a quote
    // instead (OWASP, CSV injection).
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    QString quoted
        = !text.isEmpty() && formulaStarts.contains(text.front()) ? QLatin1Char('\'') + text : text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString Run::pair() const
{
    if (serials.size() < 2)
        return QString();
    QStringList sorted = serials;
    sorted.sort();
    return sorted.join(QLatin1Char('\n'));
}

QList<Run> parse(const QByteArray &text, const QString &name, QStringList *problems)
{
    QList<Run> runs;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QString reason;
        Run run;
        if (!document.isObject())
            reason = i + 1 == lines.size() ? QStringLiteral("torn last line")
                                           : QStringLiteral("not JSON: ") + error.errorString();
        else if (readRun(document.object(), &run, &reason))
            run.id = idOf(document.object(), line);
        if (reason.isEmpty())
            runs << run;
        else
            *problems << why(name, int(i + 1), reason);
    }
    return runs;
}

Bound bound(const QString &text)
{
    Bound b;
    if (QDate::fromString(text, Qt::ISODate).isValid() && text.size() == 10)
        b.day = text;
    else
        b.time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return b;
}

QList<Run> between(const QList<Run> &runs, const Bound &since, const Bound &until)
{
    QList<Run> kept;
    for (const Run &run : runs) {
        const bool afterSince = !since.day.isEmpty() ? run.day() >= since.day
            : since.time.isValid()                   ? run.startTime >= since.time
                                                     : true;
        const bool beforeUntil = !until.day.isEmpty() ? run.day() <= until.day
            : until.time.isValid()                    ? run.startTime <= until.time
                                                      : true;
        if (afterSince && beforeUntil)
            kept << run;
    }
    return kept;
}

QList<Run> select(const QList<Run> &runs, const Filter &filter)
{
    QList<Run> kept;
    for (const Run &run : between(runs, filter.since, filter.until)) {
        if (filter.station.isEmpty() || run.station == filter.station)
            kept << run;
    }
    return kept;
}

Summary summarize(const QList<Run> &runs)
{
    const QMap<QString, qsizetype> first = firstRuns(runs);
    Tally all;
    QMap<QString, Tally> days, stations;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const bool firstOfPair = !runs[i].pair().isEmpty() && first.value(runs[i].pair()) == i;
        all.add(runs[i], firstOfPair);
        days[runs[i].day()].add(runs[i], firstOfPair);
        stations[runs[i].station].add(runs[i], firstOfPair);
    }
    Summary summary { all.done(), {}, {} };
    for (auto it = days.cbegin(); it != days.cend(); ++it)
        summary.days.insert(it.key(), it.value().done());
    for (auto it = stations.cbegin(); it != stations.cend(); ++it)
        summary.stations.insert(it.key(), it.value().done());
    return summary;
}

QString format(const Summary &summary)
{
    const Figures &all = summary.all;
    QString text = QStringLiteral("Runs: %1\nPassed: %2\nFirst-pass yield: %3\n")
                       .arg(QString::number(all.runs), passedText(all), firstPassText(all));
    text += QStringLiteral("Failures by code:%1\n").arg(all.failures.isEmpty() ? " none" : "");
    for (auto it = all.failures.cbegin(); it != all.failures.cend(); ++it)
        text += QStringLiteral("  %1  %2 runs  %3\n")
                    .arg(it.key(), 2)
                    .arg(it.value())
                    .arg(QLatin1String(failureCodeMeaning(it.key())));
    text += QStringLiteral("Cycle time: %1\n").arg(cycleTimeText(all));
    if (!summary.days.isEmpty())
        text += QStringLiteral("Per day (a pair counts on the day of its first run):\n");
    for (auto it = summary.days.cbegin(); it != summary.days.cend(); ++it) {
        const Figures &day = it.value();
        // One pass: a day read from a record is never read again for placeholders.
        text += QStringLiteral("  %1  runs %2, passed %3, first-pass yield %4 of %5 pairs (%6), "
                               "failures %7, cycle time %8\n")
                    .arg(it.key(), QString::number(day.runs), QString::number(day.passed),
                         QString::number(day.pairsFirstPassed), QString::number(day.pairs),
                         percent(day.pairsFirstPassed, day.pairs),
                         QString::number(day.runs - day.passed), cycleTimeText(day));
    }
    if (!summary.stations.isEmpty())
        text += QStringLiteral("Per station (a pair counts at the station of its first run):\n");
    for (auto it = summary.stations.cbegin(); it != summary.stations.cend(); ++it) {
        const Figures &station = it.value();
        text += QStringLiteral("  %1  runs %2, passed %3, first-pass yield %4, failures by "
                               "code: %5, cycle time %6\n")
                    .arg(it.key(), QString::number(station.runs), passedText(station),
                         firstPassText(station), failuresByCodeText(station),
                         cycleTimeText(station));
    }
    return text;
}

QString summary(const QList<Run> &runs)
{
    return format(summarize(runs));
}

QString csv(const QList<Run> &runs)
{
    QString text = QStringLiteral(
        "run,start,end,durationMs,host,backend,serial1,serial2,verdict,failCode,id,station\n");
    // One field at a time: a field is never read again for placeholders.
    for (const Run &run : runs) {
        const QStringList fields
            = { QString::number(run.run),
                csvField(run.start),
                csvField(run.end),
                QString::number(run.durationMs, 'f', 3),
                csvField(run.host),
                csvField(run.backend),
                csvField(run.serials.value(0)),
                csvField(run.serials.value(1)),
                run.passed ? QStringLiteral("PASSED") : QStringLiteral("FAILED"),
                QString::number(run.failCode),
                csvField(run.id),
                csvField(run.station) };
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

} // namespace yieldreport
