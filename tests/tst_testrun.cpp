// Whole test runs on the simulated bench, compared line by line, and the
// simulated-bench program run as a process.

#include "device/sim/simulateddevicelibrary.h"
#include "stationprobe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

namespace {

const QByteArray A = "FTA1B2C3";
const QByteArray B = "FTD4E5F6";

const QString Header = QStringLiteral("Test run %1 started <date>");
const QString Listing
    = QStringLiteral("Finding devices... OK Connected FT232R USB UART serial FTA1B2C3 \n"
                     "Connected FT232R USB UART serial FTD4E5F6 \n");
const QString OpenA = QStringLiteral("Opening device serial FTA1B2C3 OK");
const QString OpenB = QStringLiteral("Opening device serial FTD4E5F6 OK");
const QString InitOk = QStringLiteral("Initializing devs... OK");
const QString InitFail = QStringLiteral("Initializing devs... FAIL");
const QString ProgramOk = QStringLiteral("Programming devices... OK");
const QString TxOk = QStringLiteral("Testing device TX/RX... OK");
const QString RxOk = QStringLiteral("Testing device RX/TX... OK");
const QString TxFew
    = QStringLiteral("Testing device TX/RX... No enough devices connected, or too many..");
const QString RxFew
    = QStringLiteral("Testing device RX/TX... No enough devices connected, or too many..");
const QString Closed = QStringLiteral("Closing devices... OK");
const QString Params = QStringLiteral("Setting device params failed");

QStringList passingRun(int number)
{
    return passingRunLog(number);
}

SimScenario chips(int count)
{
    SimScenario scenario;
    for (int i = 0; i < count; ++i)
        scenario.devices.append(SimDeviceSpec::withSerial("C" + QByteArray::number(i)));
    return scenario;
}

// The lines of every run in the log file, each run from its header to its
// verdict.
QList<QStringList> runsInLogFile()
{
    QList<QStringList> runs;
    for (const QString &line : withoutDates(logFileLines())) {
        if (line.startsWith(QLatin1String("Test run ")))
            runs.append(QStringList());
        if (!runs.isEmpty()
            && (runs.last().isEmpty() || !runs.last().last().startsWith(QLatin1String("TEST "))))
            runs.last().append(line);
    }
    return runs;
}

// Every line of TestingRecords.jsonl as JSON.
QList<QJsonObject> records()
{
    QFile file(QStringLiteral("TestingRecords.jsonl"));
    QList<QJsonObject> objects;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        }
    }
    return objects;
}

// What the run's log says, as its record must say it too: each step's
// result after its prefix, the serials of the chips it opened or tried to,
// the verdict and its code.
void checkRecordAgainstLog(const QJsonObject &record, const QStringList &log)
{
    static const QStringList prefixes
        = { QStringLiteral("Finding devices... "),      QStringLiteral("Initializing devs... "),
            QStringLiteral("Programming devices... "),  QStringLiteral("Testing device TX/RX... "),
            QStringLiteral("Testing device RX/TX... "), QStringLiteral("Closing devices... ") };
    QStringList logged, recorded, opened, chips;
    for (const QString &line : log) {
        for (const QString &prefix : prefixes) {
            if (line.startsWith(prefix))
                logged << line.mid(prefix.size());
        }
        static const QRegularExpression opening(
            QStringLiteral("^Opening device serial (.*) \\w+$"));
        if (const auto match = opening.match(line); match.hasMatch())
            opened << match.captured(1);
    }
    for (const QJsonValue &step : record.value(QLatin1String("steps")).toArray())
        recorded << step.toObject().value(QLatin1String("result")).toString();
    int programmed = 0;
    for (const QJsonValue &chip : record.value(QLatin1String("chips")).toArray()) {
        chips << chip.toObject().value(QLatin1String("serial")).toString();
        programmed += chip.toObject().value(QLatin1String("programmed")).toBool() ? 1 : 0;
    }
    QCOMPARE(programmed, int(log.count(QStringLiteral("Programming devices... OK"))));
    QCOMPARE(recorded, logged);
    for (const QString &serial : opened)
        QVERIFY2(chips.contains(serial), qPrintable(serial));
    const QString verdict = log.last();
    QCOMPARE(record.value(QLatin1String("verdict")).toString(),
             verdict == QLatin1String("TEST PASSED") ? QStringLiteral("PASSED")
                                                     : QStringLiteral("FAILED"));
    QCOMPARE(record.value(QLatin1String("failCode")).toInt(),
             verdict == QLatin1String("TEST PASSED") ? 0 : verdict.mid(13).chopped(1).toInt());
    QCOMPARE(record.value(QLatin1String("schema")).toInt(), 1);
    QCOMPARE(record.contains(QLatin1String("mismatch")),
             log.join('\n').contains(QLatin1String("Data transfer error")));
}

} // namespace

