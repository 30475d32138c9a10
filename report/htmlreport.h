#pragma once

#include "report/yieldreport.h"

// The yield report as one self-contained HTML page with charts: yield and
// first-pass yield per day, failures by code as a Pareto chart, cycle times
// as a histogram with the median and 95th percentile marked, and the same per
// station. Chart.js (Debian's libjs-chart.js) is built into the program and
// into the page, so the page works offline, with no file beside it. The
// page's numbers are the text report's.
namespace htmlreport {

// Cycle times in equal bins from the shortest to the longest.
struct Histogram {
    double from = 0, width = 0;
    QList<int> counts;
};
constexpr int HistogramBins = 30;
Histogram histogram(const QList<double> &durations);

// A failed run, for the table of the latest ones.
struct Failure {
    QString start, station;
    QStringList serials;
    int failCode = 0;
};
constexpr int LatestFailures = 20;

struct Page {
    yieldreport::Summary summary;
    Histogram cycleTimes;
    QList<Failure> latestFailures; // newest first
    QString sources; // what the records came from: files, or the line database
    QString period; // the selection, or the days the runs fall on
};

// The page's parts that come from records files.
Page fromRuns(const QList<yieldreport::Run> &runs);

// Every text from a record is escaped for HTML, and for the script that
// feeds the charts.
QByteArray render(const Page &page);

} // namespace htmlreport
