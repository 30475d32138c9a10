#pragma once

#include "report/yieldreport.h"

// The yield report as one self-contained HTML page with charts: tiles for the
// period's last day against the day before and the 7 days before, yield by
// station and day, cycle time per day, the cycle-time histogram, the failure
// Pareto of the fixture and of the product, and the latest failures with
// every run of their pairs. Chart.js (Debian's libjs-chart.js) is built into
// the program and into the page, so the page works offline, with no file
// beside it; a Content-Security-Policy lets only the page's own scripts run
// and loads nothing. The page's numbers are the text report's.
namespace htmlreport {

// Cycle times of passed runs in equal bins of whole milliseconds from the
// shortest to the 99th percentile; the slower ones in `overflow`.
struct Histogram {
    qint64 from = 0, width = 1;
    QList<int> counts;
    int overflow = 0;
    qint64 clippedAt = 0; // the 99th percentile
};
constexpr int HistogramBins = 30;
Histogram histogram(const yieldreport::CycleTimes &times);

// A run of a pair, as the table of the latest failures lists it.
struct PairRun {
    QString start, station;
    bool passed = false;
    int failCode = 0;
};

// A failed run, for the table of the latest ones, with every run of its pair.
struct Failure {
    QString start, station;
    QStringList serials;
    int failCode = 0;
    QList<PairRun> pairRuns; // oldest first
};
constexpr int LatestFailures = 20;
// The newest failed runs read for them: a pair that failed several times
// takes one row.
constexpr int FailuresRead = 200;
// The pairs with runs in the period that had not passed by its end: how
// many, and the newest of them (by their newest run), each as its newest run
// with every run of the pair.
constexpr int NeverPassedListed = 20;

struct Page {
    yieldreport::Summary summary;
    // The period's last working days (days with runs), for the tiles.
    yieldreport::Summary recent;
    QDate reportDay = QDate::currentDate(); // a day before it is over
    QList<Failure> latestFailures; // newest first
    int neverPassedCount = 0;
    QList<Failure> neverPassed; // newest first, at most NeverPassedListed
    QString sources; // what the records came from: files, or the line database
    QString period; // the selection, or the days the runs fall on
    int skippedLines = 0; // of the files read, lines that were no run record
    QStringList setApart; // runs dated more than a day after the report
};

// The days the tiles compare: the last 9 working days (a day that may not be
// over, the headline day and the 7 before it).
constexpr int RecentWorkingDays = 9;
yieldreport::Filter recentDays(const yieldreport::Summary &summary,
                               const yieldreport::Filter &filter);

// The grain of the page's charts and its table of periods: days up to
// RollUpWeeksAfterDays days from the first to the last, then ISO weeks
// ("2026-W53", Monday to Sunday, the week of the year its Thursday is in),
// beyond RollUpMonthsAfterDays calendar months ("2026-12").
enum class Grain { Day, Week, Month };
constexpr int RollUpWeeksAfterDays = 60;
constexpr int RollUpMonthsAfterDays = 730;
Grain grainOf(const QMap<QString, yieldreport::Figures> &days);
QString periodOf(const QString &day, Grain grain);
QMap<QString, yieldreport::Figures> rolledUp(const QMap<QString, yieldreport::Figures> &days,
                                             Grain grain);

// Beyond this many stations, first-pass yield by station is one small chart a
// station, all on one scale, instead of one line a station in one chart.
constexpr int OverlaidStations = 4;

// The page's parts that come from records files (all of them read, counted
// once each).
Page fromRuns(const QList<yieldreport::Run> &all, const yieldreport::Filter &filter);

// Every text from a record is escaped for HTML, and for the script that
// feeds the charts.
QByteArray render(const Page &page);

} // namespace htmlreport
