#pragma once

#include "report/runrecords.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// Summarising the run records (runrecords.h): runs, passes, first-pass
// yield, failures by code and cycle times, in all and per day.
namespace yieldreport {

// A bound of --since or --until: a day (2026-12-07, whole day included) or an
// ISO 8601 date and time. Invalid when `text` is neither.
struct Bound {
    QString day;
    QDateTime time;
    bool valid() const { return !day.isEmpty() || time.isValid(); }
};
Bound bound(const QString &text);
// Whether the period from `since` to `until` holds no moment at all.
bool inverted(const Bound &since, const Bound &until);
QList<Run> between(const QList<Run> &runs, const Bound &since, const Bound &until);

// Stations renamed by the line's owner, each old name with the name it goes
// by now: the runs of every name a station had count as the station's.
struct StationNames {
    QHash<QString, QString> now; // by the old name
    // The name `station` goes by now, through each renaming in turn.
    QString of(const QString &station) const;
    // Every name `station` (as it is named now) had, itself first.
    QStringList namesOf(const QString &station) const;
    // "OLD=NEW" added; false when it is not of that form.
    bool add(const QString &renaming);
    // A name renamed back to itself through others, or empty.
    QString circle() const;
    // "bench-3 counted as bench-03, …"; empty when none.
    QString text() const;
};

// What the report selects: --since, --until, --station, --renamed.
struct Filter {
    Bound since, until;
    QString station; // empty: every station; else as it is named now
    StationNames renamed;
};
QList<Run> select(const QList<Run> &runs, const Filter &filter);

// The runs with one id counted once: the first of them read.
QList<Run> distinct(const QList<Run> &runs);

// Cycle times are kept to the whole millisecond (rounded, at most
// MaxCycleTimeMs): how many runs took each.
using CycleTimes = QMap<qint64, int>;
constexpr qint64 MaxCycleTimeMs = 1000000000000; // 31 years
qint64 cycleTimeMs(double durationMs);
// Nearest rank: the smallest time with `fraction` of the runs at or below it.
std::optional<qint64> percentile(const CycleTimes &times, double fraction);

// What a pair's runs in all the data read say, whatever the selection: its
// first run (the earliest start; of two at one time, the lower id) and when
// it first passed (the earliest start and the earliest day of a passed run).
struct PairHistory {
    QString firstId;
    QDateTime firstStart;
    QDateTime passStart; // invalid: never passed
    QString passDay;
};
QHash<QString, PairHistory> histories(const QList<Run> &runs);
// Whether a pair had passed by the end of the period `until` closes (none:
// in all the data).
bool passedBy(const PairHistory &history, const Bound &until);

// The figures of a period. A pair counts once, where its first run is (that
// day, that station), and only when that first run lies in the period.
struct Figures {
    int runs = 0, passed = 0;
    int pairedRuns = 0; // runs of two chips
    int pairs = 0; // pairs whose first run is here
    int pairsFirstPassed = 0; // of them, those that passed that first run
    int pairsFinallyPassed = 0; // of them, those with a passed run by the period's end
    int pairsPassedFirstDay = 0; // of them, those with a passed run on the day of their first
    QMap<int, int> failures; // failed runs by code
    CycleTimes cycleTimes; // passed runs

    int retests() const { return pairedRuns - pairs; } // runs not their pair's first
    std::optional<qint64> median() const { return percentile(cycleTimes, 0.5); }
    std::optional<qint64> percentile95() const { return percentile(cycleTimes, 0.95); }
    Figures &operator+=(const Figures &other);
};
struct Summary {
    Figures all;
    QMap<QString, Figures> days; // by the station's own calendar day
    QMap<QString, Figures> stations;
    QMap<QString, QMap<QString, Figures>> stationDays; // station, then day
    // The runs at a fixture's sockets: station, socket, then day. A pair
    // counts at the socket of its first run.
    QMap<QString, QMap<QString, QMap<QString, Figures>>> socketDays;

    // Adds a day's figures at a station (and at one of its sockets) to every
    // total they belong to.
    void add(const QString &day, const QString &station, const Figures &figures,
             const QString &socket = QString());
};
// The selected runs' figures, their pairs judged by `pairs` (of all the data).
Summary summarize(const QList<Run> &selected, const QHash<QString, PairHistory> &pairs,
                  const Bound &until);
// The report of all the runs read (files given, counted once each), filtered.
Summary summarize(const QList<Run> &all, const Filter &filter);
Summary summarize(const QList<Run> &runs);
QString format(const Summary &summary);

// The figures as the report writes them: "4 (57.1 %)", "1 of 3 pairs
// (33.3 %)", "2 of 7 runs (28.6 %)", "median 140 ms, 95th percentile
// 1000 ms", "code 3: 1".
QString percent(int part, int whole);
QString passedText(const Figures &figures);
QString firstPassText(const Figures &figures);
QString finalYieldText(const Figures &figures);
QString retestsText(const Figures &figures);
QString cycleTimeText(const Figures &figures);
QString failuresByCodeText(const Figures &figures);

QString summary(const QList<Run> &runs);
QString csvHeader();
QString csvRow(const Run &run);
QString csv(const QList<Run> &runs);

} // namespace yieldreport
