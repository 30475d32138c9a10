// The libftdi1 backend, running the real libftdi1 against emulated FT232R
// chips behind a fake libusb-1.0.

#include "device/ft232reeprom.h"
#include "device/ftdidevicelibrary.h"
#include "ft232remulator.h"
#include "stationprobe.h"

#include <libftdi1/ftdi.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include <array>

namespace {

const QByteArray PairBench
    = "\n"
      "{ \"chips\": [ { \"serial\": \"FTA1B2C3\" }, { \"serial\": \"FTD4E5F6\" } ],\n"
      "  \"links\": [ [ \"FTA1B2C3\", \"FTD4E5F6\" ] ] }";

using Image = std::array<unsigned char, 128>;

Image imageOf(const char *serial)
{
    Image image {};
    ft232r_emulator_eeprom(serial, image.data());
    return image;
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex();
}

// The factory image with its serial number string replaced, checksum mended.
QByteArray factoryImageWithSerial(const QByteArray &serial)
{
    QByteArray image = factoryImage();
    const int offset = image[0x12] & 0x7F;
    for (int i = 0; i < serial.size(); ++i)
        image[offset + 2 + 2 * i] = serial[i];
    const quint16 sum = ft232rEepromChecksum(image);
    image[126] = char(sum & 0xFF);
    image[127] = char(sum >> 8);
    return image;
}

QByteArray withChecksum(QByteArray image)
{
    const quint16 sum = ft232rEepromChecksum(image);
    image[126] = char(sum & 0xFF);
    image[127] = char(sum >> 8);
    return image;
}

QByteArray bench(const QByteArray &chipA, const QByteArray &chipB = "{ \"serial\": \"FTD4E5F6\" }")
{
    return "{ \"chips\": [ " + chipA + ", " + chipB
        + " ], \"links\": [ [ \"FTA1B2C3\", \"FTD4E5F6\" ] ] }";
}

DeviceHandle openConfigured(FtdiDeviceLibrary &library, const char *serial)
{
    DeviceHandle handle = nullptr;
    if (library.open(serial, OpenBySerialNumber, &handle) != 0)
        return nullptr;
    library.setBaudRate(handle, 1000000);
    library.setDataCharacteristics(handle, 8, 0, 0);
    library.setTimeouts(handle, 500, 500);
    return handle;
}

} // namespace

