// Runs started by seating a pair (`[station] start=plug-in`), on the
// simulated bench with chips plugged and pulled on a script: one run a
// pair, after a second of stillness, none for a pair still seated, a
// half-pulled pair or a bench of one or three chips, a chip that opens late,
// a pair pulled mid-run.

#include "app/pluginstart.h"
#include "stationprobe.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

class TestPlugInStart : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchDirectory> scratch;

    static QStringList verdicts()
    {
        return logFileLines().filter(QRegularExpression("^TEST (PASSED|FAILED)"));
    }

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    // Each step "MS ACTION": at MS after the start, plug or unplug a chip
    // (A and B are a pair, C another chip), make a chip refuse to open for
    // a while, pull a chip at its first write, or expect so many runs so far.
    void aSeatedPairStartsOneRun_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QStringList>("expected"); // the runs' verdicts
        const QStringList passed { "TEST PASSED" };
        QTest::newRow("a pair plugged in")
            << true << QStringList { "0 plug A", "100 plug B", "1000 expect 0", "2000 expect 1" }
            << passed;
        QTest::newRow("a pair left seated")
            << true << QStringList { "0 plug A", "0 plug B", "1500 expect 1", "6000 expect 1" }
            << passed;
        QTest::newRow("unplugged and plugged again")
            << true << QStringList { "0 plug A",      "0 plug B",      "1500 expect 1",
                                     "1600 unplug A", "1600 unplug B", "2200 plug A",
                                     "2200 plug B",   "3000 expect 1", "4500 expect 2" }
            << passed + passed;
        QTest::newRow("a chip that bounces within the second")
            << true << QStringList { "0 plug A",   "0 plug B",      "400 unplug B",
                                     "700 plug B", "1500 expect 0", "2400 expect 1" }
            << passed;
        QTest::newRow("half pulled within the second, after its run")
            << true << QStringList { "0 plug A",      "0 plug B",    "1500 expect 1",
                                     "1600 unplug B", "1900 plug B", "4000 expect 1" }
            << passed;
        QTest::newRow("a click on a seated pair")
            << true << QStringList { "0 plug A", "0 plug B", "300 click", "3000 expect 1" }
            << passed;
        QTest::newRow("one chip only")
            << true << QStringList { "0 plug A", "3000 expect 0" } << QStringList {};
        QTest::newRow("three chips")
            << true << QStringList { "0 plug A", "0 plug B", "0 plug C", "3000 expect 0" }
            << QStringList {};
        QTest::newRow("a chip that opens 2 s after it arrived")
            << true
            << QStringList { "0 refuse-open A 2000", "0 plug A", "0 plug B", "1800 expect 0",
                             "3000 expect 1" }
            << passed;
        QTest::newRow("pulled mid-run")
            << true
            << QStringList { "0 pull-at-write A", "0 plug A",      "0 plug B",      "1500 expect 1",
                             "1600 plug A",       "3000 expect 1", "3100 unplug A", "3100 unplug B",
                             "3700 plug A",       "3700 plug B",   "5400 expect 2" }
            << QStringList { "TEST FAILED (7)", "TEST PASSED" };
        QTest::newRow("without the setting")
            << false << QStringList { "0 plug A", "0 plug B", "3000 expect 0" } << QStringList {};
    }
    void aSeatedPairStartsOneRun()
    {
        QFETCH(bool, configured);
        QFETCH(QStringList, script);
        QFETCH(QStringList, expected);
        if (configured) {
            QFile ini(QStringLiteral("zelor-k3-tester.ini"));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[station]\nstart=plug-in\n");
        }
        SimScenario bench = SimScenario::passingPair();
        QHash<QString, SimDeviceSpec> chips { { "A", bench.devices.value(0) },
                                              { "B", bench.devices.value(1) },
                                              { "C", SimDeviceSpec::withSerial("FTC3C3C3") } };
        bench.devices.clear();
        SimulatedDeviceLibrary library(bench);
        MW window(library);
        std::unique_ptr<PlugInStart> start;
        if (PlugInStart::configured())
            start = std::make_unique<PlugInStart>(window, library);
        QElapsedTimer clock;
        clock.start();
        for (const QString &step : script) {
            const QStringList words = step.split(' ');
            QTest::qWait(qMax(0, int(words[0].toInt() - clock.elapsed())));
            const QByteArray serial = chips.value(words.value(2)).serial;
            if (words[1] == "plug")
                library.plug(chips.value(words[2]));
            else if (words[1] == "unplug")
                library.unplug(serial);
            else if (words[1] == "refuse-open") {
                SimFault refusal;
                refusal.serial = serial;
                refusal.status = DeviceStatusCode::DeviceNotOpened;
                library.addFault(refusal);
                QTimer::singleShot(words[3].toInt(), &window, [&] { library.clearFaults(); });
            } else if (words[1] == "pull-at-write") {
                SimFault pull;
                pull.serial = serial;
                pull.operation = SimOperation::Write;
                pull.call = 1;
                pull.unplug = serial;
                library.addFault(pull);
            } else if (words[1] == "click") {
                StationProbe(window).form()->startTest->click();
            } else if (words[1] == "expect")
                QVERIFY2(
                    StationProbe(window).runCount() == words[2].toInt(),
                    qPrintable(step + ": " + QString::number(StationProbe(window).runCount())));
        }
        QCOMPARE(verdicts(), expected);
        if (start)
            QVERIFY2(window.findChild<QLabel *>("plugIn")->text().startsWith(
                         expected.isEmpty() ? PlugInStart::PlugIn : PlugInStart::RemovePair),
                     qPrintable(window.findChild<QLabel *>("plugIn")->text()));
    }
};

QTEST_MAIN(TestPlugInStart)
#include "tst_pluginstart.moc"
