// The simulated bench, where a fault in it would hide a fault of the
// station: wiring, timing, hot plug, fault keys, EEPROM, scenario files.

#include "device/sim/ft232reeprom.h"
#include "device/sim/simulateddevicelibrary.h"
#include "device/sim/simulationscenario.h"
#include "stationprobe.h"

#include <QFile>
#include <QTest>

namespace {

DeviceHandle openDevice(SimulatedDeviceLibrary &library, const char *serial)
{
    DeviceHandle handle = nullptr;
    const DeviceStatus status = library.open(serial, OpenBySerialNumber, &handle);
    return status == DeviceStatusCode::Ok ? handle : nullptr;
}

// A pair opened and configured the way the station does it.
struct OpenPair {
    SimulatedDeviceLibrary library;
    DeviceHandle a;
    DeviceHandle b;

    explicit OpenPair(const SimScenario &scenario = SimScenario::passingPair())
        : library(scenario), a(openDevice(library, "FTA1B2C3")), b(openDevice(library, "FTD4E5F6"))
    {
        for (DeviceHandle h : { a, b }) {
            library.setBaudRate(h, 1000000);
            library.setDataCharacteristics(h, 8, 0, 0);
            library.setTimeouts(h, 500, 500);
        }
    }

    QByteArray send(DeviceHandle from, DeviceHandle to, const QByteArray &bytes, quint32 wanted)
    {
        quint32 written = 0;
        library.write(from, bytes.constData(), quint32(bytes.size()), &written);
        QByteArray buffer(int(wanted), '\0');
        quint32 received = 0;
        library.read(to, buffer.data(), wanted, &received);
        return buffer.left(int(received));
    }
};

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void crossWiredBytesArriveIntact()
    {
        OpenPair pair;
        QCOMPARE(pair.send(pair.a, pair.b, "hello", 5), QByteArray("hello"));
        QCOMPARE(pair.send(pair.b, pair.a, "back", 4), QByteArray("back"));
        QCOMPARE(pair.library.receivedBytes("FTD4E5F6"), QByteArray("hello"));
    }

    void mismatchedLineSettingsGarbleTheBytes_data()
    {
        QTest::addColumn<int>("setting");
        QTest::newRow("baud rate") << 0;
        QTest::newRow("data bits") << 1;
        QTest::newRow("stop bits") << 2;
        QTest::newRow("parity") << 3;
    }
    void mismatchedLineSettingsGarbleTheBytes()
    {
        QFETCH(int, setting);
        OpenPair pair;
        switch (setting) {
        case 0: pair.library.setBaudRate(pair.b, 115200); break;
        case 1: pair.library.setDataCharacteristics(pair.b, 7, 0, 0); break;
        case 2: pair.library.setDataCharacteristics(pair.b, 8, 2, 0); break;
        case 3: pair.library.setDataCharacteristics(pair.b, 8, 0, 2); break;
        }
        const QByteArray got = pair.send(pair.a, pair.b, "\x01\x02\x03\x04", 4);
        QCOMPARE(got.size(), 4);
        for (int i = 0; i < 4; ++i)
            QVERIFY(got[i] != char(i + 1));
    }

    void readTimesOutWithAShortCount()
    {
        OpenPair pair;
        const qint64 before = pair.library.elapsedMicroseconds();
        QCOMPARE(pair.send(pair.a, pair.b, QByteArray(100, 'x'), 128).size(), 100);
        QVERIFY(pair.library.elapsedMicroseconds() - before >= 500000);
    }

    void slowLineMissesTheTimeout()
    {
        // 128 bytes at 9600 baud need 133 ms on the wire.
        OpenPair pair;
        for (DeviceHandle h : { pair.a, pair.b }) {
            pair.library.setBaudRate(h, 9600);
            pair.library.setTimeouts(h, 100, 100);
        }
        QCOMPARE(pair.send(pair.a, pair.b, QByteArray(128, 'x'), 128).size(), 96);
        pair.library.setTimeouts(pair.b, 500, 500);
        QCOMPARE(pair.send(pair.a, pair.b, QByteArray(128, 'y'), 160).size(), 160);
    }

    void receiveQueueOutlivesCloseAndReopen()
    {
        OpenPair pair;
        quint32 written = 0;
        pair.library.write(pair.a, "abc", 3, &written);
        QCOMPARE(pair.library.close(pair.b), DeviceStatusCode::Ok);
        DeviceHandle again = openDevice(pair.library, "FTD4E5F6");
        QVERIFY(again);
        pair.library.setTimeouts(again, 500, 500);
        char buffer[3];
        quint32 received = 0;
        QCOMPARE(pair.library.read(again, buffer, 3, &received), DeviceStatusCode::Ok);
        QCOMPARE(QByteArray(buffer, int(received)), QByteArray("abc"));
    }

