// The run records' report fed any bytes as a records file: every line is a
// run or a named problem, and the summary, the CSV and the HTML page come out
// of anything.

#include "report/htmlreport.h"
#include "report/yieldreport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    QStringList problems;
    const QList<yieldreport::Run> runs
        = yieldreport::parse(text, QStringLiteral("fuzz"), &problems);
    qsizetype lines = 0;
    for (const QByteArray &line : text.split('\n'))
        lines += line.trimmed().isEmpty() ? 0 : 1;
    if (runs.size() + problems.size() != lines)
        std::abort();
    // A record read twice (two lines alike) counts once.
    const QString summary = yieldreport::summary(runs);
    if (!summary.startsWith(QStringLiteral("Runs: %1\n").arg(yieldreport::distinct(runs).size())))
        std::abort();
    if (yieldreport::csv(runs).count(QLatin1Char('\n')) < runs.size() + 1)
        std::abort();
    const yieldreport::Filter filter { yieldreport::bound(QStringLiteral("2026-12-01")),
                                       yieldreport::bound(QStringLiteral("2026-12-02T00:00:00Z")),
                                       QString(), {} };
    yieldreport::summarize(runs, filter);
    if (!htmlreport::render(htmlreport::fromRuns(runs, {})).endsWith("</html>\n"))
        std::abort();
    return 0;
}
