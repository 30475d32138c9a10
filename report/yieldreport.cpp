#include "report/yieldreport.h"

#include "procedure/failurecodes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <algorithm>
#include <cmath>

namespace yieldreport {

namespace {

QString why(const QString &name, int line, const QString &reason)
{
    return QStringLiteral("%1:%2: skipped: %3").arg(name).arg(line).arg(reason);
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
    return true;
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

struct Figures {
    int runs = 0, passed = 0, pairs = 0, pairsFirstPassed = 0;
    QMap<int, int> failures;
    QList<double> durations;
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

// The figures of the runs at `positions`; a pair counts where its first run is.
Figures figuresOf(const QList<Run> &runs, const QList<qsizetype> &positions,
                  const QMap<QString, qsizetype> &first)
{
    Figures f;
    for (qsizetype i : positions) {
        const Run &run = runs[i];
        ++f.runs;
        f.passed += run.passed ? 1 : 0;
        if (!run.passed)
            ++f.failures[run.failCode];
        f.durations << run.durationMs;
        if (!run.pair().isEmpty() && first.value(run.pair()) == i) {
            ++f.pairs;
            f.pairsFirstPassed += run.passed ? 1 : 0;
        }
    }
    return f;
}

QString percent(int part, int whole)
{
    return whole ? QStringLiteral("%1 %").arg(100.0 * part / whole, 0, 'f', 1)
                 : QStringLiteral("n/a");
}

QString cycleTimes(const Figures &f)
{
    return f.durations.isEmpty() ? QStringLiteral("n/a")
                                 : QStringLiteral("median %1 ms, 95th percentile %2 ms")
                                       .arg(median(f.durations), 0, 'f', 1)
                                       .arg(percentile95(f.durations), 0, 'f', 1);
}

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
        else
            readRun(document.object(), &run, &reason);
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

QString summary(const QList<Run> &runs)
{
    const QMap<QString, qsizetype> first = firstRuns(runs);
    QList<qsizetype> everything;
    QMap<QString, QList<qsizetype>> days;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        everything << i;
        days[runs[i].day()] << i;
    }
    const Figures all = figuresOf(runs, everything, first);
    QString text
        = QStringLiteral("Runs: %1\nPassed: %2 (%3)\nFirst-pass yield: %4 of %5 pairs (%6)\n")
              .arg(all.runs)
              .arg(all.passed)
              .arg(percent(all.passed, all.runs))
              .arg(all.pairsFirstPassed)
              .arg(all.pairs)
              .arg(percent(all.pairsFirstPassed, all.pairs));
    text += QStringLiteral("Failures by code:%1\n").arg(all.failures.isEmpty() ? " none" : "");
    for (auto it = all.failures.cbegin(); it != all.failures.cend(); ++it)
        text += QStringLiteral("  %1  %2 runs  %3\n")
                    .arg(it.key(), 2)
                    .arg(it.value())
                    .arg(QLatin1String(failureCodeMeaning(it.key())));
    text += QStringLiteral("Cycle time: %1\n").arg(cycleTimes(all));
    if (!days.isEmpty())
        text += QStringLiteral("Per day (a pair counts on the day of its first run):\n");
    for (auto it = days.cbegin(); it != days.cend(); ++it) {
        const Figures day = figuresOf(runs, it.value(), first);
        text += QStringLiteral("  %1  runs %2, passed %3, first-pass yield %4 of %5 pairs (%6), "
                               "failures %7, cycle time %8\n")
                    .arg(it.key())
                    .arg(day.runs)
                    .arg(day.passed)
                    .arg(day.pairsFirstPassed)
                    .arg(day.pairs)
                    .arg(percent(day.pairsFirstPassed, day.pairs))
                    .arg(day.runs - day.passed)
                    .arg(cycleTimes(day));
    }
    return text;
}

QString csv(const QList<Run> &runs)
{
    QString text = QStringLiteral(
        "run,start,end,durationMs,host,backend,serial1,serial2,verdict,failCode\n");
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
                QString::number(run.failCode) };
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

} // namespace yieldreport
