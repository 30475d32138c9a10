#include "report/controlcharts.h"

#include <cmath>

namespace controlcharts {

using yieldreport::Figures;
using yieldreport::Summary;

Limits limits(double centre, int n)
{
    if (n <= 0)
        return {};
    const double sigma = std::sqrt(centre * (1 - centre) / n);
    return { std::max(0.0, centre - Sigmas * sigma), std::min(1.0, centre + Sigmas * sigma) };
}

Points pChart(const QList<Figures> &periods, double centre)
{
    Points points;
    int below = 0;
    for (const Figures &f : periods) {
        const Limits l = limits(centre, f.pairs);
        const double yield = f.pairs ? double(f.pairsFirstPassed) / f.pairs : centre;
        if (f.pairs > 0)
            below = yield < centre ? below + 1 : 0;
        points.lower << (f.pairs ? l.lower : 0);
        points.marked << (f.pairs > 0 && (yield < l.lower || below >= WorkingDays));
    }
    return points;
}

bool fixtureCode(int code)
{
    switch (code) {
    case 1:
    case 2:
    case 5:
    case 9:
    case 10:
    case 20: return true;
    default: return false;
    }
}

namespace {

int fixtureFailures(const Figures &f)
{
    int count = 0;
    for (auto it = f.failures.cbegin(); it != f.failures.cend(); ++it)
        if (fixtureCode(it.key()))
            count += it.value();
    return count;
}

QString percentText(double fraction)
{
    return QStringLiteral("%1 %").arg(100 * fraction, 0, 'f', 1);
}

QString msText(qint64 ms)
{
    return ms >= 10000 ? QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1)
                       : QStringLiteral("%1 ms").arg(ms);
}

// A station's figures over `days`, and the line's.
Figures over(const QMap<QString, Figures> &byDay, const QStringList &days)
{
    Figures total;
    for (const QString &day : days)
        total += byDay.value(day);
    return total;
}

// How many of the station's last working days (those it tested pairs on)
// lay on one side of `centre`, in a row, up to the last: negative below.
int runOnOneSide(const QMap<QString, Figures> &byDay, const QStringList &days, double centre)
{
    int run = 0;
    for (auto day = days.crbegin(); day != days.crend(); ++day) {
        const Figures f = byDay.value(*day);
        if (f.pairs == 0)
            continue;
        const double yield = double(f.pairsFirstPassed) / f.pairs;
        const int side = yield < centre ? -1 : yield > centre ? 1 : 0;
        if (side == 0 || (run != 0 && (run > 0) != (side > 0)))
            break;
        run += side;
    }
    return run;
}

// The line's figures over the last working days, against which each
// station and socket is judged.
struct Judge {
    QStringList working, last, before;
    QString window;
    Figures line;
    double yieldCentre = 0, fixtureCentre = 0;

    explicit Judge(const Summary &summary)
    {
        for (auto it = summary.days.cbegin(); it != summary.days.cend(); ++it)
            if (it->runs > 0)
                working << it.key();
        last = working.mid(std::max<qsizetype>(0, working.size() - WorkingDays));
        before = working.mid(0, working.size() - last.size());
        line = over(summary.days, last);
        window = QStringLiteral("over the last %1 working days").arg(last.size());
        yieldCentre = line.pairs ? double(line.pairsFirstPassed) / line.pairs : 0;
        fixtureCentre = line.runs ? double(fixtureFailures(line)) / line.runs : 0;
    }

    // First-pass yield and fixture failures of `byDay`, and with
    // `cycleTimes` its median cycle time, each flagged as `flag(text)`.
    template<typename Report>
    void judge(const QMap<QString, Figures> &byDay, bool cycleTimes, Report flag) const
    {
        const Figures mine = over(byDay, last);
        if (mine.pairs > 0 && line.pairs > 0) {
            const double yield = double(mine.pairsFirstPassed) / mine.pairs;
            const Limits l = limits(yieldCentre, mine.pairs);
            if (yield < l.lower)
                flag(QStringLiteral("first-pass yield %1 %2 against the line's %3, beyond the "
                                    "3-sigma limit (%4 for %5 pairs)")
                         .arg(percentText(yield), window, percentText(yieldCentre),
                              percentText(l.lower))
                         .arg(mine.pairs));
            const int side = runOnOneSide(byDay, working, yieldCentre);
            if (-side >= WorkingDays)
                flag(QStringLiteral("first-pass yield below the line's %1 on each of its last %2 "
                                    "working days")
                         .arg(percentText(yieldCentre))
                         .arg(-side));
        }
        if (mine.runs > 0 && line.runs > 0) {
            const double rate = double(fixtureFailures(mine)) / mine.runs;
            const Limits l = limits(fixtureCentre, mine.runs);
            if (rate > l.upper)
                flag(QStringLiteral("fixture failures %1 of runs %2 against the line's %3, "
                                    "beyond the 3-sigma limit (%4 for %5 runs)")
                         .arg(percentText(rate), window, percentText(fixtureCentre),
                              percentText(l.upper))
                         .arg(mine.runs));
        }
        if (!cycleTimes)
            return;
        const auto now = mine.median(), then = over(byDay, before).median();
        if (now && then && *then > 0 && *now >= *then * (1 + CycleTimeGrowth))
            flag(QStringLiteral("median cycle time %1 %2 against its %3 before, %4 % longer")
                     .arg(msText(*now), window, msText(*then))
                     .arg(qRound(100.0 * (*now - *then) / *then)));
    }
};

} // namespace

QString Flag::name() const
{
    return socket.isEmpty() ? station : QStringLiteral("%1 socket %2").arg(station, socket);
}

QList<Flag> flags(const Summary &summary)
{
    const Judge judge(summary);
    QList<Flag> found;
    if (judge.line.pairs == 0 && judge.line.runs == 0)
        return found;
    for (auto it = summary.stationDays.cbegin(); it != summary.stationDays.cend(); ++it) {
        const QString &station = it.key();
        judge.judge(it.value(), true, [&](const QString &text) {
            found << Flag { station, {}, station + QStringLiteral(": ") + text };
        });
        // A socket's cycle time is its station's: the sockets run side by side.
        const auto sockets = summary.socketDays.value(station);
        for (auto socket = sockets.cbegin(); socket != sockets.cend(); ++socket)
            judge.judge(socket.value(), false, [&](const QString &text) {
                Flag flag { station, socket.key(), {} };
                flag.text = flag.name() + QStringLiteral(": ") + text;
                found << flag;
            });
    }
    return found;
}

} // namespace controlcharts
