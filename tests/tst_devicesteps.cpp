// Opening, configuring and closing; the loopback transfer; the EEPROM
// description. Each over the simulated pair, with its failure table.

#include "device/sim/ft232reeprom.h"
#include "device/sim/simulateddevicelibrary.h"
#include "stationprobe.h"

#include <QFile>

#include <cstring>

namespace {

const QByteArray A = "FTA1B2C3";
const QByteArray B = "FTD4E5F6";
constexpr int Unchanged = 42;

// A station on a bench, refresh stopped, with both serials listed and a
// failure code that no step here should touch unless it fails.
struct Station {
    SimulatedDeviceLibrary library;
    MW window;
    StationProbe probe;

    explicit Station(const SimScenario &scenario)
        : library(scenario), window(library), probe(window)
    {
        probe.stopRefresh();
        probe.serialList() = { QString::fromLatin1(A), QString::fromLatin1(B) };
        probe.testPassed() = true;
        probe.failCode() = Unchanged;
    }
    QStringList logSinceStart() { return logFileLines().mid(1); }
};

QByteArray pattern()
{
    QByteArray bytes(6400, '\0');
    for (int i = 0; i < 6400; ++i)
        bytes[i] = char(i % 256);
    return bytes;
}

// A library whose EEPROM read fills one string buffer without a terminator.
class UnterminatedReadLibrary : public SimulatedDeviceLibrary {
public:
    UnterminatedReadLibrary(char *EepromData::*string, int size)
        : SimulatedDeviceLibrary(SimScenario::passingPair()), string(string), size(size)
    {
    }
    DeviceStatus eepromRead(DeviceHandle handle, EepromData *data) override
    {
        const DeviceStatus status = SimulatedDeviceLibrary::eepromRead(handle, data);
        std::memset(data->*string, 'x', size_t(size));
        return status;
    }

private:
    char *EepromData::*string;
    int size;
};

} // namespace

Q_DECLARE_METATYPE(SimOperation)

class TestDeviceSteps : public QObject {
    Q_OBJECT

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    // --- opening and configuring -------------------------------------------

    void openingFailures_data()
    {
        QTest::addColumn<QList<SimFault>>("faults");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("result");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<int>("code");
        QTest::addColumn<QList<QByteArray>>("opened");

        const QString openA = QStringLiteral("Opening device serial FTA1B2C3 OK");
        const QString openB = QStringLiteral("Opening device serial FTD4E5F6 OK");
        const QString params = QStringLiteral("Setting device params failed");
        const QString timeouts = QStringLiteral("Setting device timeout params failed");

        QTest::newRow("all succeed") << QList<SimFault> {} << QStringList { openA, openB } << "OK"
                                     << true << Unchanged << QList<QByteArray> { A, B };
        QTest::newRow("first open fails")
            << QList<SimFault> { fault(SimOperation::Open, A, 1) }
            << QStringList { QStringLiteral("Opening device serial FTA1B2C3 FAILED"), openB }
            << "OK" << false << Unchanged << QList<QByteArray> { B };
        QTest::newRow("both opens fail")
            << QList<SimFault> { fault(SimOperation::Open, A, 1), fault(SimOperation::Open, B, 1) }
            << QStringList { QStringLiteral("Opening device serial FTA1B2C3 FAILED"),
                             QStringLiteral("Opening device serial FTD4E5F6 FAILED") }
            << "OK" << false << Unchanged << QList<QByteArray> {};
        QTest::newRow("baud rate on the first")
            << QList<SimFault> { fault(SimOperation::SetBaudRate, A, 1) }
            << QStringList { openA, params } << "FAIL" << false << 9 << QList<QByteArray> { A };
        QTest::newRow("data characteristics on the first")
            << QList<SimFault> { fault(SimOperation::SetDataCharacteristics, A, 1) }
            << QStringList { openA, params } << "FAIL" << false << 10 << QList<QByteArray> { A };
        QTest::newRow("time-outs on the first")
            << QList<SimFault> { fault(SimOperation::SetTimeouts, A, 1) }
            << QStringList { openA, timeouts } << "FAIL" << false << 20 << QList<QByteArray> { A };
        QTest::newRow("baud rate on the second")
            << QList<SimFault> { fault(SimOperation::SetBaudRate, B, 1) }
            << QStringList { openA, openB, params } << "FAIL" << false << 9
            << QList<QByteArray> { A, B };
        QTest::newRow("first open fails, second baud rate fails")
            << QList<SimFault> { fault(SimOperation::Open, A, 1),
                                 fault(SimOperation::SetBaudRate, B, 1) }
            << QStringList { QStringLiteral("Opening device serial FTA1B2C3 FAILED"), openB,
                             params }
            << "FAIL" << false << 9 << QList<QByteArray> { B };
    }
    void openingFailures()
    {
        QFETCH(QList<SimFault>, faults);
        QFETCH(QStringList, log);
        QFETCH(QString, result);
        QFETCH(bool, passed);
        QFETCH(int, code);
        QFETCH(QList<QByteArray>, opened);

        Station station(pairWith(faults));
        QCOMPARE(station.window.openDevices(), result);
        QCOMPARE(station.logSinceStart(), log);
        QCOMPARE(station.probe.testPassed(), passed);
        QCOMPARE(station.probe.failCode(), code);
        // Every handle that opened is kept, in opening order.
        QCOMPARE(station.probe.handleList().size(), opened.size());
        QCOMPARE(station.library.openHandleCount(), opened.size());
        // A configuration failure leaves the devices after it unopened.
        const bool stoppedAtFirst
            = result == QLatin1String("FAIL") && opened == QList<QByteArray> { A };
        QCOMPARE(station.library.callCount(SimOperation::Open, B), stoppedAtFirst ? 0 : 1);

        QCOMPARE(station.window.closeDevices(), QStringLiteral("OK"));
        QCOMPARE(station.library.openHandleCount(), 0);
        QVERIFY(station.probe.handleList().isEmpty());
        QVERIFY(station.probe.serialList().isEmpty());
    }

