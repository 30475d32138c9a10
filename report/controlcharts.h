#pragma once

#include "report/yieldreport.h"

#include <QList>
#include <QString>
#include <QStringList>

// Which stations are out of control against the line, over the last working
// days of the period (days with runs):
// - first-pass yield, on a p-chart: the line's yield over those days is the
//   centre line, and a station's yield over them lies below the lower
//   3-sigma limit for its count of pairs, or its last 7 working days all lay
//   below the centre (the side to act on: a station better than the line is
//   not flagged);
// - fixture failures (failed runs of a fixture code, per run), the same way,
//   above the upper limit only;
// - the median cycle time of its passed runs, 10 % or more above its own
//   median of the working days before.
namespace controlcharts {

constexpr int WorkingDays = 7;
constexpr double Sigmas = 3;
constexpr double CycleTimeGrowth = 0.10;

// A p-chart's limits for a point of `n` around `centre` (a fraction),
// clamped to [0, 1].
struct Limits {
    double lower = 0, upper = 1;
};
Limits limits(double centre, int n);

// A p-chart of first-pass yield, a point a period: each point is marked
// when it lies below its lower limit around `centre`, or is the 7th or a
// later of the points in a row below `centre` (periods without pairs left
// out of the row). Lower limits of periods without pairs are 0.
struct Points {
    QList<double> lower;
    QList<bool> marked;
};
Points pChart(const QList<yieldreport::Figures> &periods, double centre);

// The fixture's codes (the chips could not be found, opened, or talked to
// as a pair: 1, 2, 5, 9, 10, 20) against the product's (3, 4, 6, 7, 8).
bool fixtureCode(int code);

// A station's flag, or with `socket` one of its sockets' (first-pass yield
// and fixture failures only).
struct Flag {
    QString station, socket;
    QString text; // "bench-03: first-pass yield 71.0 % over the last 7 working days against …"
    QString name() const; // "bench-03", "bench-03 socket B"
};
QList<Flag> flags(const yieldreport::Summary &summary);

} // namespace controlcharts