Q_DECLARE_METATYPE(SimScenario)

class TestRun : public QObject {
    Q_OBJECT

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    void wholeRunLogs_data()
    {
        QTest::addColumn<SimScenario>("scenario");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("everything passes") << SimScenario::passingPair() << passingRun(1);

        const QStringList missing
            = { InitOk, TxFew, RxFew, Closed, QStringLiteral("TEST FAILED (5)") };
        QTest::newRow("no device")
            << chips(0)
            << QStringList {
                   Header.arg(1),
                   QStringLiteral("Finding devices... No FT232R or FT245R devices found.")
               } + missing;
        for (int count : { 1, 3 }) {
            QTest::newRow(qPrintable(QStringLiteral("%1 chips").arg(count)))
                << chips(count)
                << QStringList { Header.arg(1),
                                 QStringLiteral("Finding devices... Connected device count not 2. "
                                                "Found %1 devices!")
                                     .arg(count) }
                    + missing;
        }
        QTest::newRow("one chip fails to open")
            << pairWith({ fault(SimOperation::Open, A, 1) })
            << QStringList { Header.arg(1),
                             Listing,
                             QStringLiteral("Opening device serial FTA1B2C3 FAILED"),
                             OpenB,
                             InitOk,
                             ProgramOk,
                             TxFew,
                             RxFew,
                             Closed,
                             QStringLiteral("TEST FAILED (5)") };
        QTest::newRow("baud rate fails on the first")
            << pairWith({ fault(SimOperation::SetBaudRate, A, 1) })
            << QStringList {
                   Header.arg(1), Listing, OpenA, Params, InitFail,
                   ProgramOk,     TxFew,   RxFew, Closed, QStringLiteral("TEST FAILED (5)")
               };

        SimScenario fastSecond = pairWith({ fault(SimOperation::SetBaudRate, B, 1) });
        fastSecond.devices[1].line.baudRate = 1000000;
        QTest::newRow("baud rate fails on the second, already at 1 Mbaud")
            << fastSecond
            << QStringList {
                   Header.arg(1), Listing,   OpenA, OpenB, Params, InitFail,
                   ProgramOk,     ProgramOk, TxOk,  RxOk,  Closed, QStringLiteral("TEST FAILED (9)")
               };
        QTest::newRow("baud rate fails on the second, left at 9600")
            << pairWith({ fault(SimOperation::SetBaudRate, B, 1) })
            << QStringList {
                   Header.arg(1),
                   Listing,
                   OpenA,
                   OpenB,
                   Params,
                   InitFail,
                   ProgramOk,
                   ProgramOk,
                   QStringLiteral(
                       "Testing device TX/RX... Data transfer error, tested devices FAIL"),
                   QStringLiteral(
                       "Testing device RX/TX... Data transfer error, tested devices FAIL"),
                   Closed,
                   QStringLiteral("TEST FAILED (8)")
               };
        QTest::newRow("a close fails")
            << pairWith({ fault(SimOperation::Close, B, 1) })
            << QStringList { Header.arg(1), Listing,
                             OpenA,         OpenB,
                             InitOk,        ProgramOk,
                             ProgramOk,     TxOk,
                             RxOk,          QStringLiteral("Error closing device 1"),
                             Closed,        QStringLiteral("TEST FAILED (0)") };

        SimFault corrupt = fault(SimOperation::Read, B, 1, 0);
        corrupt.corruptOffset = 0;
        QTest::newRow("both directions fail, the last code wins")
            << pairWith({ corrupt, fault(SimOperation::Write, B, 1) })
            << QStringList {
                   Header.arg(1),
                   Listing,
                   OpenA,
                   OpenB,
                   InitOk,
                   ProgramOk,
                   ProgramOk,
                   QStringLiteral(
                       "Testing device TX/RX... Data transfer error, tested devices FAIL"),
                   QStringLiteral("Testing device RX/TX... Error writing test data to device 1."),
                   Closed,
                   QStringLiteral("TEST FAILED (6)")
               };
        QTest::newRow("EEPROM read fails")
            << pairWith({ fault(SimOperation::EepromRead, A, 1) })
            << QStringList { Header.arg(1),
                             Listing,
                             OpenA,
                             OpenB,
                             InitOk,
                             QStringLiteral("Programming devices... FT_EE_Read FAILED!"),
                             ProgramOk,
                             TxOk,
                             RxOk,
                             Closed,
                             QStringLiteral("TEST FAILED (4)") };
        QTest::newRow("EEPROM program fails")
            << pairWith({ fault(SimOperation::EepromProgram, B, 1) })
            << QStringList { Header.arg(1),
                             Listing,
                             OpenA,
                             OpenB,
                             InitOk,
                             ProgramOk,
                             QStringLiteral("Programming of description FAILED"),
                             QStringLiteral(
                                 "Programming devices... Programming of description FAILED"),
                             TxOk,
                             RxOk,
                             Closed,
                             QStringLiteral("TEST FAILED (3)") };
    }
    void wholeRunLogs()
    {
        QFETCH(SimScenario, scenario);
        QFETCH(QStringList, expected);
        SimulatedDeviceLibrary library(scenario);
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        window.show();
        QTest::mouseClick(probe.form()->startTest, Qt::LeftButton);

        QCOMPARE(runsInLogFile(), QList<QStringList> { expected });
        QCOMPARE(withoutDates(probe.viewParagraphs()), expected);
        QCOMPARE(records().size(), 1);
        checkRecordAgainstLog(records().first(), expected);
        const bool passed = expected.last() == QLatin1String("TEST PASSED");
        QCOMPARE(probe.form()->passed->text(),
                 passed ? QStringLiteral("PASSED") : QStringLiteral("FAILED"));
        QCOMPARE(probe.form()->passed->styleSheet(),
                 passed ? QStringLiteral("background-color:green;color:white;")
                        : QStringLiteral("background-color:red;color:white;"));
        QVERIFY(probe.form()->startTest->isEnabled());
        QVERIFY(probe.handleList().isEmpty());
        QVERIFY(probe.serialList().isEmpty());
        const int closeFailures = expected.filter(QStringLiteral("Error closing")).size();
        QCOMPARE(library.openHandleCount(), closeFailures);
    }