    void openedDevicesRunAtOneMegabaud8N1WithHalfSecondTimeouts()
    {
        Station station(SimScenario::passingPair());
        QCOMPARE(station.window.openDevices(), QStringLiteral("OK"));
        for (const QByteArray &serial : { A, B }) {
            const SimLineSettings line = *station.library.lineSettings(serial);
            QCOMPARE(line.baudRate, 1000000u);
            QCOMPARE(line.dataBits, quint8(8));
            QCOMPARE(line.stopBits, quint8(0));
            QCOMPARE(line.parity, quint8(0));
            QCOMPARE(station.library.writeTimeoutMs(serial), std::optional<quint32>(500));
        }
        // Nothing to read: the read gives up after the 500 ms time-out.
        char buffer[1];
        quint32 received = 0;
        const qint64 before = station.library.elapsedMicroseconds();
        station.library.read(station.probe.handleList().first(), buffer, 1, &received);
        QCOMPARE(station.library.elapsedMicroseconds() - before, qint64(500000));
    }

    void emptySerialListOpensNothing()
    {
        Station station(SimScenario::passingPair());
        station.probe.serialList().clear();
        QCOMPARE(station.window.openDevices(), QStringLiteral("OK"));
        QVERIFY(station.logSinceStart().isEmpty());
        QVERIFY(station.probe.testPassed());
        QCOMPARE(station.probe.failCode(), Unchanged);
        QCOMPARE(station.library.callCount(SimOperation::Open, A), 0);
    }

    void serialListShrinkingMidLoopEndsTheLoop()
    {
        Station station(SimScenario::passingPair());
        // As a refresh inside the first log line would, with one chip gone.
        QTimer::singleShot(0, &station.window, [&] { station.probe.serialList().clear(); });
        QCOMPARE(station.window.openDevices(), QStringLiteral("OK"));
        QCOMPARE(station.probe.handleList().size(), 1);
        QCOMPARE(station.library.callCount(SimOperation::Open, B), 0);
    }

    // --- closing ------------------------------------------------------------

    void closing_data()
    {
        QTest::addColumn<QList<SimFault>>("faults");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<int>("stillOpen");
        QTest::newRow("both close") << QList<SimFault> {} << QStringList {} << true << 0;
        QTest::newRow("second fails")
            << QList<SimFault> { fault(SimOperation::Close, B, 1) }
            << QStringList { QStringLiteral("Error closing device 1") } << false << 1;
        QTest::newRow("both fail") << QList<SimFault> { fault(SimOperation::Close, A, 1),
                                                        fault(SimOperation::Close, B, 1) }
                                   << QStringList { QStringLiteral("Error closing device 0"),
                                                    QStringLiteral("Error closing device 1") }
                                   << false << 2;
    }
    void closing()
    {
        QFETCH(QList<SimFault>, faults);
        QFETCH(QStringList, log);
        QFETCH(bool, passed);
        QFETCH(int, stillOpen);
        Station station(pairWith(faults));
        station.window.openDevices();
        const int linesBefore = station.logSinceStart().size();
        QCOMPARE(station.window.closeDevices(), QStringLiteral("OK"));
        QCOMPARE(station.logSinceStart().mid(linesBefore), log);
        QCOMPARE(station.probe.testPassed(), passed);
        QCOMPARE(station.probe.failCode(), Unchanged);
        QVERIFY(station.probe.handleList().isEmpty());
        QVERIFY(station.probe.serialList().isEmpty());
        QCOMPARE(station.library.openHandleCount(), stillOpen);
        QCOMPARE(station.library.callCount(SimOperation::Close, B), 1);
    }

