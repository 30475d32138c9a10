#include "report/yieldreport.h"

#include "procedure/failurecodes.h"

#include <QMap>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace yieldreport {

QString percent(int part, int whole)
{
    return whole ? QStringLiteral("%1 %").arg(100.0 * part / whole, 0, 'f', 1)
                 : QStringLiteral("n/a");
}

QString cycleTimeText(const Figures &f)
{
    const std::optional<qint64> median = f.median();
    return !median ? QStringLiteral("n/a")
                   : QStringLiteral("median %1 ms, 95th percentile %2 ms")
                         .arg(*median)
                         .arg(f.percentile95().value_or(0));
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

QString finalYieldText(const Figures &f)
{
    return QStringLiteral("%1 of %2 pairs (%3)")
        .arg(QString::number(f.pairsFinallyPassed), QString::number(f.pairs),
             percent(f.pairsFinallyPassed, f.pairs));
}

QString retestsText(const Figures &f)
{
    return QStringLiteral("%1 of %2 runs (%3)")
        .arg(QString::number(f.retests()), QString::number(f.runs), percent(f.retests(), f.runs));
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
    // An escape character from a record reaches no terminal or spreadsheet
    // raw: every control character but a tab or a line end, which a quoted
    // field holds as it is, is shown as \xNN.
    QString shown;
    for (const QChar c : std::as_const(quoted)) {
        if (c.category() == QChar::Other_Control && c != QLatin1Char('\t') && c != QLatin1Char('\r')
            && c != QLatin1Char('\n'))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

} // namespace

Bound bound(const QString &text)
{
    Bound b;
    if (QDate::fromString(text, Qt::ISODate).isValid() && text.size() == 10)
        b.day = text;
    else
        b.time = QDateTime::fromString(text, Qt::ISODateWithMs);
    // A time without an offset is the report PC's, for the files and for the
    // line database alike: it goes to the server with that offset spelled out.
    if (b.time.isValid() && b.time.timeSpec() == Qt::LocalTime)
        b.time = b.time.toOffsetFromUtc(b.time.offsetFromUtc());
    return b;
}

bool inverted(const Bound &since, const Bound &until)
{
    if (!since.valid() || !until.valid())
        return false;
    // A day stands for its first moment as a lower bound, its last as an upper.
    auto first = [](const Bound &b) {
        return !b.day.isEmpty() ? b.day + QStringLiteral("T00:00:00.000")
                                : b.time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    };
    auto last = [](const Bound &b) {
        return !b.day.isEmpty() ? b.day + QStringLiteral("T23:59:59.999")
                                : b.time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    };
    if (!since.day.isEmpty() || !until.day.isEmpty())
        return first(since) > last(until); // a day is the station's own: read as written
    return since.time > until.time;
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

QString StationNames::of(const QString &station) const
{
    QString name = station;
    for (qsizetype hops = 0; hops < now.size() && now.contains(name); ++hops)
        name = now.value(name);
    return name;
}

QStringList StationNames::namesOf(const QString &station) const
{
    QStringList names { station };
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (of(it.key()) == station && it.key() != station)
            names << it.key();
    std::sort(names.begin() + 1, names.end());
    return names;
}

bool StationNames::add(const QString &renaming)
{
    const qsizetype equals = renaming.indexOf(QLatin1Char('='));
    const QString old = renaming.left(equals), name = renaming.mid(equals + 1);
    if (equals < 0 || old.isEmpty() || name.isEmpty() || old == name)
        return false;
    now.insert(old, name);
    return true;
}

QString StationNames::circle() const
{
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (now.contains(of(it.key())))
            return it.key();
    return QString();
}

QString StationNames::text() const
{
    QStringList joined;
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        joined << QStringLiteral("%1 counted as %2").arg(it.key(), of(it.key()));
    joined.sort();
    return joined.join(QStringLiteral(", "));
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

QList<Run> distinct(const QList<Run> &runs)
{
    QSet<QString> seen;
    QList<Run> kept;
    for (const Run &run : runs) {
        if (!seen.contains(run.id)) {
            seen.insert(run.id);
            kept << run;
        }
    }
    return kept;
}

qint64 cycleTimeMs(double durationMs)
{
    // As the line database does it: half up.
    return qint64(std::clamp(std::floor(durationMs + 0.5), 0.0, double(MaxCycleTimeMs)));
}

std::optional<qint64> percentile(const CycleTimes &times, double fraction)
{
    qint64 total = 0;
    for (int runs : times)
        total += runs;
    if (total == 0)
        return std::nullopt;
    const qint64 rank = std::max<qint64>(1, qint64(std::ceil(fraction * double(total) - 1e-9)));
    qint64 seen = 0;
    for (auto it = times.cbegin(); it != times.cend(); ++it) {
        seen += it.value();
        if (seen >= rank)
            return it.key();
    }
    return times.lastKey();
}

QHash<QString, PairHistory> histories(const QList<Run> &runs)
{
    QHash<QString, PairHistory> pairs;
    for (const Run &run : runs) {
        const QString pair = run.pair();
        if (pair.isEmpty())
            continue;
        auto found = pairs.find(pair);
        if (found == pairs.end())
            found = pairs.insert(pair, PairHistory { run.id, run.startTime, {}, {} });
        PairHistory &h = *found;
        if (run.startTime < h.firstStart || (run.startTime == h.firstStart && run.id < h.firstId)) {
            h.firstId = run.id;
            h.firstStart = run.startTime;
        }
        if (run.passed) {
            if (!h.passStart.isValid() || run.startTime < h.passStart)
                h.passStart = run.startTime;
            if (h.passDay.isEmpty() || run.day() < h.passDay)
                h.passDay = run.day();
        }
    }
    return pairs;
}

bool passedBy(const PairHistory &history, const Bound &until)
{
    if (history.passDay.isEmpty())
        return false;
    if (!until.day.isEmpty())
        return history.passDay <= until.day;
    return !until.time.isValid() || history.passStart <= until.time;
}

Figures &Figures::operator+=(const Figures &other)
{
    runs += other.runs;
    passed += other.passed;
    pairedRuns += other.pairedRuns;
    pairs += other.pairs;
    pairsFirstPassed += other.pairsFirstPassed;
    pairsFinallyPassed += other.pairsFinallyPassed;
    pairsPassedFirstDay += other.pairsPassedFirstDay;
    for (auto it = other.failures.cbegin(); it != other.failures.cend(); ++it)
        failures[it.key()] += it.value();
    for (auto it = other.cycleTimes.cbegin(); it != other.cycleTimes.cend(); ++it)
        cycleTimes[it.key()] += it.value();
    return *this;
}

void Summary::add(const QString &day, const QString &station, const Figures &figures,
                  const QString &socket)
{
    all += figures;
    days[day] += figures;
    stations[station] += figures;
    stationDays[station][day] += figures;
    if (!socket.isEmpty())
        socketDays[station][socket][day] += figures;
}

Summary summarize(const QList<Run> &selected, const QHash<QString, PairHistory> &pairs,
                  const Bound &until)
{
    // Counted by day, station and socket first: a run adds to one cell only.
    QMap<std::tuple<QString, QString, QString>, Figures> cells;
    for (const Run &run : selected) {
        Figures &f = cells[{ run.day(), run.station, run.socket }];
        ++f.runs;
        if (run.passed) {
            ++f.passed;
            ++f.cycleTimes[cycleTimeMs(run.durationMs)];
        } else {
            ++f.failures[run.failCode];
        }
        const auto history = pairs.constFind(run.pair());
        if (history == pairs.cend())
            continue;
        ++f.pairedRuns;
        if (history->firstId == run.id) {
            ++f.pairs;
            f.pairsFirstPassed += run.passed ? 1 : 0;
            f.pairsFinallyPassed += passedBy(*history, until) ? 1 : 0;
            f.pairsPassedFirstDay += history->passDay == run.day() ? 1 : 0;
        }
    }
    Summary summary;
    for (auto it = cells.cbegin(); it != cells.cend(); ++it) {
        const auto &[day, station, socket] = it.key();
        summary.add(day, station, it.value(), socket);
    }
    return summary;
}

Summary summarize(const QList<Run> &all, const Filter &filter)
{
    const QList<Run> runs = distinct(all);
    return summarize(select(runs, filter), histories(runs), filter.until);
}

Summary summarize(const QList<Run> &runs)
{
    return summarize(runs, Filter {});
}

QString format(const Summary &summary)
{
    const Figures &all = summary.all;
    QString text = QStringLiteral("Runs: %1\nPassed: %2\nFirst-pass yield: %3\nFinal yield: %4\n"
                                  "Retests: %5\n")
                       .arg(QString::number(all.runs), passedText(all), firstPassText(all),
                            finalYieldText(all), retestsText(all));
    text += QStringLiteral("Failures by code:%1\n").arg(all.failures.isEmpty() ? " none" : "");
    for (auto it = all.failures.cbegin(); it != all.failures.cend(); ++it)
        text += QStringLiteral("  %1  %2 runs  %3\n")
                    .arg(it.key(), 2)
                    .arg(it.value())
                    .arg(QLatin1String(failureCodeMeaning(it.key())));
    text += QStringLiteral("Cycle time of passed runs: %1\n").arg(cycleTimeText(all));
    if (!summary.days.isEmpty())
        text += QStringLiteral("Per day (a pair counts on the day of its first run):\n");
    for (auto it = summary.days.cbegin(); it != summary.days.cend(); ++it) {
        const Figures &day = it.value();
        // One pass: a day read from a record is never read again for placeholders.
        text += QStringLiteral("  %1  runs %2, passed %3, first-pass yield %4, final yield %5, "
                               "retests %6, failures %7, cycle time %8\n")
                    .arg(it.key(), QString::number(day.runs), QString::number(day.passed),
                         firstPassText(day), finalYieldText(day), retestsText(day),
                         QString::number(day.runs - day.passed), cycleTimeText(day));
    }
    if (!summary.stations.isEmpty())
        text += QStringLiteral("Per station (a pair counts at the station of its first run):\n");
    for (auto it = summary.stations.cbegin(); it != summary.stations.cend(); ++it) {
        const Figures &station = it.value();
        text += QStringLiteral("  %1  runs %2, passed %3, first-pass yield %4, final yield %5, "
                               "retests %6, failures by code: %7, cycle time %8\n")
                    .arg(it.key(), QString::number(station.runs), passedText(station),
                         firstPassText(station), finalYieldText(station), retestsText(station),
                         failuresByCodeText(station), cycleTimeText(station));
    }
    return text;
}

QString summary(const QList<Run> &runs)
{
    return format(summarize(runs));
}

QString csvHeader()
{
    return QStringLiteral(
        "run,start,end,durationMs,host,backend,serial1,serial2,verdict,failCode,id,station\n");
}

QString csvRow(const Run &run)
{
    // One field at a time: a field is never read again for placeholders.
    const QStringList fields = { QString::number(run.run),
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
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString csv(const QList<Run> &runs)
{
    QString text = csvHeader();
    for (const Run &run : runs)
        text += csvRow(run);
    return text;
}

} // namespace yieldreport
