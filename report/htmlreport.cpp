#include "report/htmlreport.h"

#include "procedure/failurecodes.h"
#include "report/controlcharts.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace htmlreport {

namespace {

using yieldreport::Figures;
using yieldreport::Summary;

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

// JSON that a <script> element cannot be closed or commented by.
QByteArray scriptJson(const QJsonObject &object)
{
    QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    json.replace('<', "\\u003c").replace('>', "\\u003e").replace('&', "\\u0026");
    return json;
}

QByteArray resource(const QString &name)
{
    QFile file(name);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QByteArray chartJs()
{
    // Nothing in it may end the element it is put in.
    return resource(QStringLiteral(":/report/chart.min.js")).replace("</script", "<\\/script");
}

// "3.9.1", from the library's own header comment.
QString chartJsVersion()
{
    static const QRegularExpression version(QStringLiteral("Chart\\.js v([0-9.]+)"));
    return version.match(QString::fromLatin1(chartJs().left(200))).captured(1);
}

// What a Content-Security-Policy names an inline element by.
QByteArray hashSource(const QByteArray &content)
{
    return "'sha256-" + QCryptographicHash::hash(content, QCryptographicHash::Sha256).toBase64()
        + "'";
}

QJsonValue percentOrNull(int part, int whole)
{
    return whole ? QJsonValue(100.0 * part / whole) : QJsonValue(QJsonValue::Null);
}

QJsonValue msOrNull(std::optional<qint64> ms)
{
    return ms ? QJsonValue(double(*ms)) : QJsonValue(QJsonValue::Null);
}

QJsonObject rates(const Figures &f)
{
    return { { QStringLiteral("runs"), f.runs },
             { QStringLiteral("retests"), f.retests() },
             { QStringLiteral("yield"), percentOrNull(f.passed, f.runs) },
             { QStringLiteral("firstPassYield"), percentOrNull(f.pairsFirstPassed, f.pairs) },
             { QStringLiteral("finalYield"), percentOrNull(f.pairsFinallyPassed, f.pairs) },
             { QStringLiteral("median"), msOrNull(f.median()) },
             { QStringLiteral("percentile95"), msOrNull(f.percentile95()) } };
}

QJsonArray byKey(const QMap<QString, Figures> &groups, const QString &key)
{
    QJsonArray array;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        QJsonObject group = rates(it.value());
        group.insert(key, it.key());
        array << group;
    }
    return array;
}

QString failureKind(int code)
{
    return controlcharts::fixtureCode(code) ? QStringLiteral("fixture") : QStringLiteral("product");
}

// The stations out of control, at the top of the page.
QString flagsList(const Summary &summary)
{
    const QList<controlcharts::Flag> flags = controlcharts::flags(summary);
    if (summary.days.isEmpty())
        return QString();
    if (flags.isEmpty())
        return QStringLiteral("<p class=\"flags\">No station out of control over the last %1 "
                              "working days.</p>\n")
            .arg(controlcharts::WorkingDays);
    QString list = QStringLiteral("<section class=\"flags\"><h2>Out of control</h2>\n<ul>\n");
    for (const controlcharts::Flag &flag : flags)
        list += QStringLiteral("<li data-station=\"%1\" data-socket=\"%2\">%3</li>\n")
                    .arg(esc(flag.station), esc(flag.socket), esc(flag.text));
    return list + QStringLiteral("</ul></section>\n");
}

// Failed runs by code, most first.
QJsonArray pareto(const QMap<int, int> &failures)
{
    QList<std::pair<int, int>> byCount; // runs, code
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        byCount << std::pair { it.value(), it.key() };
    std::stable_sort(byCount.begin(), byCount.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    QJsonArray array;
    for (const auto &[runs, code] : byCount)
        array << QJsonObject { { QStringLiteral("code"), code },
                               { QStringLiteral("meaning"),
                                 QLatin1String(failureCodeMeaning(code)) },
                               { QStringLiteral("kind"), failureKind(code) },
                               { QStringLiteral("runs"), runs } };
    return array;
}

QJsonObject histogramData(const Figures &all)
{
    const Histogram h = histogram(all.cycleTimes);
    QJsonArray counts;
    for (int count : h.counts)
        counts << count;
    return { { QStringLiteral("from"), double(h.from) },
             { QStringLiteral("width"), double(h.width) },
             { QStringLiteral("counts"), counts },
             { QStringLiteral("overflow"), h.overflow },
             { QStringLiteral("clippedAt"), double(h.clippedAt) },
             { QStringLiteral("median"), msOrNull(all.median()) },
             { QStringLiteral("percentile95"), msOrNull(all.percentile95()) } };
}

// "day", "week", "month": what the charts and the table of periods go by.
QString grainName(Grain grain)
{
    switch (grain) {
    case Grain::Week: return QStringLiteral("week");
    case Grain::Month: return QStringLiteral("month");
    case Grain::Day: break;
    }
    return QStringLiteral("day");
}

// A station's or a socket's first-pass yield and median cycle time in each
// of the periods, null where it tested no pair, on a p-chart around the
// line's yield over the page's period.
QJsonObject pChartData(const QMap<QString, Figures> &days, Grain grain,
                       const QMap<QString, Figures> &periods, double centre)
{
    QJsonArray yields, medians, lower, marked;
    const QMap<QString, Figures> mine = rolledUp(days, grain);
    QList<Figures> cells;
    for (auto period = periods.keyBegin(); period != periods.keyEnd(); ++period) {
        const auto cell = mine.constFind(*period);
        const bool tested = cell != mine.cend();
        yields << (tested ? percentOrNull(cell->pairsFirstPassed, cell->pairs) : QJsonValue());
        medians << (tested ? msOrNull(cell->median()) : QJsonValue());
        cells << (tested ? *cell : Figures());
    }
    const controlcharts::Points points = controlcharts::pChart(cells, centre);
    for (int i = 0; i < cells.size(); ++i) {
        lower << (cells[i].pairs ? QJsonValue(std::round(1000 * points.lower[i]) / 10)
                                 : QJsonValue());
        marked << points.marked[i];
    }
    return { { QStringLiteral("firstPassYield"), yields },
             { QStringLiteral("median"), medians },
             { QStringLiteral("lowerLimit"), lower },
             { QStringLiteral("marked"), marked } };
}

QJsonObject chartData(const Page &page)
{
    const Summary &s = page.summary;
    const Grain grain = grainOf(s.days);
    const QMap<QString, Figures> periods = rolledUp(s.days, grain);
    const double centre = s.all.pairs ? double(s.all.pairsFirstPassed) / s.all.pairs : 0;
    QJsonArray stationDays, socketDays;
    for (auto it = s.stationDays.cbegin(); it != s.stationDays.cend(); ++it) {
        QJsonObject station = pChartData(it.value(), grain, periods, centre);
        station.insert(QStringLiteral("station"), it.key());
        stationDays << station;
        const auto sockets = s.socketDays.value(it.key());
        for (auto socket = sockets.cbegin(); socket != sockets.cend(); ++socket) {
            QJsonObject cell = pChartData(socket.value(), grain, periods, centre);
            cell.insert(QStringLiteral("station"), it.key());
            cell.insert(QStringLiteral("socket"), socket.key());
            cell.remove(QStringLiteral("median")); // the station's: its sockets run side by side
            socketDays << cell;
        }
    }
    const QMap<int, int> lastDay = s.days.isEmpty() ? QMap<int, int>() : s.days.last().failures;
    return { { QStringLiteral("grain"), grainName(grain) },
             { QStringLiteral("days"), byKey(periods, QStringLiteral("day")) },
             { QStringLiteral("stations"), byKey(s.stations, QStringLiteral("station")) },
             { QStringLiteral("stationDays"), stationDays },
             { QStringLiteral("socketDays"), socketDays },
             { QStringLiteral("centre"), std::round(1000 * centre) / 10 },
             { QStringLiteral("failures"), pareto(s.all.failures) },
             { QStringLiteral("lastDayFailures"), pareto(lastDay) },
             { QStringLiteral("lastDay"), s.days.isEmpty() ? QString() : s.days.lastKey() },
             { QStringLiteral("cycleTimes"), histogramData(s.all) } };
}

QString row(const QStringList &cells)
{
    return QStringLiteral("<tr><td>") + cells.join(QStringLiteral("</td><td>"))
        + QStringLiteral("</td></tr>\n");
}

QString figure(const QString &name, const QString &text)
{
    return QStringLiteral("<span data-figure=\"%1\">%2</span>").arg(name, esc(text));
}

QString summaryTable(const Figures &all)
{
    return QStringLiteral("<table class=\"figures\">\n")
        + row({ QStringLiteral("Runs"), figure("runs", QString::number(all.runs)) })
        + row({ QStringLiteral("Passed"), figure("passed", yieldreport::passedText(all)) })
        + row({ QStringLiteral("First-pass yield"),
                figure("first-pass-yield", yieldreport::firstPassText(all)) })
        + row({ QStringLiteral("Final yield"),
                figure("final-yield", yieldreport::finalYieldText(all)) })
        + row({ QStringLiteral("Retests"), figure("retests", yieldreport::retestsText(all)) })
        + row({ QStringLiteral("Cycle time of passed runs"),
                figure("cycle-time", yieldreport::cycleTimeText(all)) })
        + QStringLiteral("</table>\n");
}

// "+1.2 points against the day before (93.1 %)", "-3 runs against the mean
// of the 7 days before (101.4)"
QString against(std::optional<double> now, std::optional<double> then, const QString &what,
                bool percent)
{
    if (!now || !then)
        return QStringLiteral("nothing to compare in %1").arg(what);
    // Points to a tenth; runs, and their means, are whole numbers.
    const int decimals = percent ? 1 : 0;
    const double change = *now - *then;
    const QString changed = QString::number(change, 'f', decimals);
    return QStringLiteral("%1%2 %3 against %4 (%5)")
        .arg(change >= 0 && !changed.startsWith(QLatin1Char('-')) ? QStringLiteral("+") : QString())
        .arg(changed)
        .arg(percent ? QStringLiteral("points") : QStringLiteral("runs"), what)
        .arg(QString::number(*then, 'f', decimals) + (percent ? QStringLiteral(" %") : QString()));
}

// Runs a working day, to the whole run.
std::optional<double> meanRuns(const Figures &days, int count)
{
    if (count == 0)
        return std::nullopt;
    return std::round(double(days.runs) / count);
}

std::optional<double> rate(int part, int whole)
{
    return whole ? std::optional<double>(100.0 * part / whole) : std::nullopt;
}

QString tile(const QString &name, const QString &title, const QString &value,
             const QString &versusDay, const QString &versusWeek)
{
    return QStringLiteral("<div class=\"tile\"><div class=\"title\">%1</div>"
                          "<div class=\"value\">%2</div><div>%3</div><div>%4</div></div>\n")
        .arg(esc(title), figure(QStringLiteral("tile-") + name, value), esc(versusDay),
             esc(versusWeek));
}

// The headline: the last complete working day (a day with runs that a later
// day with runs follows, or that the report's own day is past), with the
// day not over yet beside it; its first-pass yield, its final yield of equal
// age (pairs that passed on the day of their first run) and its runs,
// against the working day before and the 7 working days before it taken
// together.
QString tiles(const Summary &recent, const QDate &reportDay)
{
    QStringList working;
    for (auto it = recent.days.cbegin(); it != recent.days.cend(); ++it)
        if (it->runs > 0)
            working << it.key();
    if (working.isEmpty())
        return QString();
    QString partial;
    if (QDate::fromString(working.last(), Qt::ISODate) >= reportDay)
        partial = working.takeLast();
    QString head;
    if (!partial.isEmpty()) {
        const Figures &f = recent.days.value(partial);
        head = QStringLiteral("<p class=\"partial\">%1 is not over: %2 runs so far, first-pass "
                              "yield %3</p>\n")
                   .arg(esc(partial))
                   .arg(f.runs)
                   .arg(yieldreport::percent(f.pairsFirstPassed, f.pairs));
    }
    if (working.isEmpty())
        return head;
    const QString last = working.takeLast();
    const Figures today = recent.days.value(last);
    const Figures dayBefore = working.isEmpty() ? Figures {} : recent.days.value(working.last());
    Figures week;
    const QStringList weekDays = working.mid(std::max<qsizetype>(0, working.size() - 7));
    for (const QString &day : weekDays)
        week += recent.days.value(day);
    const QString yesterday = QStringLiteral("the working day before");
    const QString lastWeek = QStringLiteral("the %1 working days before").arg(weekDays.size());
    const QString weekMean
        = QStringLiteral("the mean of the %1 working days before").arg(weekDays.size());
    auto yieldTile = [&](const QString &name, const QString &title, auto passedOf) {
        return tile(name, title, yieldreport::percent(passedOf(today), today.pairs),
                    against(rate(passedOf(today), today.pairs),
                            rate(passedOf(dayBefore), dayBefore.pairs), yesterday, true),
                    against(rate(passedOf(today), today.pairs), rate(passedOf(week), week.pairs),
                            lastWeek, true));
    };
    const auto runsOn
        = [](const Figures &f) { return f.runs ? std::optional<double>(f.runs) : std::nullopt; };
    return head
        + QStringLiteral("<h2>%1, the last complete working day</h2>\n<div class=\"tiles\">\n")
              .arg(esc(last))
        + yieldTile(QStringLiteral("first-pass-yield"), QStringLiteral("First-pass yield"),
                    [](const Figures &f) { return f.pairsFirstPassed; })
        + yieldTile(QStringLiteral("final-yield"), QStringLiteral("Final yield on the first day"),
                    [](const Figures &f) { return f.pairsPassedFirstDay; })
        + tile(QStringLiteral("runs"), QStringLiteral("Runs"), QString::number(today.runs),
               against(runsOn(today), runsOn(dayBefore), yesterday, false),
               against(runsOn(today), meanRuns(week, int(weekDays.size())), weekMean, false))
        + QStringLiteral("</div>\n");
}

QString failuresTable(const Figures &all)
{
    if (all.failures.isEmpty())
        return QStringLiteral("<p>No failures.</p>\n");
    QString html = QStringLiteral(
        "<table>\n<tr><th>Code</th><th>Runs</th><th>Failure</th><th>Of</th></tr>\n");
    for (auto it = all.failures.cbegin(); it != all.failures.cend(); ++it)
        html += row(
            { QString::number(it.key()),
              figure(QStringLiteral("failures-%1").arg(it.key()), QString::number(it.value())),
              esc(QLatin1String(failureCodeMeaning(it.key()))), failureKind(it.key()) });
    return html + QStringLiteral("</table>\n");
}

// The failed runs of one kind, fixture or product, with each code's name:
// "41 (code 2 not exactly two FT232R/FT245R devices: 11; code 5 …: 30)";
// unnamed, "41 (code 2: 11; code 5: 30)".
QString failuresOfKind(const Figures &figures, bool fixture, bool named = true)
{
    int total = 0;
    QStringList codes;
    for (auto it = figures.failures.cbegin(); it != figures.failures.cend(); ++it) {
        if (controlcharts::fixtureCode(it.key()) != fixture)
            continue;
        total += it.value();
        codes << (named ? QStringLiteral("code %1 %2: %3")
                              .arg(it.key())
                              .arg(QLatin1String(failureCodeMeaning(it.key())))
                              .arg(it.value())
                        : QStringLiteral("code %1: %2").arg(it.key()).arg(it.value()));
    }
    return total == 0 ? QStringLiteral("none")
                      : QStringLiteral("%1 (%2)").arg(total).arg(codes.join(QStringLiteral("; ")));
}

// The codes are named in a table of stations; a table of periods, one row a
// day, week or month, is kept short for print.
QString groupTable(const char *kind, const QMap<QString, Figures> &groups, bool named)
{
    QString html = QStringLiteral("<table class=\"groups\">\n<tr><th>%1</th><th>Runs</th>"
                                  "<th>Passed</th><th>First-pass yield</th><th>Final yield</th>"
                                  "<th>Retests</th><th>Fixture failures</th><th>Product "
                                  "failures</th><th>Cycle time of passed runs</th></tr>\n")
                       .arg(QLatin1String(kind));
    for (auto it = groups.cbegin(); it != groups.cend(); ++it)
        html += row({ esc(it.key()), QString::number(it.value().runs),
                      esc(yieldreport::passedText(it.value())),
                      esc(yieldreport::firstPassText(it.value())),
                      esc(yieldreport::finalYieldText(it.value())),
                      esc(yieldreport::retestsText(it.value())),
                      esc(failuresOfKind(it.value(), true, named)),
                      esc(failuresOfKind(it.value(), false, named)),
                      esc(yieldreport::cycleTimeText(it.value())) });
    return html + QStringLiteral("</table>\n");
}

// "2026-12-07 08:00:12": the station's own date and time, to the second.
QString shortTime(const QString &start)
{
    return start.left(19).replace(QLatin1Char('T'), QLatin1Char(' '));
}

QString pairRunsText(const QList<PairRun> &runs)
{
    QStringList texts;
    for (const PairRun &r : runs)
        texts << esc(QStringLiteral("%1 %2 %3")
                         .arg(shortTime(r.start), r.station,
                              r.passed ? QStringLiteral("passed")
                                       : QStringLiteral("failed (%1)").arg(r.failCode)));
    return texts.join(QStringLiteral("<br>"));
}

// What became of the pair: its first passed run, or none yet.
QString outcome(const QList<PairRun> &runs)
{
    for (const PairRun &r : runs)
        if (r.passed)
            return QStringLiteral("passed ") + shortTime(r.start);
    return QStringLiteral("not passed");
}

// The newest failure of each pair (a run of other than two chips stands
// alone), its serial numbers in one order, at most LatestFailures of them.
QList<Failure> onePerPair(const QList<Failure> &failures)
{
    QList<Failure> kept;
    QSet<QString> seen;
    for (Failure f : failures) {
        std::sort(f.serials.begin(), f.serials.end());
        const QString key = QJsonDocument(QJsonArray::fromStringList(f.serials)).toJson();
        if (f.serials.size() == 2 && seen.contains(key))
            continue;
        seen.insert(key);
        kept << f;
        if (kept.size() == LatestFailures)
            break;
    }
    return kept;
}

QString latestFailuresTable(const QList<Failure> &failures)
{
    if (failures.isEmpty())
        return QString();
    QString html = QStringLiteral("<h2>Latest failures, one row a pair</h2>\n<table "
                                  "class=\"latest\">\n<tr><th>Start</th><th>Station</th>"
                                  "<th>Chips</th><th>Code</th><th>Failure</th><th>Outcome</th>"
                                  "<th>Every run of the pair</th></tr>\n");
    for (const Failure &f : onePerPair(failures))
        html += row({ esc(shortTime(f.start)), esc(f.station),
                      esc(f.serials.join(QStringLiteral(", "))), QString::number(f.failCode),
                      esc(QLatin1String(failureCodeMeaning(f.failCode))), esc(outcome(f.pairRuns)),
                      pairRunsText(f.pairRuns) });
    return html + QStringLiteral("</table>\n");
}

QString neverPassedTable(const Page &page)
{
    if (page.neverPassedCount == 0)
        return QString();
    QString html
        = QStringLiteral("<h2>Pairs that never passed: %1</h2>\n").arg(page.neverPassedCount);
    if (page.neverPassedCount > page.neverPassed.size())
        html += QStringLiteral("<p>The newest %1, by their newest run.</p>\n")
                    .arg(page.neverPassed.size());
    html += QStringLiteral("<table class=\"latest\">\n<tr><th>Newest run</th><th>Station</th>"
                           "<th>Chips</th><th>Code</th><th>Failure</th><th>Every run of the "
                           "pair</th></tr>\n");
    for (Failure f : page.neverPassed) {
        std::sort(f.serials.begin(), f.serials.end());
        html += row({ esc(shortTime(f.start)), esc(f.station),
                      esc(f.serials.join(QStringLiteral(", "))), QString::number(f.failCode),
                      esc(QLatin1String(failureCodeMeaning(f.failCode))),
                      pairRunsText(f.pairRuns) });
    }
    return html + QStringLiteral("</table>\n");
}

const char Style[] = R"(
body { font: 14px/1.4 "DejaVu Sans", Arial, sans-serif; margin: 24px; color: #222; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 28px 0 8px; }
.sources { color: #555; margin: 0 0 16px; }
.flags li { color: #a00000; font-weight: bold; }
table { border-collapse: collapse; margin: 4px 0; }
td, th { border: 1px solid #ccc; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f2f2f2; }
.figures td:first-child { font-weight: bold; }
.tiles { display: flex; gap: 16px; flex-wrap: wrap; }
.tile { border: 1px solid #ccc; border-radius: 6px; padding: 8px 14px; min-width: 260px; }
.tile .title { color: #555; } .tile .value { font-size: 30px; font-weight: bold; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(520px, 1fr)); gap: 16px; }
.chart { border: 1px solid #ddd; padding: 8px; height: 300px; }
.multiples { display: grid; grid-template-columns: repeat(auto-fill, minmax(240px, 1fr));
             gap: 8px; }
.multiples h3 { font-size: 13px; margin: 0; } .small { height: 170px; }
footer { color: #777; font-size: 12px; margin-top: 28px; }
.later { content-visibility: auto; contain-intrinsic-size: auto 2000px; }
@media print {
  .later { content-visibility: visible; }
  body { margin: 0; font-size: 10pt; }
  .charts { display: block; }
  .charts > div, .tile, tr { break-inside: avoid; }
  .chart { width: 17cm; height: 7cm; border: none; }
  .multiples { grid-template-columns: repeat(3, 5.6cm); } .small { height: 3.2cm; }
  .multiples > div { break-inside: avoid; }
  td, th { padding: 1px 3px; font-size: 7.5pt; }
  h2 { break-after: avoid; }
}
)";

// Draws the charts from the page's data; no animation, so a chart is drawn
// as soon as it is made.
const char Script[] = R"(
const data = JSON.parse(document.getElementById('report-data').textContent);
Chart.defaults.animation = false;
Chart.defaults.maintainAspectRatio = false;
const colours = ['#1565c0', '#2e7d32', '#c62828', '#6a1b9a', '#ef6c00', '#00838f', '#5d4037',
                 '#ad1457', '#9e9d24', '#37474f'];
const runsAxis = { beginAtZero: true, ticks: { precision: 0 }, title: { display: true, text: 'runs' } };
const msAxis = { title: { display: true, text: 'ms' } };
// From a little under the lowest yield to 100 %: 3 points apart show.
function percentAxis(values) {
  const low = Math.min(100, ...values.filter(v => v !== null));
  return { min: Math.max(0, Math.floor(low) - 2), max: 100, title: { display: true, text: '%' } };
}
function chart(id, config) {
  const canvas = document.getElementById(id);
  if (canvas) new Chart(canvas, config);
}
const days = data.days.map(d => d.day);
// A year of days draws as lines: its points would hide them and take long.
Chart.defaults.elements.point.radius = days.length > 60 ? 0 : 3;
function line(label, values, i) {
  return { label, data: values, borderColor: colours[i % colours.length],
           backgroundColor: colours[i % colours.length], spanGaps: true };
}
// First-pass yield on a p-chart: the points out of control red triangles.
function pLine(label, s, i) {
  const l = line(label, s.firstPassYield, i);
  l.pointStyle = s.marked.map(m => m ? 'triangle' : 'circle');
  l.pointBackgroundColor = s.marked.map(m => m ? '#ff1744' : l.borderColor);
  l.pointBorderColor = s.marked.map(m => m ? '#000000' : l.borderColor);
  l.pointRadius = s.marked.map(m => m ? 6 : Chart.defaults.elements.point.radius);
  return l;
}
const centreLine = { label: "line's yield", data: days.map(() => data.centre), borderColor: '#616161',
                     borderWidth: 1, pointRadius: 0 };
function limitLine(s) {
  return { label: '3-sigma limit', data: s.lowerLimit, borderColor: '#9e9e9e', borderWidth: 1,
           borderDash: [4, 3], pointRadius: 0, spanGaps: true };
}
const perStation = data.stationDays.map((s, i) => pLine(s.station, s, i));
const stationYields = perStation.flatMap(s => s.data).concat(
    data.socketDays.flatMap(s => s.firstPassYield));
chart('station-days', { type: 'line', data: { labels: days, datasets: perStation },
  options: { scales: { y: percentAxis(stationYields) } } });
function smallPChart(id, s, i) {
  chart(id, { type: 'line', data: { labels: days, datasets: [pLine(s.station, s, i), centreLine, limitLine(s)] },
    options: { plugins: { legend: { display: false } },
               scales: { x: { ticks: { maxTicksLimit: 6 } }, y: percentAxis(stationYields) } } });
}
data.stationDays.forEach((s, i) => smallPChart('station-days-' + i, s, i));
data.socketDays.forEach((s, i) => smallPChart('socket-days-' + i, s, i));
// Each station's median cycle time, on one scale for all.
const perStationMs = data.stationDays.map((s, i) => line(s.station, s.median, i));
const stationMs = perStationMs.flatMap(s => s.data).filter(v => v !== null);
const oneMsScale = { min: Math.floor(Math.min(...stationMs) * 0.95),
                     max: Math.ceil(Math.max(...stationMs) * 1.05), title: msAxis.title };
chart('station-cycle-times', { type: 'line', data: { labels: days, datasets: perStationMs },
  options: { scales: { y: oneMsScale } } });
perStationMs.forEach((s, i) => chart('station-cycle-' + i, { type: 'line',
  data: { labels: days, datasets: [s] },
  options: { plugins: { legend: { display: false } },
             scales: { x: { ticks: { maxTicksLimit: 6 } }, y: oneMsScale } } }));
const yields = [line('First-pass yield', data.days.map(d => d.firstPassYield), 0),
                line('Final yield', data.days.map(d => d.finalYield), 1)];
chart('yield-per-day', { type: 'line', data: { labels: days, datasets: yields },
  options: { scales: { y: percentAxis(yields.flatMap(s => s.data)) } } });
chart('cycle-time-per-day', { type: 'line', data: { labels: days, datasets: [
    line('Median', data.days.map(d => d.median), 0),
    line('95th percentile', data.days.map(d => d.percentile95), 2) ] },
  options: { scales: { y: msAxis } } });
const c = data.cycleTimes;
const bins = c.counts.map((n, i) => (c.from + i * c.width) + '–' + (c.from + (i + 1) * c.width - 1));
chart('cycle-times', { type: 'bar', data: {
    labels: bins.concat(['over ' + c.clippedAt]),
    datasets: [{ label: 'Passed runs', data: c.counts.concat([c.overflow]),
                 backgroundColor: c.counts.map(() => '#6d4c41').concat(['#c62828']),
                 barPercentage: 1, categoryPercentage: 1 }] },
  options: { scales: { x: { title: { display: true, text: 'ms (median ' + c.median +
                                     ', 95th percentile ' + c.percentile95 + ')' } },
                       y: runsAxis } } });
function pareto(id, failures) {
  const kinds = [['fixture', '#ef6c00'], ['product', '#c62828']];
  const sorted = kinds.flatMap(([kind]) => failures.filter(f => f.kind === kind));
  const total = sorted.reduce((sum, f) => sum + f.runs, 0);
  let sum = 0;
  const cumulative = sorted.map(f => 100 * (sum += f.runs) / total);
  chart(id, { type: 'bar', data: { labels: sorted.map(f => f.code + ': ' + f.meaning),
      datasets: kinds.map(([kind, colour]) => ({ label: kind, backgroundColor: colour,
        data: sorted.map(f => f.kind === kind ? f.runs : null), skipNull: true }))
        .concat([{ type: 'line', label: 'cumulative %', data: cumulative, yAxisID: 'share',
                   borderColor: '#263238', backgroundColor: '#263238' }]) },
    options: { scales: { x: { stacked: true }, y: runsAxis,
                         share: { position: 'right', min: 0, max: 100,
                                  grid: { drawOnChartArea: false },
                                  title: { display: true, text: '% of failed runs' } } } } });
}
pareto('failures-last-day', data.lastDayFailures);
pareto('failures-pareto', data.failures);
)";

} // namespace

Histogram histogram(const yieldreport::CycleTimes &times)
{
    Histogram h;
    if (times.isEmpty())
        return h;
    h.from = times.firstKey();
    h.clippedAt = *yieldreport::percentile(times, 0.99);
    const qint64 span = h.clippedAt - h.from + 1;
    h.width = std::max<qint64>(1, (span + HistogramBins - 1) / HistogramBins);
    h.counts = QList<int>(int((span + h.width - 1) / h.width), 0);
    for (auto it = times.cbegin(); it != times.cend(); ++it) {
        if (it.key() > h.clippedAt)
            h.overflow += it.value();
        else
            h.counts[int((it.key() - h.from) / h.width)] += it.value();
    }
    return h;
}

yieldreport::Filter recentDays(const Summary &summary, const yieldreport::Filter &filter)
{
    yieldreport::Filter recent = filter;
    QStringList working;
    for (auto it = summary.days.cbegin(); it != summary.days.cend(); ++it)
        if (it->runs > 0)
            working << it.key();
    if (working.isEmpty())
        return recent;
    recent.since.day = working.value(std::max<qsizetype>(0, working.size() - RecentWorkingDays));
    recent.since.time = {};
    return recent;
}

Page fromRuns(const QList<yieldreport::Run> &all, const yieldreport::Filter &filter)
{
    Page page;
    const QList<yieldreport::Run> runs = yieldreport::distinct(all);
    const QHash<QString, yieldreport::PairHistory> pairs = yieldreport::histories(runs);
    const QList<yieldreport::Run> selected = yieldreport::select(runs, filter);
    page.summary = yieldreport::summarize(selected, pairs, filter.until);
    page.recent = yieldreport::summarize(
        yieldreport::select(runs, recentDays(page.summary, filter)), pairs, filter.until);
    QList<const yieldreport::Run *> failed;
    for (const yieldreport::Run &run : selected) {
        if (!run.passed)
            failed << &run;
    }
    // Of two at one time, the higher id is the later, in both paths.
    const auto later = [](const auto *a, const auto *b) {
        return a->startTime != b->startTime ? a->startTime > b->startTime : a->id > b->id;
    };
    std::sort(failed.begin(), failed.end(), later);
    failed = failed.mid(0, FailuresRead);
    QHash<QString, const yieldreport::Run *> newestUnpassed; // by pair
    for (const yieldreport::Run &run : selected) {
        const QString pair = run.pair();
        if (pair.isEmpty() || yieldreport::passedBy(pairs.value(pair), filter.until))
            continue;
        const yieldreport::Run *&newest = newestUnpassed[pair];
        if (!newest || later(&run, newest))
            newest = &run;
    }
    QList<const yieldreport::Run *> unpassed = newestUnpassed.values();
    std::sort(unpassed.begin(), unpassed.end(), later);
    page.neverPassedCount = int(unpassed.size());
    unpassed = unpassed.mid(0, NeverPassedListed);
    // Every run of the pairs listed, oldest first, found in one pass.
    QHash<QString, QList<const yieldreport::Run *>> runsOf;
    for (const auto *listed : failed + unpassed)
        if (!listed->pair().isEmpty())
            runsOf.insert(listed->pair(), {});
    for (const yieldreport::Run &run : runs)
        if (const auto found = runsOf.find(run.pair()); found != runsOf.end())
            *found << &run;
    const auto withPairRuns = [&](const yieldreport::Run *run) {
        Failure f { run->start, run->station, run->serials, run->failCode, {} };
        QList<const yieldreport::Run *> own = runsOf.value(run->pair());
        std::sort(own.begin(), own.end(),
                  [&](const auto *a, const auto *b) { return later(b, a); });
        for (const yieldreport::Run *other : own)
            f.pairRuns << PairRun { other->start, other->station, other->passed, other->failCode };
        return f;
    };
    for (const yieldreport::Run *run : failed)
        page.latestFailures << withPairRuns(run);
    for (const yieldreport::Run *run : unpassed)
        page.neverPassed << withPairRuns(run);
    return page;
}

Grain grainOf(const QMap<QString, Figures> &days)
{
    if (days.isEmpty())
        return Grain::Day;
    const qint64 span = QDate::fromString(days.firstKey(), Qt::ISODate)
                            .daysTo(QDate::fromString(days.lastKey(), Qt::ISODate));
    return span > RollUpMonthsAfterDays ? Grain::Month
        : span > RollUpWeeksAfterDays   ? Grain::Week
                                        : Grain::Day;
}

QString periodOf(const QString &day, Grain grain)
{
    const QDate date = QDate::fromString(day, Qt::ISODate);
    if (grain == Grain::Day || !date.isValid())
        return day;
    if (grain == Grain::Month)
        return day.left(7);
    int year = 0;
    const int week = date.weekNumber(&year);
    return QStringLiteral("%1-W%2").arg(year).arg(week, 2, 10, QLatin1Char('0'));
}

QMap<QString, Figures> rolledUp(const QMap<QString, Figures> &days, Grain grain)
{
    if (grain == Grain::Day)
        return days;
    QMap<QString, Figures> periods;
    for (auto it = days.cbegin(); it != days.cend(); ++it)
        periods[periodOf(it.key(), grain)] += it.value();
    return periods;
}

// One small chart each of `names` (stations, or sockets), in their order,
// on one scale.
QString smallMultiples(const QStringList &names, const char *id, const QString &title)
{
    QString html = QStringLiteral("<h2>%1</h2>\n<div class=\"multiples\">\n").arg(title);
    for (int i = 0; i < names.size(); ++i)
        html += QStringLiteral("<div><h3>%1</h3><div class=\"small\"><canvas "
                               "id=\"%2-%3\"></canvas></div></div>\n")
                    .arg(esc(names[i]), QLatin1String(id))
                    .arg(i);
    return html + QStringLiteral("</div>\n");
}

QStringList socketNames(const Summary &s)
{
    QStringList names;
    for (auto station = s.socketDays.cbegin(); station != s.socketDays.cend(); ++station)
        for (auto socket = station->keyBegin(); socket != station->keyEnd(); ++socket)
            names << controlcharts::Flag { station.key(), *socket, {} }.name();
    return names;
}

QByteArray render(const Page &page)
{
    const Summary &s = page.summary;
    const Grain grain = grainOf(s.days);
    const QString per = grainName(grain);
    QString body = QStringLiteral("<h1>ZELOR-K3 yield report</h1>\n<p class=\"sources\">"
                                  "Period: %1<br>Sources: %2</p>\n")
                       .arg(esc(page.period), esc(page.sources));
    if (!page.setApart.isEmpty()) {
        body += QStringLiteral("<p class=\"set-apart\">%1 %2 dated "
                               "more than a day after this report, set apart and counted in no "
                               "figure:</p>\n<ul>\n")
                    .arg(page.setApart.size())
                    .arg(page.setApart.size() == 1 ? QStringLiteral("record")
                                                   : QStringLiteral("records"));
        for (const QString &run : page.setApart)
            body += QStringLiteral("<li>") + esc(run) + QStringLiteral("</li>\n");
        body += QStringLiteral("</ul>\n");
    }
    body += flagsList(s);
    body += tiles(page.recent, page.reportDay);
    body += QStringLiteral("<h2>The period</h2>\n") + summaryTable(s.all);
    body += QStringLiteral("<div class=\"charts\">\n");
    const QString charts[][2]
        = { { "station-days",
              "First-pass yield by station and " + per
                  + " (red triangles: beyond its 3-sigma limit, or 7 in a row below the line)" },
            { "yield-per-day", "First-pass and final yield per " + per },
            { "cycle-time-per-day", "Cycle time of passed runs per " + per },
            { "station-cycle-times", "Median cycle time by station and " + per },
            { "cycle-times", "Cycle times of passed runs, up to the 99th percentile" },
            { "failures-last-day", "Failures of the last day: fixture, product" },
            { "failures-pareto", "Failures of the period: fixture, product" } };
    const bool multiples = s.stationDays.size() > OverlaidStations;
    for (const auto &[id, title] : charts) {
        if (multiples
            && (id == QLatin1String("station-days") || id == QLatin1String("station-cycle-times")))
            continue;
        body += QStringLiteral("<div><h2>%2</h2><div class=\"chart\"><canvas id=\"%1\"></canvas>"
                               "</div></div>\n")
                    .arg(id, title);
    }
    body += QStringLiteral("</div>\n");
    const QString pChart
        = QStringLiteral("; each a p-chart around the line's %1 % (the grey "
                         "line), the dashed line its 3-sigma limit for its pairs, points beyond "
                         "it or 7 in a row below the line's red triangles")
              .arg(100.0 * s.all.pairsFirstPassed / std::max(1, s.all.pairs), 0, 'f', 1);
    if (multiples)
        body += smallMultiples(s.stationDays.keys(), "station-days",
                               "First-pass yield by station and " + per
                                   + ", one chart a station on one scale" + pChart)
            + smallMultiples(s.stationDays.keys(), "station-cycle",
                             charts[3][1] + ", one chart a station on one scale");
    if (!s.socketDays.isEmpty())
        body += smallMultiples(socketNames(s), "socket-days",
                               "First-pass yield by socket and " + per
                                   + ", one chart a socket on one scale" + pChart);
    body += QStringLiteral("<h2>Failures by code</h2>\n<p class=\"kinds\">Fixture: %1. "
                           "Product: %2.</p>\n")
                .arg(esc(failuresOfKind(s.all, true)), esc(failuresOfKind(s.all, false)))
        + failuresTable(s.all);
    body += QStringLiteral("<h2>Stations</h2>\n") + groupTable("Station", s.stations, true);
    // Below the charts: laid out when scrolled to or printed.
    const QString periodsHeading = grain == Grain::Day
        ? QStringLiteral("Per day (a pair counts on the day of its first run)")
        : grain == Grain::Week
        ? QStringLiteral("Per ISO week, Monday to Sunday (over %1 days; a pair counts in the "
                         "week of its first run)")
              .arg(RollUpWeeksAfterDays)
        : QStringLiteral("Per month (over %1 days; a pair counts in the month of its first run)")
              .arg(RollUpMonthsAfterDays);
    body += QStringLiteral("<section class=\"later\">\n<h2>") + periodsHeading
        + QStringLiteral("</h2>\n")
        + groupTable(grain == Grain::Day        ? "Day"
                         : grain == Grain::Week ? "Week"
                                                : "Month",
                     rolledUp(s.days, grain), false)
        + latestFailuresTable(page.latestFailures) + neverPassedTable(page)
        + QStringLiteral("</section>\n");
    body
        += QStringLiteral("<footer>Charts drawn with Chart.js %1 (chartjs.org), built into this "
                          "page under the MIT licence:<pre>%2</pre></footer>\n")
               .arg(
                   chartJsVersion(),
                   esc(QString::fromUtf8(resource(QStringLiteral(":/report/chartjs-notice.txt")))));
    const QByteArray library = chartJs(), script(Script), style(Style);
    const QByteArray policy = "default-src 'none'; script-src " + hashSource(library) + ' '
        + hashSource(script) + "; style-src " + hashSource(style)
        + "; base-uri 'none'; form-action 'none'";
    // Joined once: the page is large.
    return QByteArrayList {
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"",
        policy,
        "\">\n<title>ZELOR-K3 yield report</title>\n<style>",
        style,
        "</style>\n</head>\n<body>\n",
        body.toUtf8(),
        "<script type=\"application/json\" id=\"report-data\">",
        scriptJson(chartData(page)),
        "</script>\n<script>",
        library,
        "</script>\n<script>",
        script,
        "</script>\n</body>\n</html>\n"
    }
        .join();
}

} // namespace htmlreport