    void closingNothingEmptiesTheSerials()
    {
        Station station(SimScenario::passingPair());
        QCOMPARE(station.window.closeDevices(), QStringLiteral("OK"));
        QVERIFY(station.logSinceStart().isEmpty());
        QVERIFY(station.probe.serialList().isEmpty());
        QVERIFY(station.probe.testPassed());
    }

    // --- transfer -----------------------------------------------------------

    void cleanTransferSendsThePatternBothWays()
    {
        Station station(SimScenario::passingPair());
        station.window.openDevices();
        station.probe.testPassed() = false; // an earlier step's failure survives
        station.probe.failCode() = 9;
        TraceCapture capture;
        QCOMPARE(station.window.testTransfer(0, 1), QStringLiteral("OK"));
        QCOMPARE(station.window.testTransfer(1, 0), QStringLiteral("OK"));
        QCOMPARE(station.library.receivedBytes(B), pattern());
        QCOMPARE(station.library.receivedBytes(A), pattern());
        QVERIFY(!station.probe.testPassed());
        QCOMPARE(station.probe.failCode(), 9);

        QStringList oneCall { QStringLiteral("testing ") };
        for (int k = 0; k < 50; ++k)
            oneCall << QStringLiteral("write ") << QStringLiteral("read ")
                    << QStringLiteral("read done ");
        QCOMPARE(oneCall.size(), 151);
        QCOMPARE(capture.lines(), oneCall + oneCall);
        QCOMPARE(station.logSinceStart().size(), 2); // only the two open lines
    }

    void transferNeedsExactlyTwoHandles_data()
    {
        QTest::addColumn<int>("handles");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("three") << 3;
    }
    void transferNeedsExactlyTwoHandles()
    {
        QFETCH(int, handles);
        Station station(SimScenario::passingPair());
        station.window.openDevices();
        while (station.probe.handleList().size() > handles)
            station.probe.handleList().removeLast();
        while (station.probe.handleList().size() < handles)
            station.probe.handleList().append(station.probe.handleList().first());
        TraceCapture capture;
        QCOMPARE(station.window.testTransfer(0, 1),
                 QStringLiteral("No enough devices connected, or too many.."));
        QCOMPARE(station.probe.failCode(), 5);
        QVERIFY(!station.probe.testPassed());
        QCOMPARE(capture.lines(), QStringList { QStringLiteral("testing ") });
        QCOMPARE(station.library.callCount(SimOperation::Write, A), 0);
        QCOMPARE(station.library.callCount(SimOperation::Read, B), 0);
    }

    void transferFailures_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<SimOperation>("operation");
        QTest::addColumn<int>("call");
        // -1: fail with a status instead; -2: succeed and leave the count alone
        QTest::addColumn<int>("transferred");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("code");