class TestFtdiBackend : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        scratch = std::make_unique<ScratchDirectory>();
        QVERIFY2(ft232r_emulator_load(PairBench.constData()) == 0, ft232r_emulator_error());
    }
    void cleanup()
    {
        QCOMPARE(ft232r_emulator_open_handles(), 0);
        scratch.reset();
    }

    void listsTypesAndStringsWithBystanders()
    {
        QVERIFY(
            ft232r_emulator_load("{ \"chips\": [\n"
                                 "            { \"serial\": \"LOCKED01\", \"cannotOpen\": true },\n"
                                 "            { \"serial\": \"NOSER001\", \"noSerial\": true, "
                                 "\"description\": \"Serial-less\" },\n"
                                 "            { \"serial\": \"FTA1B2C3\", \"description\": "
                                 "\"UM232R USB <-> Serial\" },\n"
                                 "            { \"serial\": \"FTD4E5F6\" } ] }")
            == 0);
        FtdiDeviceLibrary library;
        quint32 count = 0;
        QCOMPARE(library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(count, 4u);
        DeviceInfoRecord records[4];
        QCOMPARE(library.getDeviceInfoList(records, 4, &count), DeviceStatusCode::Ok);
        for (const DeviceInfoRecord &record : records) {
            QCOMPARE(record.deviceType, DeviceTypeFt232r);
            QCOMPARE(record.deviceId, 0x04036001u);
        }
        QCOMPARE(QByteArray(records[0].serialNumber), QByteArray());
        QCOMPARE(QByteArray(records[0].description), QByteArray());
        QCOMPARE(QByteArray(records[1].serialNumber), QByteArray());
        QCOMPARE(QByteArray(records[2].serialNumber), QByteArray("FTA1B2C3"));
        QCOMPARE(QByteArray(records[2].description), QByteArray("UM232R USB <-> Serial"));
        QCOMPARE(QByteArray(records[3].description), QByteArray("FT232R USB UART"));

        // A refresh of the same bench opens nothing again.
        const int opens = ft232r_emulator_open_count();
        QCOMPARE(library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(ft232r_emulator_open_count(), opens);

        // A replugged device enumerates afresh and is read again.
        ft232r_emulator_unplug("FTA1B2C3");
        QCOMPARE(library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(count, 3u);
        ft232r_emulator_plug("FTA1B2C3");
        QCOMPARE(library.createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(ft232r_emulator_open_count(), opens + 1);
    }

    void opensBySerialPastBystandersAndGivesTheDriverBack()
    {
        QVERIFY(
            ft232r_emulator_load("{ \"chips\": [\n"
                                 "            { \"serial\": \"LOCKED01\", \"cannotOpen\": true },\n"
                                 "            { \"serial\": \"NOSER001\", \"noSerial\": true },\n"
                                 "            { \"serial\": \"FTD4E5F6\" } ] }")
            == 0);
        FtdiDeviceLibrary library;
        DeviceHandle handle = nullptr;
        QCOMPARE(library.open("FTD4E5F6", OpenBySerialNumber, &handle), DeviceStatusCode::Ok);
        QCOMPARE(ft232r_emulator_kernel_driver_attached("FTD4E5F6"), 0);
        QCOMPARE(ft232r_emulator_latency("FTD4E5F6"), int(FtdiDeviceLibrary::LatencyMs));
        DeviceHandle second = nullptr;
        QVERIFY(library.open("FTD4E5F6", OpenBySerialNumber, &second) != 0); // in use
        QVERIFY(library.open("NOSUCHSN", OpenBySerialNumber, &second) != 0);
        QVERIFY(library.open("", OpenBySerialNumber, &second) != 0);
        QCOMPARE(library.close(handle), DeviceStatusCode::Ok);
        QCOMPARE(ft232r_emulator_kernel_driver_attached("FTD4E5F6"), 1);
        QVERIFY(library.close(handle) != 0);
    }

    void chipRunsAtOneMegabaud8N1()
    {
        FtdiDeviceLibrary library;
        DeviceHandle handle = openConfigured(library, "FTA1B2C3");
        QVERIFY(handle);
        int baud, bits, stop, parity;
        QCOMPARE(ft232r_emulator_line("FTA1B2C3", &baud, &bits, &stop, &parity), 0);
        QCOMPARE(baud, 1000000);
        QCOMPARE(bits, 8);
        QCOMPARE(stop, 0);
        QCOMPARE(parity, 0);
        QCOMPARE(library.setDataCharacteristics(handle, 7, 2, 2), DeviceStatusCode::Ok);
        ft232r_emulator_line("FTA1B2C3", &baud, &bits, &stop, &parity);
        QCOMPARE(bits, 7);
        QCOMPARE(stop, 2);
        QCOMPARE(parity, 2);
        QCOMPARE(library.setBaudRate(handle, 9600), DeviceStatusCode::Ok);
        ft232r_emulator_line("FTA1B2C3", &baud, &bits, &stop, &parity);
        QVERIFY(qAbs(baud - 9600) < 10);
        QCOMPARE(library.close(handle), DeviceStatusCode::Ok);
    }

    void blockArrivesInPacketsAndShortReadsTimeOut()
    {
        FtdiDeviceLibrary library;
        DeviceHandle a = openConfigured(library, "FTA1B2C3");
        DeviceHandle b = openConfigured(library, "FTD4E5F6");
        QVERIFY(a && b);
        QByteArray block(128, '\0');
        for (int i = 0; i < 128; ++i)
            block[i] = char(i * 7);
        quint32 written = 0, received = 0;
        QCOMPARE(library.write(a, block.constData(), 128, &written), DeviceStatusCode::Ok);
        QCOMPARE(written, 128u);
        QByteArray got(128, '\0');
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(library.read(b, got.data(), 128, &received), DeviceStatusCode::Ok);
        QCOMPARE(received, 128u);
        QCOMPARE(got, block);
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));

        QCOMPARE(library.write(a, block.constData(), 100, &written), DeviceStatusCode::Ok);
        clock.restart();
        QCOMPARE(library.read(b, got.data(), 128, &received), DeviceStatusCode::Ok);
        QCOMPARE(received, 100u);
        QVERIFY(clock.elapsed() >= 500 && clock.elapsed() < 800);
        QCOMPARE(library.close(a), DeviceStatusCode::Ok);
        QCOMPARE(library.close(b), DeviceStatusCode::Ok);
    }

    void eepromRoundTripChangesTheDescriptionOnly_data()
    {
        QTest::addColumn<QByteArray>("chip");
        QTest::newRow("factory image") << "{ \"serial\": \"FTA1B2C3\", \"image\": \""
                + hex(factoryImageWithSerial("FTA1B2C3")) + "\" }";
        QTest::newRow("long description")
            << QByteArray("{ \"serial\": \"FTA1B2C3\", \"description\": \"A much longer product "
                          "name\" }");
        QTest::newRow("already ZELOR-K3")
            << QByteArray("{ \"serial\": \"FTA1B2C3\", \"description\": \"ZELOR-K3\" }");
    }
    void eepromRoundTripChangesTheDescriptionOnly()
    {
        QFETCH(QByteArray, chip);
        QVERIFY2(ft232r_emulator_load(bench(chip).constData()) == 0, ft232r_emulator_error());
        const Image before = imageOf("FTA1B2C3");
        FtdiDeviceLibrary library;
        DeviceHandle handle = openConfigured(library, "FTA1B2C3");
        QVERIFY(handle);
        CallerRecord record;
        QCOMPARE(library.eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        const EepromData read = record.data;
        QCOMPARE(QByteArray(record.serial), QByteArray("FTA1B2C3"));
        qstrcpy(record.description, "ZELOR-K3");
        QCOMPARE(library.eepromProgram(handle, &record.data), DeviceStatusCode::Ok);

        // Read back through the backend: only the description differs.
        CallerRecord again;
        QCOMPARE(library.eepromRead(handle, &again.data), DeviceStatusCode::Ok);
        QCOMPARE(QByteArray(again.description), QByteArray("ZELOR-K3"));
        QCOMPARE(QByteArray(again.manufacturer), QByteArray(record.manufacturer));
        QCOMPARE(QByteArray(again.serial), QByteArray(record.serial));
        for (const EepromNumericField &field : eepromNumericFields())
            QVERIFY2(field.get(again.data) == field.get(read), field.name);

        // In the image, only the strings and what must follow them changed.
        const Image after = imageOf("FTA1B2C3");
        for (int b = 0; b < 0x0E; ++b)
            QCOMPARE(after[b], before[b]);
        for (int b = 0x14; b < 0x18; ++b)
            QCOMPARE(after[b], before[b]);
        SimEeprom decoded;
        QString error;
        QVERIFY2(decodeFt232rEeprom(QByteArray(reinterpret_cast<const char *>(after.data()), 128),
                                    &decoded, &error),
                 qPrintable(error));
        QCOMPARE(decoded.description, QByteArray("ZELOR-K3"));
        // The line is as it was before the write disturbed it.
        int baud, bits, stop, parity;
        ft232r_emulator_line("FTA1B2C3", &baud, &bits, &stop, &parity);
        QCOMPARE(baud, 1000000);
        QCOMPARE(ft232r_emulator_latency("FTA1B2C3"), int(FtdiDeviceLibrary::LatencyMs));
        QCOMPARE(library.close(handle), DeviceStatusCode::Ok);
    }

    void programmingThatWouldLoseDataIsRefused_data()
    {
        QTest::addColumn<QByteArray>("image");
        QByteArray userArea = factoryImageWithSerial("FTA1B2C3");
        userArea[0x70] = char(0x5A);
        QTest::newRow("user area byte") << withChecksum(userArea);
        QByteArray cbus = factoryImageWithSerial("FTA1B2C3");
        cbus[0x14] = char(0x3E); // CBUS0 = 14, beyond what libftdi keeps
        QTest::newRow("CBUS value") << withChecksum(cbus);
    }
    void programmingThatWouldLoseDataIsRefused()
    {
        QFETCH(QByteArray, image);
        QVERIFY(ft232r_emulator_load(
                    bench("{ \"serial\": \"FTA1B2C3\", \"image\": \"" + hex(image) + "\" }")
                        .constData())
                == 0);
        FtdiDeviceLibrary library;
        DeviceHandle handle = openConfigured(library, "FTA1B2C3");
        QVERIFY(handle);
        CallerRecord record;
        QCOMPARE(library.eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        qstrcpy(record.description, "ZELOR-K3");
        QVERIFY(library.eepromProgram(handle, &record.data) != 0);
        const Image after = imageOf("FTA1B2C3");
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(after.data()), 128), image);
        QCOMPARE(library.close(handle), DeviceStatusCode::Ok);
    }

    void partThatStoresTheAndIsCaughtByTheReadBack()
    {
        QVERIFY(ft232r_emulator_load(
                    bench("{ \"serial\": \"FTA1B2C3\", \"andOnWrite\": true }").constData())
                == 0);
        FtdiDeviceLibrary library;
        DeviceHandle handle = openConfigured(library, "FTA1B2C3");
        CallerRecord record;
        QCOMPARE(library.eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        qstrcpy(record.description, "ZELOR-K3");
        QVERIFY(library.eepromProgram(handle, &record.data) != 0);
        QCOMPARE(library.close(handle), DeviceStatusCode::Ok);
    }

    void unplugMidTransferFailsWithoutHarm()
    {
        QVERIFY(ft232r_emulator_load(bench("{ \"serial\": \"FTA1B2C3\" }",
                                           "{ \"serial\": \"FTD4E5F6\", \"unplugAfterBulk\": 3 }")
                                         .constData())
                == 0);
        FtdiDeviceLibrary library;
        DeviceHandle a = openConfigured(library, "FTA1B2C3");
        DeviceHandle b = openConfigured(library, "FTD4E5F6");
        QVERIFY(a && b);
        char block[128] = {};
        quint32 count = 0;
        DeviceStatus status = DeviceStatusCode::Ok;
        for (int i = 0; i < 5 && status == DeviceStatusCode::Ok; ++i) {
            library.write(a, block, 128, &count);
            status = library.read(b, block, 128, &count);
        }
        QVERIFY(status != DeviceStatusCode::Ok);
        QVERIFY(library.write(b, block, 128, &count) != 0);
        QCOMPARE(count, 0u);
        CallerRecord record;
        QVERIFY(library.eepromRead(b, &record.data) != 0);
        library.close(b);
        QCOMPARE(library.close(a), DeviceStatusCode::Ok);
    }

    void blockTimeAtEachLatency()
    {
        // Figures for the record: one 128-byte block out and back in.
        for (int latency : { 16, int(FtdiDeviceLibrary::LatencyMs) }) {
            ftdi_context *tx = ftdi_new();
            ftdi_context *rx = ftdi_new();
            QCOMPARE(ftdi_usb_open_desc(tx, 0x0403, 0x6001, nullptr, "FTA1B2C3"), 0);
            QCOMPARE(ftdi_usb_open_desc(rx, 0x0403, 0x6001, nullptr, "FTD4E5F6"), 0);
            for (ftdi_context *c : { tx, rx }) {
                QCOMPARE(ftdi_set_baudrate(c, 1000000), 0);
                QCOMPARE(ftdi_set_latency_timer(c, quint8(latency)), 0);
            }
            unsigned char block[128] = {};
            QElapsedTimer clock;
            clock.start();
            const int blocks = 20;
            for (int i = 0; i < blocks; ++i) {
                QCOMPARE(ftdi_write_data(tx, block, 128), 128);
                int got = 0;
                while (got < 128) {
                    const int r = ftdi_read_data(rx, block + got, 128 - got);
                    QVERIFY(r >= 0);
                    got += r;
                }
            }
            const double perBlock = double(clock.nsecsElapsed()) / 1e6 / blocks;
            qInfo("latency %d ms: %.2f ms a 128-byte block", latency, perBlock);
            QVERIFY(latency == 16 ? perBlock > 10 : perBlock < 6);
            ftdi_usb_close(tx);
            ftdi_usb_close(rx);
            ftdi_free(tx);
            ftdi_free(rx);
        }
    }

    void wholeStationRunsOnTheEmulatedPair()
    {
        FtdiDeviceLibrary library;
        const Image beforeA = imageOf("FTA1B2C3");
        QElapsedTimer clock;
        {
            MW window(library);
            StationProbe probe(window);
            probe.stopRefresh();
            window.findDevices();
            clock.start();
            probe.form()->startTest->click();
            qInfo("whole run on the emulated pair: %lld ms", clock.elapsed());
            QCOMPARE(probe.form()->passed->text(), QStringLiteral("PASSED"));
        }
        const QStringList lines = withoutDates(logFileLines());
        QCOMPARE(lines.mid(1, 11), passingRunLog(1));
        const Image afterA = imageOf("FTA1B2C3");
        QVERIFY(afterA != beforeA);
        for (int b = 0; b < 0x0E; ++b)
            QCOMPARE(afterA[b], beforeA[b]);
    }

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestFtdiBackend)
#include "tst_ftdibackend.moc"
