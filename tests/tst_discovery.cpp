// Listing the attached devices: view and result texts, serialList, codes 1
// and 2, traces, and a library that misbehaves.

#include "device/sim/simulateddevicelibrary.h"
#include "stationprobe.h"

#include <cstring>

namespace {

SimDeviceSpec device(const QByteArray &serial, quint32 type = DeviceTypeFt232r,
                     const QByteArray &description = "FT232R USB UART")
{
    SimDeviceSpec chip = SimDeviceSpec::withSerial(serial);
    chip.type = type;
    chip.description = description;
    chip.id = 0x04036000 + type;
    return chip;
}

SimScenario bench(const QList<SimDeviceSpec> &devices)
{
    SimScenario scenario;
    scenario.devices = devices;
    return scenario;
}

// Hands out exactly the records it is given, as a library with a broken
// list would; every other operation fails.
class RecordLibrary : public DeviceLibrary {
public:
    QList<DeviceInfoRecord> records;
    quint32 reportedCount = 0;
    quint32 lastCapacity = 0;

    DeviceStatus createDeviceInfoList(quint32 *count) override
    {
        *count = reportedCount;
        return 0;
    }
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                   quint32 *count) override
    {
        lastCapacity = capacity;
        const quint32 n = std::min<quint32>(capacity, quint32(records.size()));
        for (quint32 i = 0; i < n; ++i)
            list[i] = records[int(i)];
        *count = reportedCount; // may claim more than it wrote
        return 0;
    }
    DeviceStatus open(const char *, quint32, DeviceHandle *) override { return 1; }
    DeviceStatus setBaudRate(DeviceHandle, quint32) override { return 1; }
    DeviceStatus setDataCharacteristics(DeviceHandle, quint8, quint8, quint8) override { return 1; }
    DeviceStatus setTimeouts(DeviceHandle, quint32, quint32) override { return 1; }
    DeviceStatus eepromRead(DeviceHandle, EepromData *) override { return 1; }
    DeviceStatus eepromProgram(DeviceHandle, EepromData *) override { return 1; }
    DeviceStatus write(DeviceHandle, const void *, quint32, quint32 *) override { return 1; }
    DeviceStatus read(DeviceHandle, void *, quint32, quint32 *) override { return 1; }
    DeviceStatus close(DeviceHandle) override { return 1; }
};

DeviceInfoRecord filledRecord(char fill)
{
    DeviceInfoRecord record;
    std::memset(&record, 0, sizeof record);
    record.deviceType = DeviceTypeFt232r;
    std::memset(record.serialNumber, fill, sizeof record.serialNumber);
    std::memset(record.description, fill, sizeof record.description);
    return record;
}

} // namespace

Q_DECLARE_METATYPE(SimDeviceSpec)

class TestDiscovery : public QObject {
    Q_OBJECT

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    void countDecidesTheTexts_data()
    {
        QTest::addColumn<QList<SimDeviceSpec>>("devices");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("serials");
        QTest::addColumn<int>("traces");

        const QString none = QStringLiteral("No FT232R or FT245R devices found.");
        QTest::newRow("nothing") << QList<SimDeviceSpec> {} << none << none << 1 << QStringList {}
                                 << 0;
        QTest::newRow("only other types")
            << QList<SimDeviceSpec> { device("X1", 8), device("X2", 6) } << none << none << 1
            << QStringList {} << 0;
        QTest::newRow("one") << QList<SimDeviceSpec> { device("A1") }
                             << QStringLiteral("1 devices connected. Exactly 2 required.")
                             << QStringLiteral("Connected device count not 2. Found 1 devices!")
                             << 2 << QStringList {} << 0;
        QTest::newRow("three") << QList<SimDeviceSpec> { device("A1"), device("B2"), device("C3") }
                               << QStringLiteral("3 devices connected. Exactly 2 required.")
                               << QStringLiteral("Connected device count not 2. Found 3 devices!")
                               << 2 << QStringList {} << 0;
        const QString pair
            = QStringLiteral("Connected FT232R USB UART serial A1 \nConnected Other serial B2 \n");
        QTest::newRow("two") << QList<SimDeviceSpec> { device("A1"), device("B2", 5, "Other") }
                             << pair << QStringLiteral("OK ") + pair << 0
                             << QStringList { QStringLiteral("A1"), QStringLiteral("B2") } << 2;
        const QString withBystander = QStringLiteral("Connected FT232R USB UART serial A1 \n"
                                                     "Connected Debug cable serial DBG \n"
                                                     "Connected FT232R USB UART serial B2 \n");
        QTest::newRow("two and a bystander")
            << QList<SimDeviceSpec> { device("A1"), device("DBG", 8, "Debug cable"), device("B2") }
            << withBystander << QStringLiteral("OK ") + withBystander << 0
            << QStringList { QStringLiteral("A1"), QStringLiteral("B2") } << 3;
        const QString emptyDescription
            = QStringLiteral("Connected  serial A1 \nConnected FT232R USB UART serial B2 \n");
        QTest::newRow("empty description")
            << QList<SimDeviceSpec> { device("A1", 5, ""), device("B2") } << emptyDescription
            << QStringLiteral("OK ") + emptyDescription << 0
            << QStringList { QStringLiteral("A1"), QStringLiteral("B2") } << 2;
    }
    void countDecidesTheTexts()
    {
        QFETCH(QList<SimDeviceSpec>, devices);
        QFETCH(QString, view);
        QFETCH(QString, result);
        QFETCH(int, code);
        QFETCH(QStringList, serials);
        QFETCH(int, traces);

        SimulatedDeviceLibrary library(bench(devices));
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.testPassed() = true;
        probe.failCode() = 7;
        probe.serialList() = QStringList { QStringLiteral("stale") };

        TraceCapture capture;
        QCOMPARE(window.findDevices(), result);
        QCOMPARE(probe.form()->devicesconnected->toPlainText(), view);
        QCOMPARE(probe.serialList(), serials);
        QCOMPARE(probe.failCode(), code == 0 ? 7 : code);
        QCOMPARE(probe.testPassed(), code == 0);
        QCOMPARE(capture.lines().size(), traces);
        for (int i = 0; i < traces; ++i)
            QVERIFY(capture.lines()[i].endsWith(QLatin1Char(' ')));
        if (traces > 0)
            QCOMPARE(capture.lines().first(),
                     QString::number(devices.first().id) + QLatin1Char(' '));
        QCOMPARE(logFileLines().size(), 1); // discovery logs nothing itself
    }