    void openingTwiceAndUnknownSerialsFail()
    {
        OpenPair pair;
        QCOMPARE(pair.library.openHandleCount(), 2);
        DeviceHandle handle = nullptr;
        QVERIFY(pair.library.open("FTA1B2C3", OpenBySerialNumber, &handle) != 0);
        QVERIFY(pair.library.open("NOSUCH", OpenBySerialNumber, &handle) != 0);
        QCOMPARE(pair.library.close(pair.a), DeviceStatusCode::Ok);
        QVERIFY(pair.library.close(pair.a) != 0);
        QCOMPARE(pair.library.openHandleCount(), 1);
    }

    void unplugFailsLaterCallsAndLeavesTheList()
    {
        OpenPair pair;
        pair.library.unplug("FTD4E5F6");
        quint32 count = 0;
        QCOMPARE(pair.library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(count, 1u);
        quint32 written = 0;
        QVERIFY(pair.library.write(pair.b, "x", 1, &written) != 0);
        QVERIFY(pair.library.setBaudRate(pair.b, 1000000) != 0);
        QVERIFY(pair.library.close(pair.b) != 0);
        QCOMPARE(pair.library.openHandleCount(), 1);

        // Plugged again it is a new enumeration: the old handle stays dead.
        pair.library.plug(SimDeviceSpec::withSerial("FTD4E5F6"));
        QVERIFY(pair.library.setBaudRate(pair.b, 1000000) != 0);
        QCOMPARE(pair.library.lineSettings("FTD4E5F6")->baudRate, 9600u);
        QVERIFY(openDevice(pair.library, "FTD4E5F6"));
    }

    void listedDescriptionFollowsTheEepromAfterReplugOnly()
    {
        OpenPair pair;
        CallerRecord record;
        QCOMPARE(pair.library.eepromRead(pair.a, &record.data), DeviceStatusCode::Ok);
        QCOMPARE(QByteArray(record.description), QByteArray("FT232R USB UART"));
        qstrcpy(record.description, "NEW NAME");
        QCOMPARE(pair.library.eepromProgram(pair.a, &record.data), DeviceStatusCode::Ok);

        auto listedDescription = [&] {
            DeviceInfoRecord records[2];
            quint32 count = 2;
            pair.library.getDeviceInfoList(records, 2, &count);
            return QByteArray(records[0].description);
        };
        QCOMPARE(listedDescription(), QByteArray("FT232R USB UART"));
        pair.library.unplug("FTA1B2C3");
        pair.library.plug(SimDeviceSpec::withSerial("FTA1B2C3"));
        QCOMPARE(pair.library.eeprom("FTA1B2C3")->description, QByteArray("NEW NAME"));
        // Replugged, it moves to the end of the list.
        DeviceInfoRecord records[2];
        quint32 count = 2;
        pair.library.getDeviceInfoList(records, 2, &count);
        QCOMPARE(QByteArray(records[1].serialNumber), QByteArray("FTA1B2C3"));
        QCOMPARE(QByteArray(records[1].description), QByteArray("NEW NAME"));
    }

    void eepromRejectsBadHeadersAndOverlongStrings()
    {
        OpenPair pair;
        char m[32] = "FTDI", mid[16] = "FT", d[64] = "", s[16] = "FTA1B2C3";
        EepromData data {};
        data.signature2 = EepromSignature2;
        data.version = 4;
        data.manufacturer = m;
        data.manufacturerId = mid;
        data.description = d;
        data.serialNumber = s;
        QVERIFY(pair.library.eepromRead(pair.a, &data) != 0);
        data.version = EepromDataVersion;
        std::memset(d, 'x', sizeof d); // no terminator
        QVERIFY(pair.library.eepromProgram(pair.a, &data) != 0);
        std::memset(d, 'x', 40);
        d[40] = '\0'; // 4 + 40 + 8 characters: over the FT232R's 48
        QVERIFY(pair.library.eepromProgram(pair.a, &data) != 0);
        QCOMPARE(pair.library.eeprom("FTA1B2C3")->description, QByteArray("FT232R USB UART"));
    }

    void faultsHitTheirOwnCallOnly()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault shortWrite = fault(SimOperation::Write, "FTA1B2C3", 3, DeviceStatusCode::Ok);
        shortWrite.transferred = 127;
        scenario.faults = { shortWrite, fault(SimOperation::SetBaudRate, "FTD4E5F6", 1) };
        SimulatedDeviceLibrary library(scenario);
        DeviceHandle a = openDevice(library, "FTA1B2C3");
        DeviceHandle b = openDevice(library, "FTD4E5F6");

        QCOMPARE(library.setBaudRate(a, 1000000), DeviceStatusCode::Ok);
        QCOMPARE(library.setBaudRate(b, 1000000), DeviceStatusCode::IoError);
        QCOMPARE(library.lineSettings("FTD4E5F6")->baudRate, 9600u); // no effect
        QCOMPARE(library.setBaudRate(b, 1000000), DeviceStatusCode::Ok);

        QList<quint32> counts;
        for (int i = 0; i < 4; ++i) {
            quint32 written = 0;
            library.write(a, QByteArray(128, 'x').constData(), 128, &written);
            counts << written;
        }
        QCOMPARE(counts, (QList<quint32> { 128, 128, 127, 128 }));
        QCOMPARE(library.callCount(SimOperation::Write, "FTA1B2C3"), 4);
        QCOMPARE(library.calls().last().number, 4);
    }

