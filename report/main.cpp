// zelor-k3-report [FILE...]: a summary of the station's TestingRecords.jsonl.

#include "app/dllsearch.h"
#include "procedure/runrecord.h"
#include "report/yieldreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

constexpr int UsageError = 2;

int fail(const QString &message)
{
    std::fprintf(stderr, "zelor-k3-report: %s\n", qPrintable(message));
    return UsageError;
}

} // namespace

int main(int argc, char *argv[])
{
    restrictDllSearch();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelor-k3-report"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs, passes, first-pass yield, failures by code and cycle times of the\n"
                       "ZELOR-K3 Tester's run records, in all and per day."));
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") },
                                  QStringLiteral("Show these options and quit."));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Only runs that started on or after WHEN (a day "
                                                  "such as 2026-12-07, or an ISO 8601 time)."),
                                   QStringLiteral("WHEN"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Only runs that started on or before WHEN."),
                                   QStringLiteral("WHEN"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("One CSV row per run instead of the summary."));
    parser.addOptions({ help, since, until, csv });
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Records files; default: TestingRecords.jsonl."),
                                 QStringLiteral("[FILE...]"));
    if (!parser.parse(application.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    yieldreport::Bound from, to;
    for (auto [option, bound] : { std::pair { &since, &from }, std::pair { &until, &to } }) {
        if (parser.isSet(*option)) {
            *bound = yieldreport::bound(parser.value(*option));
            if (!bound->valid())
                return fail(QStringLiteral("--%1 takes a day or an ISO 8601 time, not \"%2\"")
                                .arg(option->names().first(), parser.value(*option)));
        }
    }
    QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        files << RunRecord::FileName;

    QList<yieldreport::Run> runs;
    QStringList problems;
    for (const QString &name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(name, file.errorString()));
        runs += yieldreport::parse(file.readAll(), name, &problems);
    }
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    runs = yieldreport::between(runs, from, to);
    const QString text = parser.isSet(csv) ? yieldreport::csv(runs) : yieldreport::summary(runs);
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}
