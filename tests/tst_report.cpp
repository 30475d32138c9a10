// The run records' report on a fixed records file, figures worked out by hand:
// 7 runs over two days, 3 pairs (A1+B1 failed first, C1+D1 passed first,
// E1+F1 failed first), a run without chips, three lines that are no records.

#include "report/controlcharts.h"
#include "report/htmlreport.h"
#include "report/yieldreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

using namespace yieldreport;

Q_DECLARE_METATYPE(QJsonValue)

namespace {
QJsonValue chipsOf(const QStringList &serials)
{
    QJsonArray chips;
    for (const QString &serial : serials)
        chips << QJsonObject { { "serial", serial } };
    return chips;
}
} // namespace

class TestReport : public QObject {
    Q_OBJECT

    QList<Run> runs;
    QStringList problems;

private slots:
    void initTestCase()
    {
        QFile file(QFINDTESTDATA("data/records.jsonl"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        runs = parse(file.readAll(), QStringLiteral("records.jsonl"), &problems);
    }

    void linesThatAreNoRecordsAreSkippedAndNamed()
    {
        QCOMPARE(runs.size(), 7);
        QCOMPARE(problems,
                 (QStringList { "records.jsonl:3: skipped: not JSON: illegal value",
                                "records.jsonl:6: skipped: not a record of schema 1",
                                "records.jsonl:10: skipped: torn last line" }));
    }

    void summaryHasTheFiguresWorkedOutByHand_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("until");
        QTest::addColumn<QString>("station");
        QTest::addColumn<int>("copies"); // the records read that many times
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all")
            << QString() << QString() << QString() << 1
            << QStringList { "Runs: 7", "Passed: 4 (57.1 %)",
                             "First-pass yield: 1 of 3 pairs (33.3 %)",
                             "Final yield: 3 of 3 pairs (100.0 %)", "Retests: 3 of 7 runs (42.9 %)",
                             "Failures by code:", "   1  1 runs  no FT232R/FT245R device found",
                             "   3  1 runs  programming an EEPROM failed",
                             "   8  1 runs  received data differs from the data sent",
                             // Passed runs of 130, 140, 120 and 150 ms: the lower middle.
                             "Cycle time of passed runs: median 130 ms, 95th percentile 150 ms",
                             "Per day (a pair counts on the day of its first run):",
                             "  2026-12-01  runs 4, passed 2, first-pass yield 1 of 2 pairs "
                             "(50.0 %), final yield 2 of 2 pairs (100.0 %), retests 1 of 4 runs "
                             "(25.0 %), failures 2, cycle time median 130 ms, 95th percentile "
                             "140 ms",
                             "  2026-12-02  runs 3, passed 2, first-pass yield 0 of 1 pairs "
                             "(0.0 %), final yield 1 of 1 pairs (100.0 %), retests 2 of 3 runs "
                             "(66.7 %), failures 1, cycle time median 120 ms, 95th percentile "
                             "150 ms",
                             // Records without a station name count at their host.
                             "Per station (a pair counts at the station of its first run):",
                             "  bench \"2\", hall  runs 1, passed 0 (0.0 %), first-pass "
                             "yield 0 of 1 pairs (0.0 %), final yield 1 of 1 pairs (100.0 %), "
                             "retests 0 of 1 runs (0.0 %), failures by code: code 3: 1, "
                             "cycle time n/a",
                             "  bench-1  runs 6, passed 4 (66.7 %), first-pass yield 1 of 2 "
                             "pairs (50.0 %), final yield 2 of 2 pairs (100.0 %), retests 3 of "
                             "6 runs (50.0 %), failures by code: code 1: 1, code 8: 1, cycle "
                             "time median 130 ms, 95th percentile 150 ms",
                             "" };
        // A1+B1 failed on the 1st and passed on the 1st and 2nd: on the 2nd
        // it is no pair of that day's, its run a retest.
        QTest::newRow("since the retest's day")
            << "2026-12-02" << QString() << QString() << 1
            << QStringList { "Runs: 3", "Passed: 2 (66.7 %)",
                             "First-pass yield: 0 of 1 pairs (0.0 %)",
                             "Final yield: 1 of 1 pairs (100.0 %)",
                             "Retests: 2 of 3 runs (66.7 %)" };
        // E1+F1 failed first on the 2nd: not a pair of a period ending on the
        // 1st; the day is included whole.
        QTest::newRow("until a day, inclusive")
            << QString() << "2026-12-01" << QString() << 1
            << QStringList { "Runs: 4", "Passed: 2 (50.0 %)",
                             "First-pass yield: 1 of 2 pairs (50.0 %)",
                             "Final yield: 2 of 2 pairs (100.0 %)",
                             "Retests: 1 of 4 runs (25.0 %)" };
        // A1+B1 failed at 08:00 and passed at 08:01 (07:01Z): not by 07:00:30Z.
        QTest::newRow("until a time, its own offset")
            << QString() << "2026-12-01T07:00:30Z" << QString() << 1
            << QStringList { "Runs: 1", "Passed: 0 (0.0 %)",
                             "First-pass yield: 0 of 1 pairs (0.0 %)",
                             "Final yield: 0 of 1 pairs (0.0 %)", "Retests: 0 of 1 runs (0.0 %)" };
        // E1+F1 failed first at another station: bench-1 passed its retest.
        QTest::newRow("one station") << QString() << QString() << "bench-1" << 1
                                     << QStringList { "Runs: 6", "Passed: 4 (66.7 %)",
                                                      "First-pass yield: 1 of 2 pairs (50.0 %)",
                                                      "Final yield: 2 of 2 pairs (100.0 %)",
                                                      "Retests: 3 of 6 runs (50.0 %)" };
        QTest::newRow("one station, the retest's day")
            << "2026-12-02"
            << "2026-12-02"
            << "bench-1" << 1
            << QStringList { "Runs: 2", "Passed: 2 (100.0 %)",
                             "First-pass yield: 0 of 0 pairs (n/a)",
                             "Final yield: 0 of 0 pairs (n/a)", "Retests: 2 of 2 runs (100.0 %)" };
        QTest::newRow("the file given twice")
            << QString() << QString() << QString() << 2
            << QStringList { "Runs: 7", "Passed: 4 (57.1 %)",
                             "First-pass yield: 1 of 3 pairs (33.3 %)",
                             "Final yield: 3 of 3 pairs (100.0 %)",
                             "Retests: 3 of 7 runs (42.9 %)" };
        QTest::newRow("nothing selected") << "2027-01-01" << QString() << QString() << 1
                                          << QStringList { "Runs: 0",
                                                           "Passed: 0 (n/a)",
                                                           "First-pass yield: 0 of 0 pairs (n/a)",
                                                           "Final yield: 0 of 0 pairs (n/a)",
                                                           "Retests: 0 of 0 runs (n/a)",
                                                           "Failures by code: none",
                                                           "Cycle time of passed runs: n/a",
                                                           "" };
    }
    void summaryHasTheFiguresWorkedOutByHand()
    {
        QFETCH(QString, since);
        QFETCH(QString, until);
        QFETCH(QString, station);
        QFETCH(int, copies);
        QFETCH(QStringList, expected);
        QList<Run> read;
        for (int i = 0; i < copies; ++i)
            read += runs;
        const Filter filter { bound(since), bound(until), station, {} };
        const QStringList lines = format(summarize(read, filter)).split(QLatin1Char('\n'));
        QCOMPARE(lines.mid(0, expected.size()), expected);
        // The page judges each pair by its whole history too, not by the
        // runs selected.
        QCOMPARE(format(htmlreport::fromRuns(read, filter).summary).split(QLatin1Char('\n')),
                 lines);
    }

    // One formula, over whole milliseconds, for every path; and any cycle
    // times a record may hold make a page.
    void cycleTimesMakeFiguresAndAPage_data()
    {
        QTest::addColumn<QList<double>>("durations");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("overflow"); // runs past the histogram's 99th percentile
        QTest::newRow("one run") << QList<double> { 450.2 }
                                 << "median 450 ms, 95th percentile 450 ms" << 0;
        QTest::newRow("equal") << QList<double> { 450, 450, 450 }
                               << "median 450 ms, 95th percentile 450 ms" << 0;
        QTest::newRow("one unit in the last place apart")
            << QList<double> { 484.1, std::nextafter(484.1, 1e9) }
            << "median 484 ms, 95th percentile 484 ms" << 0;
        QTest::newRow("middle values far apart, with fractions")
            << QList<double> { 100.4, 868.6, 100.5, 900.49 }
            << "median 101 ms, 95th percentile 900 ms" << 0;
        QTest::newRow("huge") << QList<double> { 1e308, 120, 130 }
                              << "median 130 ms, 95th percentile 1000000000000 ms" << 0;
        QTest::newRow("zero") << QList<double> { 0, 0.4 } << "median 0 ms, 95th percentile 0 ms"
                              << 0;
        // The nearest rank rounded up: the 11th of 11 is the 95th percentile.
        QList<double> eleven;
        for (int i = 1; i <= 11; ++i)
            eleven << 100.0 * i;
        QTest::newRow("eleven apart") << eleven << "median 600 ms, 95th percentile 1100 ms" << 0;
        // One run stuck for ten minutes stretches no bin.
        QList<double> stuck;
        for (int i = 0; i < 100; ++i)
            stuck << 450.0 + i;
        stuck << 600000;
        QTest::newRow("one run stuck") << stuck << "median 500 ms, 95th percentile 545 ms" << 1;
    }
    void cycleTimesMakeFiguresAndAPage()
    {
        QFETCH(QList<double>, durations);
        QFETCH(QString, expected);
        QFETCH(int, overflow);
        QList<Run> passed;
        for (qsizetype i = 0; i < durations.size(); ++i) {
            Run run;
            run.id = QString::number(i);
            run.station = QStringLiteral("bench-1");
            run.start
                = QStringLiteral("2026-12-01T08:00:%1.000+01:00").arg(i % 60, 2, 10, QChar('0'));
            run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
            run.durationMs = durations[i];
            run.passed = true;
            run.serials
                = QStringList { QStringLiteral("A%1").arg(i), QStringLiteral("B%1").arg(i) };
            passed << run;
        }
        const htmlreport::Page page = htmlreport::fromRuns(passed, Filter {});
        QCOMPARE(cycleTimeText(page.summary.all), expected);
        const htmlreport::Histogram h = htmlreport::histogram(page.summary.all.cycleTimes);
        int counted = h.overflow;
        for (int n : h.counts)
            counted += n;
        QCOMPARE(counted, durations.size());
        QCOMPARE(h.overflow, overflow);
        QVERIFY(h.counts.size() <= htmlreport::HistogramBins && h.width >= 1);
        QVERIFY(htmlreport::render(page).contains(expected.toUtf8()));
    }

    // A record is taken as the line database takes it: what it refuses is
    // skipped with its reason; a pair is two chips, no more.
    void recordsAreTakenAsTheLineDatabaseTakesThem_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("reason"); // empty: taken
        QTest::addColumn<bool>("pair");
        const QString code = QStringLiteral("no failure code of the table");
        QTest::newRow("two chips") << "chips" << chipsOf({ "A1", "B1" }) << "" << true;
        QTest::newRow("three chips") << "chips" << chipsOf({ "A1", "B1", "C1" }) << "" << false;
        QTest::newRow("a serial with a line break")
            << "chips" << chipsOf({ "A1\nB1", "C1" })
            << "a chip without a serial number of at most 64 characters on one line" << false;
        const QString socket
            = QStringLiteral("a socket label that is not text of at most 64 characters");
        QTest::newRow("socket 3") << "socket" << QJsonValue(3) << socket << false;
        QTest::newRow("a socket label of 65")
            << "socket" << QJsonValue(QString(65, 'S')) << socket << false;
        QTest::newRow("a socket of 64") << "socket" << QJsonValue(QString(64, 'S')) << "" << true;
        QTest::newRow("a cycle time of a day")
            << "durationMs" << QJsonValue(86400000) << "no cycle time from 0 to a day" << false;
        QTest::newRow("a cycle time of 1e13 ms")
            << "durationMs" << QJsonValue(1e13) << "no cycle time from 0 to a day" << false;
        QTest::newRow("failure code 3.7") << "failCode" << QJsonValue(3.7) << code << false;
        QTest::newRow("failure code 1e10") << "failCode" << QJsonValue(1e10) << code << false;
        QTest::newRow("failure code 11") << "failCode" << QJsonValue(11) << code << false;
        QTest::newRow("failure code 20") << "failCode" << QJsonValue(20) << "" << true;
    }
    void recordsAreTakenAsTheLineDatabaseTakesThem()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, reason);
        QFETCH(bool, pair);
        QJsonObject record { { "schema", 1 },       { "start", "2026-12-01T08:00:00.000+01:00" },
                             { "durationMs", 450 }, { "verdict", "FAILED" },
                             { "failCode", 8 },     { "chips", chipsOf({ "A1", "B1" }) } };
        record.insert(key, value);
        QStringList skipped;
        const QList<Run> read = parse(QJsonDocument(record).toJson(QJsonDocument::Compact),
                                      QStringLiteral("r"), &skipped);
        QCOMPARE(skipped,
                 reason.isEmpty() ? QStringList() : QStringList { "r:1: skipped: " + reason });
        QCOMPARE(!read.isEmpty() && !read.first().pair().isEmpty(), pair);
    }

    // A period that holds no moment is refused; a time without an offset is
    // the report PC's, and goes to the line database with it spelled out.
    void periodsAreReadOneWay_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("until");
        QTest::addColumn<bool>("inverted");
        QTest::newRow("one day") << "2026-12-08"
                                 << "2026-12-08" << false;
        QTest::newRow("days inverted") << "2026-12-09"
                                       << "2026-12-08" << true;
        QTest::newRow("times inverted") << "2026-12-08T10:00+01:00"
                                        << "2026-12-08T09:30+01:00" << true;
        QTest::newRow("a day after a time") << "2026-12-09"
                                            << "2026-12-08T10:00" << true;
        QTest::newRow("times in two zones, in order") << "2026-12-08T10:00+01:00"
                                                      << "2026-12-08T09:30+00:00" << false;
    }
    void periodsAreReadOneWay()
    {
        QFETCH(QString, since);
        QFETCH(QString, until);
        QFETCH(bool, inverted);
        QCOMPARE(yieldreport::inverted(bound(since), bound(until)), inverted);
        for (const QString &text : { since, until })
            if (text.size() > 10)
                QVERIFY2(QRegularExpression("[+-]\\d\\d:\\d\\d$|Z$")
                             .match(bound(text).time.toString(Qt::ISODateWithMs))
                             .hasMatch(),
                         qPrintable(bound(text).time.toString(Qt::ISODateWithMs)));
    }

    // A station renamed, and renamed again, goes by its last name; a circle
    // of renamings is found.
    void renamedStationsGoByTheirLastName_data()
    {
        QTest::addColumn<QStringList>("renamings");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QStringList>("names"); // every name of `now`
        QTest::addColumn<bool>("circle");
        QTest::newRow("renamed twice")
            << QStringList { "bench-1=bench-01", "bench-3=bench-1" } << "bench-3"
            << "bench-01" << QStringList { "bench-01", "bench-1", "bench-3" } << false;
        QTest::newRow("not renamed") << QStringList { "bench-3=bench-03" } << "bench-1"
                                     << "bench-1" << QStringList { "bench-1" } << false;
        QTest::newRow("back to itself")
            << QStringList { "bench-1=bench-2", "bench-2=bench-1" } << "bench-3"
            << "bench-3" << QStringList { "bench-3" } << true;
    }
    void renamedStationsGoByTheirLastName()
    {
        QFETCH(QStringList, renamings);
        QFETCH(QString, station);
        QFETCH(QString, now);
        QFETCH(QStringList, names);
        QFETCH(bool, circle);
        yieldreport::StationNames renamed;
        for (const QString &renaming : renamings)
            QVERIFY(renamed.add(renaming));
        QCOMPARE(renamed.of(station), now);
        QCOMPARE(renamed.namesOf(now), names);
        QCOMPARE(!renamed.circle().isEmpty(), circle);
        QVERIFY(!renamed.add("bench-1") && !renamed.add("=bench-1") && !renamed.add("a=a"));
    }

    // A p-chart's points around a centre of 90 %, by hand: for 20 pairs the
    // lower limit is 90 - 3 * sqrt(0.9 * 0.1 / 20) = 69.9 %.
    void pChartMarksPointsBeyondTheLimitOrInARow_data()
    {
        QTest::addColumn<QString>("passedOf20"); // a day each; "-" a day without pairs
        QTest::addColumn<QString>("marked");
        QTest::newRow("70 % within, 65 % beyond") << "14 13 18"
                                                  << ".x.";
        QTest::newRow("the 7th below the centre") << "17 17 17 17 17 17 17 17"
                                                  << "......xx";
        QTest::newRow("a day without pairs keeps the row") << "17 17 17 - 17 17 17 17"
                                                           << "...-...x";
        QTest::newRow("a day at the centre ends it") << "17 17 17 18 17 17 17 17 17 17"
                                                     << "..........";
    }
    void pChartMarksPointsBeyondTheLimitOrInARow()
    {
        QFETCH(QString, passedOf20);
        QFETCH(QString, marked);
        QList<yieldreport::Figures> days;
        for (const QString &passed : passedOf20.split(' ')) {
            yieldreport::Figures day;
            day.pairs = passed == "-" ? 0 : 20;
            day.pairsFirstPassed = passed.toInt();
            days << day;
        }
        const controlcharts::Points points = controlcharts::pChart(days, 0.9);
        QString got;
        for (int i = 0; i < days.size(); ++i)
            got += days[i].pairs == 0 ? '-' : points.marked[i] ? 'x' : '.';
        QCOMPARE(got, marked);
        QCOMPARE(std::round(1000 * points.lower.first()), 699.0);
    }

    // The stations out of control against the line, worked out by hand:
    // 20 pairs a station a day, each pair run once, over 7 working days
    // (and 7 before them, alike, for the cycle times).
    void stationsOutOfControlAreNamed_data()
    {
        QTest::addColumn<QStringList>(
            "stations"); // "NAME[/SOCKET] PASSED-A-DAY[,…] CODE MS-BEFORE MS-AFTER"
        QTest::addColumn<QStringList>("flagged");
        const QString low = QStringLiteral(
            "bench-5: first-pass yield 70.0 % over the last 7 working days against the line's "
            "90.0 %, beyond the 3-sigma limit (82.4 % for 140 pairs)");
        const QString below = QStringLiteral("bench-5: first-pass yield below the line's 90.0 % on "
                                             "each of its last 14 working days");
        QTest::newRow("a station at 70 % among stations at 95 %")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 450 450", "bench-3 19 8 450 450",
                             "bench-4 19 8 450 450", "bench-5 14 8 450 450" }
            << QStringList { low, below };
        QTest::newRow("one at 93 % is not")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 450 450", "bench-3 19 8 450 450",
                             "bench-4 19,18 8 450 450", "bench-5 14 8 450 450" }
            << QStringList { "bench-5: first-pass yield 70.0 % over the last 7 working days "
                             "against the line's 89.4 %, beyond the 3-sigma limit (81.6 % for "
                             "140 pairs)",
                             "bench-5: first-pass yield below the line's 89.4 % on each of its "
                             "last 14 working days" };
        QTest::newRow("a socket at 70 % beside one at 95 %")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 450 450", "bench-3 19 8 450 450",
                             "bench-4/A 19 8 450 450", "bench-4/B 14 8 450 450" }
            << QStringList { "bench-4: first-pass yield 82.5 % over the last 7 working days "
                             "against the line's 90.0 %, beyond the 3-sigma limit (84.6 % for "
                             "280 pairs)",
                             "bench-4: first-pass yield below the line's 90.0 % on each of its "
                             "last 14 working days",
                             "bench-4 socket B: " + low.mid(9),
                             "bench-4 socket B: " + below.mid(9) };
        QTest::newRow("all alike")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 450 450" } << QStringList {};
        QTest::newRow("a worn fixture")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 450 450", "bench-3 19 8 450 450",
                             "bench-4 16 2 450 450" }
            << QStringList { "bench-4: first-pass yield 80.0 % over the last 7 working days "
                             "against the line's 91.3 %, beyond the 3-sigma limit (84.1 % for "
                             "140 pairs)",
                             "bench-4: first-pass yield below the line's 91.3 % on each of its "
                             "last 14 working days",
                             "bench-4: fixture failures 20.0 % of runs over the last 7 working "
                             "days against the line's 5.0 %, beyond the 3-sigma limit (10.5 % "
                             "for 140 runs)" };
        QTest::newRow("a station whose cycle time grows")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 3200 3900" }
            << QStringList { "bench-2: median cycle time 3900 ms over the last 7 working days "
                             "against its 3200 ms before, 22 % longer" };
        QTest::newRow("one that grows by less than a tenth")
            << QStringList { "bench-1 19 8 450 450", "bench-2 19 8 3200 3500" } << QStringList {};
    }
    void stationsOutOfControlAreNamed()
    {
        QFETCH(QStringList, stations);
        QFETCH(QStringList, flagged);
        QList<Run> all;
        for (const QString &row : stations) {
            const QStringList f = row.split(' ');
            const QStringList passedADay = f[1].split(',');
            for (int day = 0; day < 14; ++day) {
                const int passes = passedADay[day % passedADay.size()].toInt();
                for (int i = 0; i < 20; ++i) {
                    Run run;
                    run.station = f[0].section('/', 0, 0);
                    run.socket = f[0].section('/', 1);
                    run.id = QStringLiteral("%1-%2-%3").arg(f[0]).arg(day).arg(i);
                    run.start = QDate(2026, 11, 1).addDays(day).toString(Qt::ISODate)
                        + QStringLiteral("T08:%1:00.000+01:00").arg(i, 2, 10, QChar('0'));
                    run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
                    run.serials = QStringList { "A" + run.id, "B" + run.id };
                    run.passed = i < passes;
                    run.failCode = run.passed ? 0 : f[2].toInt();
                    run.durationMs = (day < 7 ? f[3] : f[4]).toDouble();
                    all << run;
                }
            }
        }
        QStringList found;
        for (const controlcharts::Flag &flag : controlcharts::flags(summarize(all, Filter {})))
            found << flag.text;
        QCOMPARE(found, flagged);
    }

    // Failed runs totalled as the fixture's or the product's, with the codes'
    // names, in all and per station: set-up failures (9, 10, 20) are the
    // fixture's.
    void failuresAreTotalledAsFixtureOrProduct_data()
    {
        QTest::addColumn<QList<int>>("codes"); // of bench-1's failed runs
        QTest::addColumn<QString>("cells"); // its fixture and product cells
        QTest::newRow("both")
            << QList<int> { 2, 8, 2, 5 }
            << "<td>3 (code 2 not exactly two FT232R/FT245R devices: 2; code 5 not exactly two "
               "devices open for the transfer: 1)</td><td>1 (code 8 received data differs from "
               "the data sent: 1)</td>";
        QTest::newRow("set-up failures")
            << QList<int> { 20, 9, 10 }
            << "<td>3 (code 9 setting the baud rate failed: 1; code 10 setting 8N1 failed: 1; "
               "code 20 setting the time-outs failed: 1)</td><td>none</td>";
    }
    void failuresAreTotalledAsFixtureOrProduct()
    {
        QFETCH(QList<int>, codes);
        QFETCH(QString, cells);
        QList<Run> all;
        for (qsizetype i = 0; i <= codes.size(); ++i) { // and a passed run elsewhere
            Run run;
            run.id = QString::number(i);
            run.station = i < codes.size() ? QStringLiteral("bench-1") : QStringLiteral("bench-2");
            run.start = QStringLiteral("2026-12-01T08:00:%1.000+01:00").arg(i, 2, 10, QChar('0'));
            run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
            run.serials
                = QStringList { QStringLiteral("A%1").arg(i), QStringLiteral("B%1").arg(i) };
            run.passed = i == codes.size();
            run.failCode = run.passed ? 0 : codes[i];
            all << run;
        }
        const QString html = QString::fromUtf8(htmlreport::render(htmlreport::fromRuns(all, {})));
        QVERIFY2(html.contains("<td>bench-1</td>") && html.contains(cells), qPrintable(html));
        const QString overall = cells.mid(4).replace("</td><td>", ". Product: ").chopped(5);
        QVERIFY2(html.contains("Fixture: " + overall + "."), qPrintable(overall));
        QVERIFY(html.contains("<td>bench-2</td>"));
    }

    // Beyond 60 days the charts and the table of periods go by ISO week,
    // beyond two years by month: the grain from the span of the days, each
    // day's period at the boundaries, the page's heading and rows.
    void daysRollUpIntoWeeksAndMonths_data()
    {
        QTest::addColumn<QString>("first"); // the first and last day with runs
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("period"); // the last day's
        QTest::addColumn<QString>("heading");
        QTest::newRow("60 days: days") << "2026-11-01"
                                       << "2026-12-31"
                                       << "2026-12-31"
                                       << "Per day";
        QTest::newRow("61 days: a Thursday in its year's week 53") << "2026-10-31"
                                                                   << "2026-12-31"
                                                                   << "2026-W53"
                                                                   << "Per ISO week";
        QTest::newRow("a Sunday of 2027 in 2026's week 53") << "2026-10-01"
                                                            << "2027-01-03"
                                                            << "2026-W53"
                                                            << "Per ISO week";
        QTest::newRow("the Monday after: 2027's first week") << "2026-10-01"
                                                             << "2027-01-04"
                                                             << "2027-W01"
                                                             << "Per ISO week";
        QTest::newRow("a Monday of 2025 in 2026's first week") << "2025-10-01"
                                                               << "2025-12-29"
                                                               << "2026-W01"
                                                               << "Per ISO week";
        QTest::newRow("730 days: weeks") << "2024-12-31"
                                         << "2026-12-31"
                                         << "2026-W53"
                                         << "Per ISO week";
        QTest::newRow("731 days: months") << "2024-12-30"
                                          << "2026-12-31"
                                          << "2026-12"
                                          << "Per month";
    }
    void daysRollUpIntoWeeksAndMonths()
    {
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(QString, period);
        QFETCH(QString, heading);
        QList<Run> all;
        for (const QString &day : { first, last }) {
            Run run;
            run.id = day;
            run.station = QStringLiteral("bench-1");
            run.start = day + QStringLiteral("T08:00:00.000+01:00");
            run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
            run.serials = QStringList { "A" + day, "B" + day };
            run.passed = true;
            all << run;
        }
        const htmlreport::Page page = htmlreport::fromRuns(all, {});
        const htmlreport::Grain grain = htmlreport::grainOf(page.summary.days);
        QCOMPARE(htmlreport::periodOf(last, grain), period);
        QCOMPARE(htmlreport::rolledUp(page.summary.days, grain).size(), 2);
        const QString html = QString::fromUtf8(htmlreport::render(page));
        QVERIFY(html.contains("<h2>" + heading));
        QVERIFY(html.contains("<tr><td>" + period + "</td><td>1</td>"));
    }

    // The headline is the last complete working day, beside the day not
    // over yet, against the working day before (over the weekend) and the
    // working days before it; its final yield counts what passed on the day
    // of the pair's first run. By hand: Thu 3rd 4 pairs passed; Fri 4th 3
    // passed, 1 failed and passed on a retest; Mon 7th 2 passed, 2 failed, one
    // of them passed on Tue 8th, with 2 new pairs that passed.
    void theHeadlineIsTheLastCompleteWorkingDay_data()
    {
        QTest::addColumn<QDate>("reportDay");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("on Tuesday")
            << QDate(2026, 12, 8)
            << QStringList {
                   "2026-12-08 is not over: 3 runs so far, first-pass yield 100.0 %",
                   "2026-12-07, the last complete working day",
                   "50.0 %</span></div><div>-25.0 points against the working day before (75.0 "
                   "%)</div><div>-37.5 points against the 2 working days before (87.5 %)",
                   "Final yield on the first day</div><div class=\"value\"><span "
                   "data-figure=\"tile-final-yield\">50.0 %</span></div><div>-50.0 points "
                   "against the working day before (100.0 %)",
                   "4</span></div><div>-1 runs against the working day before (5)</div><div>-1 "
                   "runs against the mean of the 2 working days before (5)"
               };
        QTest::newRow("on Wednesday")
            << QDate(2026, 12, 9)
            << QStringList { "2026-12-08, the last complete working day",
                             "3</span></div><div>-1 runs against the working day before (4)" };
    }
    void theHeadlineIsTheLastCompleteWorkingDay()
    {
        QFETCH(QDate, reportDay);
        QFETCH(QStringList, shown);
        QList<Run> all;
        auto add = [&](const QString &day, const QString &pair, bool passed) {
            Run run;
            run.station = QStringLiteral("bench-1");
            run.id = QString::number(all.size());
            run.start = day
                + QStringLiteral("T08:%1:00.000+01:00").arg(all.size() % 60, 2, 10, QChar('0'));
            run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
            run.serials = QStringList { "A" + pair, "B" + pair };
            run.passed = passed;
            run.failCode = passed ? 0 : 8;
            run.durationMs = 450;
            all << run;
        };
        for (const char *pair : { "1", "2", "3", "4" })
            add("2026-12-03", pair, true);
        for (const char *pair : { "5", "6", "7" })
            add("2026-12-04", pair, true);
        add("2026-12-04", "8", false);
        add("2026-12-04", "8", true);
        add("2026-12-07", "9", true);
        add("2026-12-07", "10", true);
        add("2026-12-07", "11", false);
        add("2026-12-07", "12", false);
        add("2026-12-08", "11", true);
        add("2026-12-08", "13", true);
        add("2026-12-08", "14", true);
        htmlreport::Page page = htmlreport::fromRuns(all, Filter {});
        page.reportDay = reportDay;
        const QString html = QString::fromUtf8(htmlreport::render(page));
        for (const QString &text : shown)
            QVERIFY2(html.contains(text), qPrintable(text));
        QVERIFY(!html.contains(QLatin1String("nothing to compare")));
    }

    // The latest failures, one row a pair, newest first (of two at one
    // time, the higher id), serials in one order, with what became of it;
    // the pairs that never passed in that order too.
    void latestFailuresAreOneRowAPair()
    {
        QList<Run> all;
        auto add = [&](const QString &id, const QString &time, QStringList serials, bool passed) {
            Run run;
            run.id = id;
            run.station = QStringLiteral("bench-1");
            run.start = QStringLiteral("2026-12-07T") + time + QStringLiteral(".000+01:00");
            run.startTime = QDateTime::fromString(run.start, Qt::ISODateWithMs);
            run.serials = serials;
            run.passed = passed;
            run.failCode = passed ? 0 : 8;
            all << run;
        };
        add("1", "08:00:00", { "B1", "A1" }, false);
        add("2", "08:01:00", { "A1", "B1" }, false);
        add("3", "08:02:00", { "B1", "A1" }, true);
        add("4", "08:03:00", { "F1", "E1" }, false);
        add("5", "08:03:00", { "C1", "D1" }, false);
        const QString html = QString::fromUtf8(htmlreport::render(htmlreport::fromRuns(all, {})));
        const QString table = html.section(QStringLiteral("one row a pair"), 1)
                                  .section(QStringLiteral("</table>"), 0, 0);
        QCOMPARE(table.count(QStringLiteral("<tr><td>")), 3);
        const qsizetype cd = table.indexOf(QStringLiteral("C1, D1")),
                        ef = table.indexOf(QStringLiteral("E1, F1")),
                        ab = table.indexOf(QStringLiteral("A1, B1"));
        QVERIFY2(cd >= 0 && cd < ef && ef < ab, qPrintable(table));
        QVERIFY(table.contains(QStringLiteral("<td>2026-12-07 08:01:00</td>")));
        QVERIFY(table.contains(QStringLiteral("<td>passed 2026-12-07 08:02:00</td>")));
        QCOMPARE(table.count(QStringLiteral("<td>not passed</td>")), 2);
        // The pairs that never passed, newest first, the same way.
        const QString never = html.section(QStringLiteral("Pairs that never passed: 2</h2>"), 1)
                                  .section(QStringLiteral("</table>"), 0, 0);
        QCOMPARE(never.count(QStringLiteral("<tr><td>")), 2);
        QVERIFY2(never.indexOf("C1, D1") >= 0 && never.indexOf("C1, D1") < never.indexOf("E1, F1"),
                 qPrintable(never));
    }

    void csvQuotesWhatARecordHolds()
    {
        const QStringList rows = csv(runs).split(QLatin1Char('\n'));
        QCOMPARE(rows.size(), 1 + 7 + 1);
        QCOMPARE(rows.at(6),
                 QStringLiteral(
                     "6,\"2026-12-02T07:05:00.000+01:00\",\"2026-12-02T07:05:00.300+01:00\","
                     "300.000,\"bench \"\"2\"\", hall\",\"libftdi1 1.5\",\"E1\",\"F1\",FAILED,3,"
                     "\"c61fa978-08c6-5466-84e9-c91349d99107\",\"bench \"\"2\"\", hall\""));
    }

    // A serial number or host name that a spreadsheet would run is made
    // inert; one that looks like a placeholder stays as it is, and so do the
    // fields after it.
    void csvFieldsNeverRunAsFormulas_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<bool>("inert");
        QTest::newRow("=") << QStringLiteral("=HYPERLINK(\"http://x\")") << true;
        QTest::newRow("+") << QStringLiteral("+1+1") << true;
        QTest::newRow("-") << QStringLiteral("-2+3") << true;
        QTest::newRow("@") << QStringLiteral("@SUM(A1)") << true;
        QTest::newRow("tab") << QStringLiteral("\t=1") << true;
        QTest::newRow("carriage return") << QStringLiteral("\r=1") << true;
        QTest::newRow("placeholders") << QStringLiteral("A%1%10%2") << false;
        QTest::newRow("an escape sequence, shown escaped") << QStringLiteral("\x1b[2J") << false;
    }
    void csvFieldsNeverRunAsFormulas()
    {
        QFETCH(QString, serial);
        QFETCH(bool, inert);
        QJsonObject record
            = QJsonDocument::fromJson(
                  QByteArrayLiteral(
                      R"({"schema":1,"run":1,"start":"2026-12-01T08:00:00.000+01:00",)"
                      R"("end":"2026-12-01T08:00:01.000+01:00","durationMs":1000,"version":"1.0.0",)"
                      R"("backend":"D2XX","steps":[],"verdict":"PASSED","failCode":0})"))
                  .object();
        record.insert(QStringLiteral("host"), serial);
        record.insert(
            QStringLiteral("chips"),
            QJsonArray { QJsonObject { { QStringLiteral("serial"), serial } },
                         QJsonObject { { QStringLiteral("serial"), QStringLiteral("B1") } } });
        QStringList problems;
        const QList<Run> parsed = parse(QJsonDocument(record).toJson(QJsonDocument::Compact),
                                        QStringLiteral("inline"), &problems);
        QCOMPARE(parsed.size(), 1);
        const QString row = csv(parsed).split(QLatin1Char('\n')).at(1);
        const QString field = QLatin1String(inert ? "\"'" : "\"")
            + QString(serial).replace('"', "\"\"").replace(QChar(0x1b), "\\x1b") + '"';
        QCOMPARE(row.count(field), 3); // the host, the first serial, the station (the host)
        QVERIFY2(row.contains(QLatin1String(",\"B1\",PASSED,0,")), qPrintable(row));
        // The summary names the station (here the host) as recorded, too.
        QVERIFY(summary(parsed).contains(QLatin1String("  ") + serial
                                         + QLatin1String("  runs 1, passed 1 (100.0 %)")));
    }
};

QTEST_APPLESS_MAIN(TestReport)
#include "tst_report.moc"
