// The run records' report on a fixed records file, figures worked out by hand:
// 7 runs over two days, 3 pairs (A1+B1 failed first, C1+D1 passed first,
// E1+F1 failed first), a run without chips, three lines that are no records.

#include "report/yieldreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace yieldreport;

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
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all")
            << QString() << QString()
            << QStringList { "Runs: 7", "Passed: 4 (57.1 %)",
                             "First-pass yield: 1 of 3 pairs (33.3 %)",
                             "Failures by code:", "   1  1 runs  no FT232R/FT245R device found",
                             "   3  1 runs  programming an EEPROM failed",
                             "   8  1 runs  received data differs from the data sent",
                             "Cycle time: median 140.0 ms, 95th percentile 1000.0 ms",
                             "Per day (a pair counts on the day of its first run):",
                             "  2026-12-01  runs 4, passed 2, first-pass yield 1 of 2 pairs "
                             "(50.0 %), failures "
                             "2, cycle time median 135.0 ms, 95th percentile 1000.0 ms",
                             "  2026-12-02  runs 3, passed 2, first-pass yield 0 of 1 pairs "
                             "(0.0 %), failures "
                             "1, cycle time median 150.0 ms, 95th percentile 300.0 ms",
                             // Records without a station name count at their host.
                             "Per station (a pair counts at the station of its first run):",
                             "  bench \"2\", hall  runs 1, passed 0 (0.0 %), first-pass "
                             "yield 0 of 1 pairs (0.0 %), failures by code: code 3: 1, "
                             "cycle time median 300.0 ms, 95th percentile 300.0 ms",
                             "  bench-1  runs 6, passed 4 (66.7 %), first-pass yield 1 of 2 "
                             "pairs (50.0 %), failures by code: code 1: 1, code 8: 1, cycle "
                             "time median 135.0 ms, 95th percentile 1000.0 ms",
                             "" };
        // Within a selection, a pair's first run is its first one selected.
        QTest::newRow("since a day") << "2026-12-02" << QString()
                                     << QStringList { "Runs: 3", "Passed: 2 (66.7 %)",
                                                      "First-pass yield: 1 of 2 pairs (50.0 %)" };
        QTest::newRow("until a time, its own offset")
            << QString() << "2026-12-01T07:30:00Z"
            << QStringList { "Runs: 2", "Passed: 1 (50.0 %)",
                             "First-pass yield: 0 of 1 pairs (0.0 %)" };
        QTest::newRow("nothing selected") << "2027-01-01" << QString()
                                          << QStringList { "Runs: 0",
                                                           "Passed: 0 (n/a)",
                                                           "First-pass yield: 0 of 0 pairs (n/a)",
                                                           "Failures by code: none",
                                                           "Cycle time: n/a",
                                                           "" };
    }
    void summaryHasTheFiguresWorkedOutByHand()
    {
        QFETCH(QString, since);
        QFETCH(QString, until);
        QFETCH(QStringList, expected);
        const QStringList lines
            = summary(between(runs, bound(since), bound(until))).split(QLatin1Char('\n'));
        QCOMPARE(lines.mid(0, expected.size()), expected);
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
        const QString field
            = QLatin1String(inert ? "\"'" : "\"") + QString(serial).replace('"', "\"\"") + '"';
        QCOMPARE(row.count(field), 3); // the host, the first serial, the station (the host)
        QVERIFY2(row.contains(QLatin1String(",\"B1\",PASSED,0,")), qPrintable(row));
        // The summary names the station (here the host) as recorded, too.
        QVERIFY(summary(parsed).contains(QLatin1String("  ") + serial
                                         + QLatin1String("  runs 1, passed 1 (100.0 %)")));
    }
};

QTEST_APPLESS_MAIN(TestReport)
#include "tst_report.moc"
