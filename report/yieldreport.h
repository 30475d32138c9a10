#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// Reading TestingRecords.jsonl and summarising it: runs, passes, first-pass
// yield, failures by code and cycle times, in all and per day.
namespace yieldreport {

struct Run {
    QString id; // the record's own, or for a record written before records had one, a UUID
                // derived from its line
    QString station; // the record's, or its host for a record written before
    int run = 0;
    QString start, end; // ISO 8601 as recorded, with the station's UTC offset
    QDateTime startTime;
    double durationMs = 0;
    QString host, backend;
    QStringList serials;
    bool passed = false;
    int failCode = 0;

    QString day() const { return start.left(10); } // the station's own calendar day
    QString pair() const; // the chips' serial numbers, sorted; empty without two chips
};

// The runs in `text`; each line that is not a run record goes to `problems`
// as "NAME:LINE: reason" and is skipped.
QList<Run> parse(const QByteArray &text, const QString &name, QStringList *problems);

// A bound of --since or --until: a day (2026-12-07, whole day included) or an
// ISO 8601 date and time. Invalid when `text` is neither.
struct Bound {
    QString day;
    QDateTime time;
    bool valid() const { return !day.isEmpty() || time.isValid(); }
};
Bound bound(const QString &text);
QList<Run> between(const QList<Run> &runs, const Bound &since, const Bound &until);

// What the report selects: --since, --until, --station.
struct Filter {
    Bound since, until;
    QString station; // empty: every station
};
QList<Run> select(const QList<Run> &runs, const Filter &filter);

// The figures of a set of runs. A pair of chips counts, in first-pass yield,
// where its first selected run is: on that day, at that station.
struct Figures {
    int runs = 0, passed = 0, pairs = 0, pairsFirstPassed = 0;
    QMap<int, int> failures; // failed runs by code
    std::optional<double> median, percentile95; // cycle time, ms
};
struct Summary {
    Figures all;
    QMap<QString, Figures> days; // by the station's own calendar day
    QMap<QString, Figures> stations;
};
Summary summarize(const QList<Run> &runs);
QString format(const Summary &summary);

// The figures as the report writes them: "4 (57.1 %)", "1 of 3 pairs
// (33.3 %)", "median 140.0 ms, 95th percentile 1000.0 ms", "code 3: 1".
QString passedText(const Figures &figures);
QString firstPassText(const Figures &figures);
QString cycleTimeText(const Figures &figures);
QString failuresByCodeText(const Figures &figures);

QString summary(const QList<Run> &runs);
QString csv(const QList<Run> &runs);

} // namespace yieldreport