    void runsCountUpAndTheViewHoldsTheLastRunOnly()
    {
        SimulatedDeviceLibrary library;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.form()->startTest->click();
        probe.form()->startTest->click();
        probe.form()->startTest->click();
        QCOMPARE(probe.runCount(), 3);
        QCOMPARE(runsInLogFile(),
                 (QList<QStringList> { passingRun(1), passingRun(2), passingRun(3) }));
        QCOMPARE(withoutDates(probe.viewParagraphs()), passingRun(3));
        QCOMPARE(withoutDates(logFileLines()).first(), QStringLiteral("Starting app <date>"));
        // Both chips now carry the new description in their EEPROM.
        QCOMPARE(library.eeprom(A)->description, QByteArray("ZELOR-K3"));
        QCOMPARE(library.eeprom(B)->description, QByteArray("ZELOR-K3"));
    }

    // Each run reports its own outcome: no code carries over from the run before.
    void runsInARowReportTheirOwnOutcome()
    {
        SimulatedDeviceLibrary library(pairWith(
            { fault(SimOperation::EepromProgram, A, 1), fault(SimOperation::Close, B, 3) }));
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        for (int run = 0; run < 3; ++run)
            probe.form()->startTest->click();
        QStringList verdicts;
        for (const QStringList &run : runsInLogFile())
            verdicts << run.last();
        QCOMPARE(verdicts,
                 (QStringList { QStringLiteral("TEST FAILED (3)"), QStringLiteral("TEST PASSED"),
                                QStringLiteral("TEST FAILED (0)") }));
    }

    void mismatchIsRecordedWithItsPlace()
    {
        SimFault corrupt = fault(SimOperation::Read, A, 7, 0);
        corrupt.corruptOffset = 127;
        SimulatedDeviceLibrary library(pairWith({ corrupt }));
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.form()->startTest->click();
        // The 7th read of the first chip: block 6 of RX/TX, its last byte.
        const int sent = (6 * 128 + 127) % 256;
        QCOMPARE(records().value(0).value(QLatin1String("mismatch")).toObject(),
                 (QJsonObject { { "direction", "RX/TX" },
                                { "block", 6 },
                                { "offset", 127 },
                                { "sent", sent },
                                { "received", sent ^ 0xFF } }));
    }