    void failingListCallsCountAsNoDevice_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<bool>("unwritten");
        QTest::newRow("create fails") << int(SimOperation::CreateDeviceInfoList) << false;
        QTest::newRow("get fails") << int(SimOperation::GetDeviceInfoList) << false;
        QTest::newRow("count left unwritten") << int(SimOperation::CreateDeviceInfoList) << true;
    }
    void failingListCallsCountAsNoDevice()
    {
        QFETCH(int, operation);
        QFETCH(bool, unwritten);
        SimScenario scenario = SimScenario::passingPair();
        SimFault fault;
        fault.operation = SimOperation(operation);
        fault.status = unwritten ? DeviceStatus(0) : DeviceStatus(DeviceStatusCode::IoError);
        fault.countUnwritten = unwritten;
        scenario.faults = { fault };
        SimulatedDeviceLibrary library(scenario);
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        QCOMPARE(window.findDevices(), QStringLiteral("No FT232R or FT245R devices found."));
        QCOMPARE(probe.failCode(), 1);
        QVERIFY(probe.serialList().isEmpty());
    }

    void deviceArrivingBetweenCreateAndGetIsNotOverrun()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault plug;
        plug.operation = SimOperation::CreateDeviceInfoList;
        plug.call = 1;
        plug.plug = device("LATE");
        scenario.faults = { plug };
        SimulatedDeviceLibrary library(scenario);
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        QVERIFY(window.findDevices().startsWith(QStringLiteral("OK ")));
        QCOMPARE(probe.serialList().size(), 2);
        // The next refresh sees all three.
        QCOMPARE(window.findDevices(),
                 QStringLiteral("Connected device count not 2. Found 3 devices!"));
    }

    void recordsAreReadOnlyAsFarAsTheLibraryWroteThem()
    {
        RecordLibrary library;
        library.records = { filledRecord('a'), filledRecord('b') };
        library.reportedCount = 2;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        // Unterminated fields end at their width: 16 and 64 bytes.
        QCOMPARE(window.findDevices(),
                 QStringLiteral("OK Connected ") + QString(64, QLatin1Char('a'))
                     + QStringLiteral(" serial ") + QString(16, QLatin1Char('a'))
                     + QStringLiteral(" \nConnected ") + QString(64, QLatin1Char('b'))
                     + QStringLiteral(" serial ") + QString(16, QLatin1Char('b'))
                     + QStringLiteral(" \n"));
        QCOMPARE(probe.serialList(),
                 (QStringList { QString(16, QLatin1Char('a')), QString(16, QLatin1Char('b')) }));

        // A get call that claims more records than the buffer holds.
        library.reportedCount = 2;
        library.records = { filledRecord('a') };
        const QString result = window.findDevices();
        QCOMPARE(library.lastCapacity, 2u);
        QCOMPARE(result, QStringLiteral("Connected device count not 2. Found 1 devices!"));

        // A nonsensical count is bounded.
        library.reportedCount = 0xFFFFFFFF;
        window.findDevices();
        QVERIFY(library.lastCapacity <= 1024);
    }

    void controlCharactersAreShownEscaped()
    {
        SimulatedDeviceLibrary library(bench({ device("A\r1"),
                                               device("B2", 5,
                                                      "Line\nTEST PASSED\t\x7f"
                                                      "\x85") }));
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        const QString result = window.findDevices();
        QCOMPARE(result,
                 QStringLiteral("OK Connected FT232R USB UART serial A\\x0d1 \n"
                                "Connected Line\\x0aTEST PASSED\\x09\\x7f\\x85 serial B2 \n"));
        // The serial number itself stays as the chip gives it, for opening.
        QCOMPARE(probe.serialList().first(), QStringLiteral("A\r1"));
    }

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestDiscovery)
#include "tst_discovery.moc"