    void readFaultsCorruptOrShortenTheBlock()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault corrupt = fault(SimOperation::Read, "FTD4E5F6", 1, DeviceStatusCode::Ok);
        corrupt.corruptOffset = 2;
        SimFault shortRead = fault(SimOperation::Read, "FTD4E5F6", 2, DeviceStatusCode::Ok);
        shortRead.transferred = 3;
        scenario.faults = { corrupt, shortRead };
        OpenPair pair(scenario);
        QCOMPARE(pair.send(pair.a, pair.b, "abcd", 4),
                 QByteArray("ab\x9c"
                            "d"));
        QCOMPARE(pair.send(pair.a, pair.b, "efgh", 4), QByteArray("efg"));
        QCOMPARE(pair.send(pair.a, pair.b, "", 1), QByteArray("h")); // the rest stays queued
    }

    void hotPlugFaultsActRightAfterTheCall()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault unplug;
        unplug.serial = "FTA1B2C3";
        unplug.operation = SimOperation::Open;
        unplug.unplug = "FTD4E5F6";
        unplug.plug = SimDeviceSpec::withSerial("C3");
        scenario.faults = { unplug };
        SimulatedDeviceLibrary library(scenario);
        QVERIFY(openDevice(library, "FTA1B2C3"));
        QVERIFY(!library.isAttached("FTD4E5F6"));
        QVERIFY(library.isAttached("C3"));
    }

    void listNeverOverrunsTheCallersBuffer()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault plugBetween;
        plugBetween.operation = SimOperation::CreateDeviceInfoList;
        plugBetween.plug = SimDeviceSpec::withSerial("LATE");
        scenario.faults = { plugBetween };
        SimulatedDeviceLibrary library(scenario);
        quint32 count = 0;
        library.createDeviceInfoList(&count);
        QCOMPARE(count, 2u);
        DeviceInfoRecord records[3];
        std::memset(records, 0x5A, sizeof records);
        library.getDeviceInfoList(records, count, &count);
        QCOMPARE(count, 2u);
        QCOMPARE(records[2].deviceType, 0x5A5A5A5Au);
    }

    void createCanReportWithoutWritingTheCount()
    {
        SimScenario scenario = SimScenario::passingPair();
        SimFault unwritten;
        unwritten.operation = SimOperation::CreateDeviceInfoList;
        unwritten.countUnwritten = true;
        scenario.faults = { unwritten };
        SimulatedDeviceLibrary library(scenario);
        quint32 count = 777;
        QCOMPARE(library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(count, 777u);
    }

    void theIssuesExampleScenarioParses()
    {
        QFile file(QFINDTESTDATA("data/example-scenario.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray json = file.readAll();
        SimScenario scenario;
        QString error;
        QVERIFY2(parseSimScenario(json, &scenario, &error), qPrintable(error));
        QCOMPARE(scenario.devices.size(), 2);
        QCOMPARE(scenario.devices[1].eeprom.serialNumber, QByteArray("B2"));
        QCOMPARE(scenario.devices[0].eeprom.settings.vendorId, quint16(1027));
        QCOMPARE(scenario.faults.size(), 7);
        QCOMPARE(scenario.faults[3].delayMs, 1200);
        QCOMPARE(scenario.faults[5].plug->serial, QByteArray("C3"));
        QCOMPARE(scenario.faults[6].operation, SimOperation::CreateDeviceInfoList);
    }

    void malformedScenariosAreRejectedByName_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("named");
        QTest::newRow("not json") << QByteArray("{") << "not valid JSON";
        QTest::newRow("unknown top key") << QByteArray("{\"device\": []}") << "\"device\"";
        QTest::newRow("unknown device key")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}, {\"serial\": \"B\", \"bAud\": 1}]}")
            << "devices[1]: unknown key \"bAud\"";
        QTest::newRow("serial too long")
            << QByteArray("{\"devices\": [{\"serial\": \"0123456789ABCDEF\"}]}") << "devices[0]";
        QTest::newRow("description too long")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"description\": \""
                          + QByteArray(64, 'd') + "\"}]}")
            << "devices[0]: \"description\" is longer than 63";
        QTest::newRow("wrong type")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"type\": \"5\"}]}")
            << "devices[0]: \"type\"";
        QTest::newRow("fraction") << QByteArray("{\"devices\": [{\"serial\": \"A\", \"id\": 1.5}]}")
                                  << "devices[0]: \"id\"";
        QTest::newRow("missing serial")
            << QByteArray("{\"devices\": [{\"type\": 5}]}") << "devices[0]: \"serial\" is required";
        QTest::newRow("duplicate serial")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}, {\"serial\": \"A\"}]}")
            << "devices[1]";
        QTest::newRow("link to unknown")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"links\": [[\"A\", \"Z\"]]}")
            << "links[0]: unknown device \"Z\"";
        QTest::newRow("wire to unknown")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"wires\": [[\"A\", \"Z\"]]}")
            << "wires[0]: unknown device \"Z\"";
        QTest::newRow("a wire of one end")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"wires\": [[\"A\"]]}")
            << "wires[0]: a wire is a pair";
        QTest::newRow("a location twice")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"location\": 17}, "
                          "{\"serial\": \"B\", \"location\": 17}]}")
            << "devices[1]: location 17 appears twice";
        QTest::newRow("eeprom key")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"eeprom\": {\"cbus9\": 1}}]}")
            << "devices[0].eeprom: unknown key \"cbus9\"";
        QTest::newRow("eeprom range")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"eeprom\": {\"cbus0\": 256}}]}")
            << "devices[0].eeprom: \"cbus0\"";
        QTest::newRow("operation name")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"faults\": [{\"serial\": \"A\", "
                          "\"operation\": \"Open\"}]}")
            << "faults[0]: \"operation\"";
        QTest::newRow("transferred on open")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"faults\": [{\"serial\": \"A\", "
                          "\"operation\": \"open\", \"transferred\": 1}]}")
            << "faults[0]: \"transferred\"";
        QTest::newRow("serial on list op")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"faults\": [{\"serial\": \"A\", "
                          "\"operation\": \"getDeviceInfoList\"}]}")
            << "faults[0]: \"serial\" does not apply";
        QTest::newRow("fault on unknown device")
            << QByteArray("{\"faults\": [{\"serial\": \"Q\", \"operation\": \"read\"}]}")
            << "faults[0]: unknown device \"Q\"";
        QTest::newRow("zero status")
            << QByteArray("{\"devices\": [{\"serial\": \"A\"}], \"faults\": [{\"serial\": \"A\", "
                          "\"operation\": \"read\", \"status\": 0}]}")
            << "faults[0]: \"status\"";
        QTest::newRow("bad image")
            << QByteArray("{\"devices\": [{\"serial\": \"A\", \"eeprom\": {\"image\": \"00ff\"}}]}")
            << "devices[0].eeprom: \"image\"";
    }
    void malformedScenariosAreRejectedByName()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, named);
        SimScenario scenario;
        QString error;
        QVERIFY(!parseSimScenario(json, &scenario, &error));
        QVERIFY2(error.contains(named), qPrintable(error));
    }

    void factoryImageDecodes()
    {
        const QByteArray image = factoryImage();
        QCOMPARE(image.size(), 128);
        SimEeprom eeprom;
        QString error;
        QVERIFY2(decodeFt232rEeprom(image, &eeprom, &error), qPrintable(error));
        QCOMPARE(eeprom.manufacturer, QByteArray("FTDI"));
        QCOMPARE(eeprom.description, QByteArray("UM232R USB <-> Serial"));
        QCOMPARE(eeprom.serialNumber, QByteArray("FTGXSYWJ"));
        QCOMPARE(eeprom.settings.vendorId, quint16(0x0403));
        QCOMPARE(eeprom.settings.productId, quint16(0x6001));
        QCOMPARE(eeprom.settings.maxPower, quint16(100));
        QCOMPARE(eeprom.settings.remoteWakeup, quint16(1));
        QCOMPARE(eeprom.settings.serNumEnable, quint8(1));

        QByteArray damaged = image;
        damaged[0x20] = char(damaged[0x20] ^ 0x01);
        QVERIFY(!decodeFt232rEeprom(damaged, &eeprom, &error));
        QVERIFY2(error.contains(QStringLiteral("checksum")), qPrintable(error));
    }

private:
};

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
