#include "report/htmlreport.h"

#include "procedure/failurecodes.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace htmlreport {

namespace {

using yieldreport::Figures;

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

QByteArray chartJs()
{
    QFile file(QStringLiteral(":/report/chart.min.js"));
    file.open(QIODevice::ReadOnly);
    // Nothing in it may end the element it is put in.
    return file.readAll().replace("</script", "<\\/script");
}

// "3.9.1", from the library's own header comment.
QString chartJsVersion()
{
    static const QRegularExpression version(QStringLiteral("Chart\\.js v([0-9.]+)"));
    return version.match(QString::fromLatin1(chartJs().left(200))).captured(1);
}

QJsonValue percentOrNull(int part, int whole)
{
    return whole ? QJsonValue(100.0 * part / whole) : QJsonValue(QJsonValue::Null);
}

QJsonObject rates(const Figures &f)
{
    return { { QStringLiteral("runs"), f.runs },
             { QStringLiteral("yield"), percentOrNull(f.passed, f.runs) },
             { QStringLiteral("firstPassYield"), percentOrNull(f.pairsFirstPassed, f.pairs) } };
}

QJsonObject chartData(const Page &page)
{
    QJsonArray days, stations, failures;
    for (auto it = page.summary.days.cbegin(); it != page.summary.days.cend(); ++it) {
        QJsonObject day = rates(it.value());
        day.insert(QStringLiteral("day"), it.key());
        days << day;
    }
    for (auto it = page.summary.stations.cbegin(); it != page.summary.stations.cend(); ++it) {
        QJsonObject station = rates(it.value());
        station.insert(QStringLiteral("station"), it.key());
        stations << station;
    }
    QList<std::pair<int, int>> byCount; // runs, code: most first
    for (auto it = page.summary.all.failures.cbegin(); it != page.summary.all.failures.cend(); ++it)
        byCount << std::pair { it.value(), it.key() };
    std::stable_sort(byCount.begin(), byCount.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[runs, code] : byCount)
        failures << QJsonObject { { QStringLiteral("code"), code },
                                  { QStringLiteral("meaning"),
                                    QLatin1String(failureCodeMeaning(code)) },
                                  { QStringLiteral("runs"), runs } };
    QJsonArray counts;
    for (int count : page.cycleTimes.counts)
        counts << count;
    const Figures &all = page.summary.all;
    return { { QStringLiteral("days"), days },
             { QStringLiteral("stations"), stations },
             { QStringLiteral("failures"), failures },
             { QStringLiteral("cycleTimes"),
               QJsonObject { { QStringLiteral("from"), page.cycleTimes.from },
                             { QStringLiteral("width"), page.cycleTimes.width },
                             { QStringLiteral("counts"), counts },
                             { QStringLiteral("median"), all.median ? *all.median : QJsonValue() },
                             { QStringLiteral("percentile95"),
                               all.percentile95 ? *all.percentile95 : QJsonValue() } } } };
}

QString row(const QStringList &cells)
{
    return QStringLiteral("<tr><td>") + cells.join(QStringLiteral("</td><td>"))
        + QStringLiteral("</td></tr>\n");
}

QString figure(const char *name, const QString &text)
{
    return QStringLiteral("<span data-figure=\"%1\">%2</span>").arg(QLatin1String(name), esc(text));
}

QString summaryTable(const Figures &all)
{
    return QStringLiteral("<table class=\"figures\">\n")
        + row({ QStringLiteral("Runs"), figure("runs", QString::number(all.runs)) })
        + row({ QStringLiteral("Passed"), figure("passed", yieldreport::passedText(all)) })
        + row({ QStringLiteral("First-pass yield"),
                figure("first-pass-yield", yieldreport::firstPassText(all)) })
        + row({ QStringLiteral("Cycle time"),
                figure("cycle-time", yieldreport::cycleTimeText(all)) })
        + QStringLiteral("</table>\n");
}

QString failuresTable(const Figures &all)
{
    if (all.failures.isEmpty())
        return QStringLiteral("<p>No failures.</p>\n");
    QString html = QStringLiteral("<table>\n<tr><th>Code</th><th>Runs</th><th>Failure</th></tr>\n");
    for (auto it = all.failures.cbegin(); it != all.failures.cend(); ++it)
        html += row({ QString::number(it.key()),
                      QStringLiteral("<span data-figure=\"failures-%1\">%2</span>")
                          .arg(it.key())
                          .arg(it.value()),
                      esc(QLatin1String(failureCodeMeaning(it.key()))) });
    return html + QStringLiteral("</table>\n");
}

QString groupTable(const char *kind, const QMap<QString, Figures> &groups)
{
    QString html = QStringLiteral("<table class=\"groups\">\n<tr><th>%1</th><th>Runs</th>"
                                  "<th>Passed</th><th>First-pass yield</th><th>Failures by "
                                  "code</th><th>Cycle time</th></tr>\n")
                       .arg(QLatin1String(kind));
    for (auto it = groups.cbegin(); it != groups.cend(); ++it)
        html += row({ esc(it.key()), QString::number(it.value().runs),
                      esc(yieldreport::passedText(it.value())),
                      esc(yieldreport::firstPassText(it.value())),
                      esc(yieldreport::failuresByCodeText(it.value())),
                      esc(yieldreport::cycleTimeText(it.value())) });
    return html + QStringLiteral("</table>\n");
}

QString latestFailuresTable(const QList<Failure> &failures)
{
    if (failures.isEmpty())
        return QString();
    QString html = QStringLiteral("<h2>Latest failures</h2>\n<table class=\"latest\">\n<tr>"
                                  "<th>Start</th><th>Station</th><th>Chips</th><th>Code</th>"
                                  "<th>Failure</th></tr>\n");
    for (const Failure &f : failures)
        html += row({ esc(f.start), esc(f.station), esc(f.serials.join(QStringLiteral(", "))),
                      QString::number(f.failCode),
                      esc(QLatin1String(failureCodeMeaning(f.failCode))) });
    return html + QStringLiteral("</table>\n");
}

const char Style[] = R"(
body { font: 14px/1.4 "DejaVu Sans", Arial, sans-serif; margin: 24px; color: #222; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 28px 0 8px; }
.sources { color: #555; margin: 0 0 16px; }
table { border-collapse: collapse; margin: 4px 0; }
td, th { border: 1px solid #ccc; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f2f2f2; }
.figures td:first-child { font-weight: bold; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(520px, 1fr)); gap: 16px; }
.chart { border: 1px solid #ddd; padding: 8px; height: 300px; }
footer { color: #777; font-size: 12px; margin-top: 28px; }
)";

// Draws the charts from the page's data; no animation, so a chart is drawn
// as soon as it is made.
const char Script[] = R"(
const data = JSON.parse(document.getElementById('report-data').textContent);
Chart.defaults.animation = false;
Chart.defaults.maintainAspectRatio = false;
const percentAxis = { min: 0, max: 100, title: { display: true, text: '%' } };
const runsAxis = { beginAtZero: true, ticks: { precision: 0 }, title: { display: true, text: 'runs' } };
function chart(id, config) {
  const canvas = document.getElementById(id);
  if (canvas) new Chart(canvas, config);
}
chart('yield-per-day', { type: 'line', data: {
    labels: data.days.map(d => d.day),
    datasets: [
      { label: 'Yield', data: data.days.map(d => d.yield), borderColor: '#2e7d32',
        backgroundColor: '#2e7d32' },
      { label: 'First-pass yield', data: data.days.map(d => d.firstPassYield),
        borderColor: '#1565c0', backgroundColor: '#1565c0' } ] },
  options: { scales: { y: percentAxis } } });
let cumulative = 0;
const failed = data.failures.reduce((sum, f) => sum + f.runs, 0);
chart('failures-pareto', { data: {
    labels: data.failures.map(f => f.code + ': ' + f.meaning),
    datasets: [
      { type: 'bar', label: 'Failed runs', data: data.failures.map(f => f.runs),
        backgroundColor: '#c62828', yAxisID: 'y', order: 2 },
      { type: 'line', label: 'Cumulative %', yAxisID: 'y1', borderColor: '#555',
        backgroundColor: '#555', order: 1,
        data: data.failures.map(f => (cumulative += f.runs) * 100 / failed) } ] },
  options: { scales: { y: runsAxis, y1: Object.assign({ position: 'right' }, percentAxis) } } });
const c = data.cycleTimes;
const markers = { id: 'markers', afterDatasetsDraw(ch) {
  const x = ch.scales.x, area = ch.chartArea, g = ch.ctx;
  [[c.median, 'median', '#1565c0'], [c.percentile95, '95th percentile', '#c62828']]
    .forEach(([value, name, colour], line) => {
      if (value === null) return;
      const at = x.getPixelForValue(value);
      g.save(); g.strokeStyle = colour; g.fillStyle = colour; g.lineWidth = 2;
      g.setLineDash([6, 4]); g.beginPath(); g.moveTo(at, area.top); g.lineTo(at, area.bottom);
      g.stroke();
      const label = name + ' ' + value.toFixed(1) + ' ms';
      const right = at + 4 + g.measureText(label).width > area.right;
      g.textAlign = right ? 'right' : 'left';
      g.fillText(label, right ? at - 4 : at + 4, area.top + 12 + 14 * line);
      g.restore();
    });
} };
chart('cycle-times', { type: 'bar', plugins: [markers], data: { datasets: [
    { label: 'Runs', backgroundColor: '#6d4c41', barPercentage: 1, categoryPercentage: 1,
      data: c.counts.map((n, i) => ({ x: c.from + (i + 0.5) * c.width, y: n })) } ] },
  options: { scales: { x: { type: 'linear', title: { display: true, text: 'ms' } },
                       y: runsAxis } } });
chart('per-station', { type: 'bar', data: {
    labels: data.stations.map(s => s.station),
    datasets: [
      { label: 'Yield', data: data.stations.map(s => s.yield), backgroundColor: '#2e7d32' },
      { label: 'First-pass yield', data: data.stations.map(s => s.firstPassYield),
        backgroundColor: '#1565c0' } ] },
  options: { scales: { y: percentAxis } } });
)";

} // namespace

Histogram histogram(const QList<double> &durations)
{
    Histogram h;
    if (durations.isEmpty())
        return h;
    const auto [low, high] = std::minmax_element(durations.begin(), durations.end());
    h.from = *low;
    h.width = *high > *low ? (*high - *low) / HistogramBins : 1.0;
    h.counts = QList<int>(HistogramBins, 0);
    for (double d : durations)
        ++h.counts[std::min(int((d - h.from) / h.width), HistogramBins - 1)];
    return h;
}

Page fromRuns(const QList<yieldreport::Run> &runs)
{
    Page page;
    page.summary = yieldreport::summarize(runs);
    QList<double> durations;
    QList<const yieldreport::Run *> failed;
    for (const yieldreport::Run &run : runs) {
        durations << run.durationMs;
        if (!run.passed)
            failed << &run;
    }
    page.cycleTimes = histogram(durations);
    std::stable_sort(failed.begin(), failed.end(),
                     [](const auto *a, const auto *b) { return a->startTime > b->startTime; });
    for (const yieldreport::Run *run : failed.mid(0, LatestFailures))
        page.latestFailures << Failure { run->start, run->station, run->serials, run->failCode };
    return page;
}

QByteArray render(const Page &page)
{
    const yieldreport::Summary &s = page.summary;
    QString body = QStringLiteral("<h1>ZELOR-K3 yield report</h1>\n<p class=\"sources\">"
                                  "Period: %1<br>Sources: %2</p>\n")
                       .arg(esc(page.period), esc(page.sources));
    body += summaryTable(s.all);
    body += QStringLiteral("<div class=\"charts\">\n");
    const char *const charts[][2] = { { "yield-per-day", "Yield and first-pass yield per day" },
                                      { "failures-pareto", "Failures by code" },
                                      { "cycle-times", "Cycle times" },
                                      { "per-station", "Yield per station" } };
    for (const auto &[id, title] : charts)
        body += QStringLiteral("<div><h2>%2</h2><div class=\"chart\"><canvas id=\"%1\"></canvas>"
                               "</div></div>\n")
                    .arg(QLatin1String(id), QLatin1String(title));
    body += QStringLiteral("</div>\n<h2>Failures by code</h2>\n") + failuresTable(s.all);
    body += QStringLiteral("<h2>Stations</h2>\n") + groupTable("Station", s.stations);
    body += QStringLiteral("<details><summary>Per day (a pair counts on the day of its first "
                           "run)</summary>\n")
        + groupTable("Day", s.days) + QStringLiteral("</details>\n");
    body += latestFailuresTable(page.latestFailures);
    body += QStringLiteral("<footer>Charts drawn with Chart.js %1 (chartjs.org, MIT licence), "
                           "built into this page.</footer>\n")
                .arg(chartJsVersion());
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>ZELOR-K3 yield report</title>\n<style>"
        + QByteArray(Style) + "</style>\n</head>\n<body>\n" + body.toUtf8()
        + "<script type=\"application/json\" id=\"report-data\">" + scriptJson(chartData(page))
        + "</script>\n<script>" + chartJs() + "</script>\n<script>" + QByteArray(Script)
        + "</script>\n</body>\n</html>\n";
}

} // namespace htmlreport