    // A station killed while writing a record leaves a torn line: the next
    // record starts on a line of its own, and the torn one stays as it was.
    void recordAfterATornLineStandsOnItsOwn()
    {
        QFile file(QStringLiteral("TestingRecords.jsonl"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray torn = "{\"schema\":1,\"run\":7,\"verd";
        file.write(torn);
        file.close();
        SimulatedDeviceLibrary library;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.form()->startTest->click();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray content = file.readAll();
#ifdef Q_OS_WIN
        const QByteArray lineEnd = "\r\n";
#else
        const QByteArray lineEnd = "\n";
#endif
        // Every line end is the platform's whole one.
        QCOMPARE(content.count(lineEnd), content.count('\n'));
        const QList<QByteArray> lines = content.replace(lineEnd, "\n").split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0), torn);
        QCOMPARE(QJsonDocument::fromJson(lines.at(1)).object().value("verdict").toString(),
                 QStringLiteral("PASSED"));
        QVERIFY(lines.at(2).isEmpty());
    }

    // A record that cannot be saved shows in the view as an unsaved log line
    // does; the verdict and the log are untouched.
    void unsavedRecordShowsInTheView()
    {
        QVERIFY(QDir().mkdir(QStringLiteral("TestingRecords.jsonl")));
        SimulatedDeviceLibrary library;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.form()->startTest->click();
        QCOMPARE(probe.form()->passed->text(), QStringLiteral("PASSED"));
        QCOMPARE(runsInLogFile(), QList<QStringList> { passingRun(1) });
        const QStringList view = probe.viewParagraphs();
        QCOMPARE(view.size(), 11 + 2);
        QVERIFY(view.at(11).endsWith(QLatin1String(
            " (error opening file TestingRecords.jsonl for writing, record not saved.)")));
        QVERIFY(view.at(11).startsWith(view.at(12)));
        QCOMPARE(QJsonDocument::fromJson(view.at(12).toUtf8()).object().value("verdict").toString(),
                 QStringLiteral("PASSED"));
    }

    void bannerAndButtonDuringTheRun()
    {
        SimulatedDeviceLibrary library;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        QString textDuring, styleDuring;
        bool enabledDuring = true;
        int runCountDuring = 0;
        // Runs inside the run's first log line, as a user's click would.
        QTimer::singleShot(0, &window, [&] {
            textDuring = probe.form()->passed->text();
            styleDuring = probe.form()->passed->styleSheet();
            enabledDuring = probe.form()->startTest->isEnabled();
            probe.form()->startTest->click(); // disabled: nothing happens
            runCountDuring = probe.runCount();
        });
        probe.form()->startTest->click();
        QCOMPARE(textDuring, QStringLiteral("TESTING IN PROGRESS..."));
        QCOMPARE(styleDuring, QStringLiteral("background-color:black;color:white;"));
        QVERIFY(!enabledDuring);
        QCOMPARE(runCountDuring, 1);
        QCOMPARE(probe.runCount(), 1);
        QVERIFY(probe.form()->startTest->isEnabled());
        QCOMPARE(probe.form()->passed->text(), QStringLiteral("PASSED"));
    }

    void refreshInsideTheRunCanFailIt()
    {
        // A third chip arrives while the chips are being closed; the close
        // takes long enough for a refresh tick to fall due inside the run.
        SimFault arrives = fault(SimOperation::Close, A, 1, 0);
        arrives.delayMs = 1100;
        arrives.plug = SimDeviceSpec::withSerial("C3");
        SimulatedDeviceLibrary library(pairWith({ arrives }));
        MW window(library);
        StationProbe probe(window);
        window.show();
        probe.form()->startTest->click();
        QStringList expected = passingRun(1);
        expected.last() = QStringLiteral("TEST FAILED (2)");
        QCOMPARE(runsInLogFile(), QList<QStringList> { expected });
        QCOMPARE(probe.form()->passed->text(), QStringLiteral("FAILED"));
        QCOMPARE(probe.form()->devicesconnected->toPlainText(),
                 QStringLiteral("3 devices connected. Exactly 2 required."));
        QCOMPARE(library.openHandleCount(), 0);
    }

    // --- the simulated-bench program ----------------------------------------