        for (int from : { 0, 1 }) {
            const int to = 1 - from;
            const QString w = QStringLiteral("Error writing test data to device %1.").arg(from);
            const QString r = QStringLiteral("Error reading test data from device %1.").arg(to);
            const QByteArray dir = from == 0 ? "TX/RX " : "RX/TX ";
            QTest::newRow(dir + "write status") << from << SimOperation::Write << 1 << -1 << w << 6;
            QTest::newRow(dir + "write 127 of 128")
                << from << SimOperation::Write << 7 << 127 << w << 6;
            QTest::newRow(dir + "read status") << from << SimOperation::Read << 50 << -1 << r << 7;
            QTest::newRow(dir + "read 100 of 128")
                << from << SimOperation::Read << 2 << 100 << r << 7;
            QTest::newRow(dir + "write leaves its count alone")
                << from << SimOperation::Write << 3 << -2 << w << 6;
            QTest::newRow(dir + "read leaves its count alone")
                << from << SimOperation::Read << 3 << -2 << r << 7;
        }
    }
    void transferFailures()
    {
        QFETCH(int, from);
        QFETCH(SimOperation, operation);
        QFETCH(int, call);
        QFETCH(int, transferred);
        QFETCH(QString, result);
        QFETCH(int, code);

        const QByteArray sender = from == 0 ? A : B;
        const QByteArray receiver = from == 0 ? B : A;
        SimFault f = fault(operation, operation == SimOperation::Write ? sender : receiver, call,
                           transferred == -1 ? DeviceStatus(DeviceStatusCode::IoError) : 0);
        f.transferred = qMax(transferred, -1);
        f.countUnwritten = transferred == -2;
        Station station(pairWith({ f }));
        station.window.openDevices();
        QCOMPARE(station.window.testTransfer(from, 1 - from), result);
        QCOMPARE(station.probe.failCode(), code);
        QVERIFY(!station.probe.testPassed());
        // The failing block is the last one sent.
        QCOMPARE(station.library.callCount(SimOperation::Write, sender), call);
    }

    void wrongByteIsReportedWithItsPlace_data()
    {
        QTest::addColumn<int>("offset");
        QTest::newRow("first byte of a block") << 0;
        QTest::newRow("inside a block") << 5;
        QTest::newRow("last byte of a block") << 127;
    }
    void wrongByteIsReportedWithItsPlace()
    {
        QFETCH(int, offset);
        SimFault corrupt = fault(SimOperation::Read, B, 4, 0);
        corrupt.corruptOffset = offset;
        Station station(pairWith({ corrupt }));
        station.window.openDevices();
        TraceCapture capture;
        QCOMPARE(station.window.testTransfer(0, 1),
                 QStringLiteral("Data transfer error, tested devices FAIL"));
        QCOMPARE(station.probe.failCode(), 8);
        const int index = 3 * 128 + offset, sent = index % 256;
        QCOMPARE(
            capture.lines().last(),
            QStringLiteral("%1 %2 %3 %4 3 ").arg(offset).arg(index).arg(sent).arg(sent ^ 0xFF));
        QCOMPARE(capture.lines().size(), 1 + 3 * 4 + 1);
        QCOMPARE(station.library.callCount(SimOperation::Write, A), 4); // blocks 4 to 49 not sent
    }

    void mismatchedLineFailsTheTransferAtItsFirstByte()
    {
        // One chip left at another baud rate, as after a failed configuration.
        Station station(SimScenario::passingPair());
        station.window.openDevices();
        station.library.setBaudRate(station.probe.handleList().at(1), 115200);
        TraceCapture capture;
        QCOMPARE(station.window.testTransfer(0, 1),
                 QStringLiteral("Data transfer error, tested devices FAIL"));
        QCOMPARE(capture.lines().last(), QStringLiteral("0 0 0 255 0 "));
    }

    // --- EEPROM description -------------------------------------------------

    void programmingChangesTheDescriptionOnly_data()
    {
        QTest::addColumn<QByteArray>("image"); // empty: factory defaults
        QTest::addColumn<QByteArray>("description");
        QTest::newRow("real factory image") << factoryImage() << QByteArray();
        QTest::newRow("longer description")
            << QByteArray() << QByteArray("A MUCH LONGER DESCRIPTION");
        QTest::newRow("already ZELOR-K3") << QByteArray() << QByteArray("ZELOR-K3");
        QTest::newRow("shorter description") << QByteArray() << QByteArray("K3");
        QTest::newRow("every field set, each to its own value")
            << QByteArray("every") << QByteArray();
    }
    void programmingChangesTheDescriptionOnly()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, description);
        SimScenario scenario = SimScenario::passingPair();
        SimDeviceSpec &chip = scenario.devices[0];
        if (image == "every") {
            // Non-zero and distinct, so a field lost or swapped shows.
            quint32 value = 1;
            for (const EepromNumericField &field : eepromNumericFields())
                field.set(chip.eeprom.settings, value++ % (field.maximum() + 1));
        } else if (!image.isEmpty()) {
            QString error;
            QVERIFY2(decodeFt232rEeprom(image, &chip.eeprom, &error), qPrintable(error));
            chip.eeprom.serialNumber = chip.serial;
        } else {
            chip.eeprom.description = description;
        }
        chip.eeprom.settings.cbus2 = 9; // a field off its default
        Station station(scenario);
        station.window.openDevices();
        const SimEeprom before = *station.library.eeprom(A);

        TraceCapture capture;
        QCOMPARE(station.window.programDescription(station.probe.handleList().first()),
                 QStringLiteral("OK"));
        SimEeprom expected = before;
        expected.description = "ZELOR-K3";
        QCOMPARE(simEepromDifference(*station.library.eeprom(A), expected), QString());
        QCOMPARE(capture.lines(),
                 (QStringList { QString::fromLatin1(before.description) + ' ',
                                QStringLiteral("programming "), QStringLiteral("programmed ") }));
        QCOMPARE(station.library.callCount(SimOperation::EepromProgram, A), 1);
        QCOMPARE(station.probe.failCode(), Unchanged);
        QVERIFY(station.probe.testPassed());
        QCOMPARE(*station.library.eeprom(B), SimEeprom::factoryDefault(B, "FT232R USB UART"));
    }

    void eepromFailures_data()
    {
        QTest::addColumn<SimOperation>("operation");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("traces");
        QTest::newRow("read") << SimOperation::EepromRead << "FT_EE_Read FAILED!" << 4
                              << QStringList {} << QStringList {};
        // Strings left elsewhere are not trusted: the chip is not written.
        QTest::newRow("read moves the strings") << SimOperation::EepromRead << "FT_EE_Read FAILED!"
                                                << 4 << QStringList {} << QStringList {};
        QTest::newRow("program")
            << SimOperation::EepromProgram << "Programming of description FAILED" << 3
            << QStringList { QStringLiteral("Programming of description FAILED") }
            << QStringList { QStringLiteral("FT232R USB UART "), QStringLiteral("programming "),
                             QStringLiteral("programmed ") };
    }
    void eepromFailures()
    {
        QFETCH(SimOperation, operation);
        QFETCH(QString, result);
        QFETCH(int, code);
        QFETCH(QStringList, log);
        QFETCH(QStringList, traces);
        SimFault failure = fault(operation, A, 1);
        if (qstrcmp(QTest::currentDataTag(), "read moves the strings") == 0) {
            failure.status = 0;
            failure.movesStrings = true;
        }
        Station station(pairWith({ failure }));
        station.window.openDevices();
        const SimEeprom before = *station.library.eeprom(A);
        const int linesBefore = station.logSinceStart().size();
        TraceCapture capture;
        QCOMPARE(station.window.programDescription(station.probe.handleList().first()), result);
        QCOMPARE(station.probe.failCode(), code);
        QVERIFY(!station.probe.testPassed());
        QCOMPARE(station.logSinceStart().mid(linesBefore), log);
        QCOMPARE(capture.lines(), traces);
        QCOMPARE(station.library.callCount(SimOperation::EepromProgram, A),
                 operation == SimOperation::EepromProgram ? 1 : 0);
        QCOMPARE(*station.library.eeprom(A), before);

        // The other chip is programmed all the same.
        QCOMPARE(station.window.programDescription(station.probe.handleList().at(1)),
                 QStringLiteral("OK"));
        QCOMPARE(station.probe.failCode(), code);
    }

    void unterminatedReadIsNeverWrittenBack_data()
    {
        QTest::addColumn<int>("string");
        QTest::newRow("manufacturer") << 0;
        QTest::newRow("manufacturer id") << 1;
        QTest::newRow("description") << 2;
        QTest::newRow("serial number") << 3;
    }
    void unterminatedReadIsNeverWrittenBack()
    {
        QFETCH(int, string);
        char *EepromData::*const strings[]
            = { &EepromData::manufacturer, &EepromData::manufacturerId, &EepromData::description,
                &EepromData::serialNumber };
        const int sizes[] = { EepromManufacturerSize, EepromManufacturerIdSize,
                              EepromDescriptionSize, EepromSerialNumberSize };
        UnterminatedReadLibrary library(strings[string], sizes[string]);
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.serialList() = { QString::fromLatin1(A) };
        window.openDevices();
        QCOMPARE(window.programDescription(probe.handleList().first()),
                 QStringLiteral("FT_EE_Read FAILED!"));
        QCOMPARE(probe.failCode(), 4);
        QCOMPARE(library.callCount(SimOperation::EepromProgram, A), 0);
    }

private:
    // The fields in which two EEPROMs differ, by name; empty when equal.
    static QString simEepromDifference(const SimEeprom &got, const SimEeprom &want)
    {
        QStringList differ;
        if (got.manufacturer != want.manufacturer)
            differ << QStringLiteral("manufacturer");
        if (got.manufacturerId != want.manufacturerId)
            differ << QStringLiteral("manufacturerId");
        if (got.description != want.description)
            differ << QStringLiteral("description ") + QString::fromLatin1(got.description);
        if (got.serialNumber != want.serialNumber)
            differ << QStringLiteral("serialNumber");
        for (const EepromNumericField &field : eepromNumericFields()) {
            if (field.get(got.settings) != field.get(want.settings))
                differ << QString::fromLatin1(field.name);
        }
        return differ.join(QLatin1Char(','));
    }

    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestDeviceSteps)
#include "tst_devicesteps.moc"