    void simProgramPassesAndFails_data()
    {
        QTest::addColumn<QByteArray>("scenario"); // empty: the default bench
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("run");
        QTest::newRow("default bench") << QByteArray() << 0 << passingRun(1);
        QStringList ninth
            = { Header.arg(1), Listing,   OpenA, OpenB, Params, InitFail,
                ProgramOk,     ProgramOk, TxOk,  RxOk,  Closed, QStringLiteral("TEST FAILED (9)") };
        QTest::newRow("second baud rate fails")
            << QByteArray("{\"devices\": [{\"serial\": \"FTA1B2C3\"},"
                          " {\"serial\": \"FTD4E5F6\", \"baudRate\": 1000000}],"
                          " \"links\": [[\"FTA1B2C3\", \"FTD4E5F6\"]],"
                          " \"faults\": [{\"serial\": \"FTD4E5F6\", \"operation\": \"setBaudRate\","
                          " \"call\": 1, \"status\": 4}]}")
            << 1 << ninth;
    }
    void simProgramPassesAndFails()
    {
        QFETCH(QByteArray, scenario);
        QFETCH(int, exitCode);
        QFETCH(QStringList, run);
        QStringList arguments { QStringLiteral("--runs"), QStringLiteral("1"),
                                QStringLiteral("--dump-eeprom"), QStringLiteral("eeprom.json") };
        if (!scenario.isEmpty()) {
            QFile file(QStringLiteral("bench.json"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(scenario);
            arguments << QStringLiteral("--scenario") << QStringLiteral("bench.json");
        }
        QProcess process;
        process.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), arguments);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        QCOMPARE(runsInLogFile(), QList<QStringList> { run });
        QCOMPARE(records().size(), 1);
        checkRecordAgainstLog(records().first(), run);
        QCOMPARE(records().first().value("backend").toString(), QStringLiteral("simulated bench"));
        const QStringList lines = withoutDates(logFileLines());
        QCOMPARE(lines.first(), QStringLiteral("Starting app <date>"));
        QCOMPARE(lines.mid(lines.size() - 2),
                 (QStringList { QStringLiteral("Closing app <date>"), QString() }));
        QFile dump(QStringLiteral("eeprom.json"));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.readAll().count("\"description\": \"ZELOR-K3\""), 2);
    }

    void simProgramRejectsBadInputBeforeAnyWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList { QStringLiteral("--bogus") } << "bogus";
        QTest::newRow("runs not a number")
            << QStringList { QStringLiteral("--runs"), QStringLiteral("x") } << "--runs";
        QTest::newRow("runs zero")
            << QStringList { QStringLiteral("--runs"), QStringLiteral("0") } << "--runs";
        QTest::newRow("missing scenario")
            << QStringList { QStringLiteral("--scenario"), QStringLiteral("nope.json") }
            << "nope.json";
        QTest::newRow("malformed scenario")
            << QStringList { QStringLiteral("--scenario"), QStringLiteral("bad.json") }
            << "devices[0]: unknown key \"serail\"";
    }
    void simProgramRejectsBadInputBeforeAnyWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QFile bad(QStringLiteral("bad.json"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("{\"devices\": [{\"serail\": \"A\"}]}");
        bad.close();
        QProcess process;
        process.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), arguments);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 2);
        const QString stderrText = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(stderrText.contains(message), qPrintable(stderrText));
        QVERIFY(!QFile::exists(QStringLiteral("TestingLog.txt")));
    }

    void simProgramHelpNeedsNoDisplay()
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), { QStringLiteral("--help") });
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
        for (const char *option : { "--scenario <FILE>", "--runs <N>", "--dump-eeprom <FILE>" })
            QVERIFY2(help.contains(QLatin1String(option)), qPrintable(help));
        QVERIFY(!QFile::exists(QStringLiteral("TestingLog.txt")));
    }

    void readThatWouldHangStopsTheSimulationLoudly()
    {
        // The second chip never gets its time-outs and is wired to nothing:
        // on a real chip its first read would wait forever.
        QFile file(QStringLiteral("hang.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "{\"devices\": [{\"serial\": \"A\"}, {\"serial\": \"B\"}],"
            " \"faults\": [{\"serial\": \"B\", \"operation\": \"setTimeouts\", \"status\": 4}]}");
        file.close();
        QProcess process;
        process.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"),
                      { QStringLiteral("--scenario"), QStringLiteral("hang.json"),
                        QStringLiteral("--runs"), QStringLiteral("1") });
        QVERIFY(process.waitForFinished(30000));
        QVERIFY(process.exitStatus() == QProcess::CrashExit || process.exitCode() != 0);
        QVERIFY(process.readAllStandardError().contains("would hang"));
    }

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestRun)
#include "tst_testrun.moc"
