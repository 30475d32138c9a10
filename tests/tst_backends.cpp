// The real-chip backends, libftdi1 over the FT232R emulator and FTDI's D2XX
// over the D2XX double, through the same rows; then the emulator itself, as
// the chip it stands for, through the real libftdi1.

#include "chipbench.h"
#include "device/backendchoice.h"
#include "device/sim/ft232reeprom.h"
#include "stationprobe.h"

#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <thread>

namespace {

#ifdef ZELOR_SANITIZED
constexpr bool SanitizedBuild = true;
#else
constexpr bool SanitizedBuild = false;
#endif

const QByteArray PairBench
    = "\n"
      "{ \"chips\": [ { \"serial\": \"FTA1B2C3\" }, { \"serial\": \"FTD4E5F6\" } ],\n"
      "  \"links\": [ [ \"FTA1B2C3\", \"FTD4E5F6\" ] ], \"controlTransferUs\": 0 }";

QByteArray imageOf(const ChipBench &bench, const char *name)
{
    QByteArray image(128, '\0');
    bench.eeprom(name, reinterpret_cast<unsigned char *>(image.data()));
    return image;
}

int counter(const ChipBench &bench, const char *name, int which)
{
    int counts[3] = {};
    bench.counters(name, &counts[0], &counts[1], &counts[2]);
    return counts[which];
}

enum Counter { ControlTransfers, WordsRead, WordsWritten };

// A genuine FT232R stores its EEPROM in whole rows; many clones store each
// word as it comes.
enum class Kind { Genuine, Clone };

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

// One past the last byte of the string descriptors.
int stringsEndOf(const QByteArray &image)
{
    int end = 0x18;
    for (int pointer : { 0x0E, 0x10, 0x12 })
        end = qMax(end, (quint8(image[pointer]) & 0x7F) + quint8(image[pointer + 1]));
    return end;
}

int stringOfSlot(const QByteArray &image, int slot)
{
    return quint8(image[0x0E + 2 * slot]) & 0x7F;
}

QByteArray descriptorOf(const QByteArray &image, int slot)
{
    return image.mid(stringOfSlot(image, slot), quint8(image[0x0F + 2 * slot]));
}

// The order in the order their strings lie in the image.
QList<int> stringOrder(const QByteArray &image)
{
    QList<int> order = { 0, 1, 2 };
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return stringOfSlot(image, a) < stringOfSlot(image, b); });
    return order;
}

// A string descriptor as the chip stores it, in UTF-16.
QByteArray descriptor(const QString &text)
{
    QByteArray bytes(1, char(2 + 2 * text.size()));
    bytes += '\x03';
    for (QChar c : text)
        bytes += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));
    return bytes;
}

// A string as the chip lists it: ASCII, anything else '?'.
QByteArray listedText(const QByteArray &descriptor)
{
    QByteArray text;
    for (int i = 2; i + 1 < descriptor.size(); i += 2)
        text += quint8(descriptor[i + 1]) || quint8(descriptor[i]) >= 0x80 ? '?' : descriptor[i];
    return text;
}

// `base` with the descriptors of the three slots laid from 0x18 in `order`,
// `gap` zero bytes before the last one, then `after`; the rest zero.
QByteArray laidOut(const QByteArray &base, const QList<QByteArray> &descriptors,
                   const QList<int> &order, const QByteArray &after = QByteArray::fromHex("020300"),
                   int gap = 0)
{
    QByteArray image = base.left(0x18);
    for (int slot : order) {
        if (slot == order.last())
            image += QByteArray(gap, '\0');
        image[0x0E + 2 * slot] = char(0x80 | image.size());
        image[0x0F + 2 * slot] = char(descriptors[slot].size());
        image += descriptors[slot];
    }
    image += after;
    return withChecksum(image.leftJustified(128, '\0'));
}

void setString(QByteArray *image, int slot, const QByteArray &text)
{
    const int end = stringsEndOf(*image);
    QByteArray rest = image->mid(end, 126 - end);
    QByteArray strings;
    for (int s = 0; s < 3; ++s) {
        QByteArray d = descriptorOf(*image, s);
        if (s == slot) {
            d = QByteArray(1, char(2 + 2 * text.size())) + '\x03';
            for (char c : text)
                d += QByteArray(1, c) + '\0';
        }
        (*image)[0x0E + 2 * s] = char(0x80 | (0x18 + strings.size()));
        (*image)[0x0F + 2 * s] = char(d.size());
        strings += d;
    }
    const QByteArray area = (strings + rest).leftJustified(126 - 0x18, '\0', true);
    image->replace(0x18, area.size(), area);
}

QByteArray benchJson(const QByteArray &chipA,
                     const QByteArray &chipB = "{ \"serial\": \"FTD4E5F6\" }")
{
    return "{ \"chips\": [ " + chipA + ", " + chipB
        + " ], \"links\": [ [ \"FTA1B2C3\", \"FTD4E5F6\" ] ], \"controlTransferUs\": 0 }";
}

DeviceHandle openConfigured(DeviceLibrary &library, const char *serial)
{
    DeviceHandle handle = nullptr;
    if (library.open(serial, OpenBySerialNumber, &handle) != 0)
        return nullptr;
    library.setBaudRate(handle, 1000000);
    library.setDataCharacteristics(handle, 8, 0, 0);
    library.setTimeouts(handle, 500, 500);
    return handle;
}

// A chip opened straight through libftdi, configured as the station does.
struct RawChip {
    ftdi_context *ftdi = ftdi_new();
    explicit RawChip(const char *serial, int baud = 1000000)
    {
        if (ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, nullptr, serial) != 0
            || ftdi_set_baudrate(ftdi, baud) != 0 || ftdi_set_latency_timer(ftdi, 1) != 0)
            qFatal("cannot open %s: %s", serial, ftdi_get_error_string(ftdi));
    }
    ~RawChip()
    {
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
    }
    libusb_device_handle *usb() const { return ftdi->usb_dev; }
    // One bulk IN transfer as the chip answers it: status bytes included.
    QByteArray packets(int capacity = 4096, unsigned timeoutMs = 100) const
    {
        QByteArray data(capacity, '\0');
        int got = 0;
        libusb_bulk_transfer(usb(), 0x81, reinterpret_cast<unsigned char *>(data.data()), capacity,
                             &got, timeoutMs);
        return data.left(got);
    }
    // Payload only, until `count` bytes or a quiet read.
    QByteArray payload(int count) const
    {
        QByteArray got;
        while (got.size() < count) {
            const QByteArray chunk = packets();
            QByteArray data;
            for (int at = 0; at < chunk.size(); at += 64)
                data += chunk.mid(at + 2, 62);
            if (data.isEmpty())
                break;
            got += data;
        }
        return got;
    }
};

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + 3);
    return bytes;
}

double writeMs(const RawChip &chip, const QByteArray &bytes)
{
    QElapsedTimer clock;
    clock.start();
    const int written = ftdi_write_data(
        chip.ftdi, reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
    return written == bytes.size() ? double(clock.nsecsElapsed()) / 1e6 : -1;
}

int counter(const char *serial, int which)
{
    int counts[3] = {};
    ft232r_emulator_counters(serial, &counts[0], &counts[1], &counts[2]);
    return counts[which];
}

} // namespace

Q_DECLARE_METATYPE(Backend)
Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(EepromAfterRestore)

namespace {

constexpr Backend Backends[] = { Backend::Libftdi, Backend::D2xx };

// A row of a test that runs through both backends: the backend comes first.
QTestData &row(Backend backend, const QString &tag)
{
    return QTest::newRow(qPrintable(
               QStringLiteral("%1: %2").arg(QLatin1String(ChipBench::of(backend).name), tag)))
        << backend;
}

constexpr Kind Kinds[] = { Kind::Genuine, Kind::Clone };

QByteArray kindKey(Kind kind)
{
    return kind == Kind::Clone ? ", \"clone\": true" : "";
}

QString kindName(Kind kind)
{
    return kind == Kind::Clone ? QStringLiteral("clone") : QStringLiteral("genuine");
}

QByteArray chipWithImage(const QByteArray &image, Kind kind = Kind::Genuine)
{
    return "{ \"serial\": \"FTA1B2C3\", \"image\": \"" + hex(image) + "\"" + kindKey(kind) + " }";
}

// Each unit the chip stores at once (a row of a genuine chip, a word of a
// clone) alike in one of the two images.
bool unitsFromEither(Kind kind, const QByteArray &image, const QByteArray &a, const QByteArray &b)
{
    const int unit = kind == Kind::Genuine ? 4 : 2;
    for (int at = 0; at < 128; at += unit) {
        if (image.mid(at, unit) != a.mid(at, unit) && image.mid(at, unit) != b.mid(at, unit))
            return false;
    }
    return true;
}

// What the image of each real-world layout became, by layout: both backends
// must leave the same bytes.
QHash<QString, QByteArray> &programmedLayouts()
{
    static QHash<QString, QByteArray> layouts;
    return layouts;
}

} // namespace

class TestBackends : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        scratch = std::make_unique<ScratchDirectory>();
        for (Backend backend : Backends) {
            const ChipBench &bench = ChipBench::of(backend);
            QVERIFY2(bench.load(PairBench.constData()) == 0, bench.error());
        }
    }
    void cleanup()
    {
        for (Backend backend : Backends)
            QCOMPARE(ChipBench::of(backend).openHandles(), 0);
        scratch.reset();
    }

    void listsTypesAndStringsWithBystanders_data()
    {
        QTest::addColumn<Backend>("backend");
        for (Backend backend : Backends)
            row(backend, QStringLiteral("bench"));
    }
    void listsTypesAndStringsWithBystanders()
    {
        QFETCH(Backend, backend);
        const ChipBench &bench = ChipBench::of(backend);
        QByteArray badChecksum = factoryImage();
        badChecksum[126] = char(badChecksum[126] ^ 0xFF);
        QByteArray noProduct = factoryImageWithSerial("NOPROD01");
        noProduct[0x11] = 0;
        QVERIFY(bench.load(
                    "{ \"chips\": [\n"
                    "  { \"serial\": \"LOCKED01\", \"cannotOpen\": true },\n"
                    "  { \"serial\": \"NOSER001\", \"noSerial\": true, "
                    "\"description\": \"Serial-less\" },\n"
                    "  { \"serial\": \"FTA1B2C3\", \"description\": \"UM232R USB <-> Serial\" },\n"
                    "  { \"serial\": \"FTD4E5F6\" },\n"
                    "  { \"serial\": \"BADSUM01\", \"image\": \""
                    + hex(badChecksum) + "\" },\n  { \"serial\": \"NOPROD01\", \"image\": \""
                    + hex(withChecksum(noProduct)) + "\" } ] }")
                == 0);
        const auto library = bench.library();
        quint32 count = 0;
        QCOMPARE(library->createDeviceInfoList(&count), DeviceStatusCode::Ok);
        QCOMPARE(count, 6u);
        DeviceInfoRecord records[6];
        QCOMPARE(library->getDeviceInfoList(records, 6, &count), DeviceStatusCode::Ok);
        QCOMPARE(count, 6u);
        // A chip another program holds: libftdi1 lists it without strings,
        // D2XX with its "open" flag alone.
        QCOMPARE(records[0].deviceType, backend == Backend::D2xx ? 0u : DeviceTypeFt232r);
        QCOMPARE(records[0].flags, backend == Backend::D2xx ? 1u : 0u);
        QCOMPARE(QByteArray(records[0].serialNumber), QByteArray());
        for (const DeviceInfoRecord &record : QList<DeviceInfoRecord>(records + 1, records + 6)) {
            QCOMPARE(record.deviceType, DeviceTypeFt232r);
            QCOMPARE(record.deviceId, 0x04036001u);
        }
        QCOMPARE(QByteArray(records[1].serialNumber), QByteArray());
        QCOMPARE(QByteArray(records[1].description), QByteArray("Serial-less"));
        QCOMPARE(QByteArray(records[2].serialNumber), QByteArray("FTA1B2C3"));
        QCOMPARE(QByteArray(records[2].description), QByteArray("UM232R USB <-> Serial"));
        QCOMPARE(QByteArray(records[3].description), QByteArray("FT232R USB UART"));
        // A bad checksum: the chip enumerates with FTDI's IDs and no strings.
        QCOMPARE(QByteArray(records[4].description), QByteArray());
        QCOMPARE(QByteArray(records[4].serialNumber), QByteArray());
        // No product string: listed, and opened, by its serial number.
        QCOMPARE(QByteArray(records[5].description), QByteArray());
        QCOMPARE(QByteArray(records[5].serialNumber), QByteArray("NOPROD01"));
        DeviceHandle handle = nullptr;
        QCOMPARE(library->open("NOPROD01", OpenBySerialNumber, &handle), DeviceStatusCode::Ok);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);

        if (backend == Backend::Libftdi) {
            // A refresh of the same bench opens nothing again.
            const int opens = ft232r_emulator_open_count();
            QCOMPARE(library->createDeviceInfoList(&count), DeviceStatusCode::Ok);
            QCOMPARE(ft232r_emulator_open_count(), opens);
            // A replugged device enumerates afresh and is read again.
            bench.unplug("FTA1B2C3");
            QCOMPARE(library->createDeviceInfoList(&count), DeviceStatusCode::Ok);
            QCOMPARE(count, 5u);
            bench.plug("FTA1B2C3");
            QCOMPARE(library->createDeviceInfoList(&count), DeviceStatusCode::Ok);
            QCOMPARE(ft232r_emulator_open_count(), opens + 1);
        }
    }

    void opensBySerialPastBystanders_data() { listsTypesAndStringsWithBystanders_data(); }
    void opensBySerialPastBystanders()
    {
        QFETCH(Backend, backend);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY(bench.load("{ \"chips\": [\n"
                           "  { \"serial\": \"LOCKED01\", \"cannotOpen\": true },\n"
                           "  { \"serial\": \"NOSER001\", \"noSerial\": true },\n"
                           "  { \"serial\": \"FTD4E5F6\" } ] }")
                == 0);
        const auto library = bench.library();
        DeviceHandle handle = nullptr;
        QCOMPARE(library->open("FTD4E5F6", OpenBySerialNumber, &handle), DeviceStatusCode::Ok);
        QCOMPARE(bench.latency("FTD4E5F6"), 1);
        if (backend == Backend::Libftdi)
            QCOMPARE(ft232r_emulator_kernel_driver_attached("FTD4E5F6"), 0);
        DeviceHandle second = nullptr;
        QVERIFY(library->open("FTD4E5F6", OpenBySerialNumber, &second) != 0); // in use
        QVERIFY(library->open("NOSUCHSN", OpenBySerialNumber, &second) != 0);
        QVERIFY(library->open("LOCKED01", OpenBySerialNumber, &second) != 0);
        QVERIFY(library->open("", OpenBySerialNumber, &second) != 0);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
        if (backend == Backend::Libftdi)
            QCOMPARE(ft232r_emulator_kernel_driver_attached("FTD4E5F6"), 1);
        QVERIFY(library->close(handle) != 0);
    }

    void chipRunsAtOneMegabaud8N1_data() { listsTypesAndStringsWithBystanders_data(); }
    void chipRunsAtOneMegabaud8N1()
    {
        QFETCH(Backend, backend);
        const ChipBench &bench = ChipBench::of(backend);
        const auto library = bench.library();
        DeviceHandle handle = openConfigured(*library, "FTA1B2C3");
        QVERIFY(handle);
        int baud, bits, stop, parity;
        QCOMPARE(bench.line("FTA1B2C3", &baud, &bits, &stop, &parity), 0);
        QCOMPARE(baud, 1000000);
        QCOMPARE(bits, 8);
        QCOMPARE(stop, 0);
        QCOMPARE(parity, 0);
        QCOMPARE(library->setDataCharacteristics(handle, 7, 2, 2), DeviceStatusCode::Ok);
        bench.line("FTA1B2C3", &baud, &bits, &stop, &parity);
        QCOMPARE(bits, 7);
        QCOMPARE(stop, 2);
        QCOMPARE(parity, 2);
        QCOMPARE(library->setBaudRate(handle, 9600), DeviceStatusCode::Ok);
        bench.line("FTA1B2C3", &baud, &bits, &stop, &parity);
        QVERIFY(qAbs(baud - 9600) < 10);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
    }

    void blockArrivesInPacketsAndShortReadsTimeOut_data()
    {
        listsTypesAndStringsWithBystanders_data();
    }
    void blockArrivesInPacketsAndShortReadsTimeOut()
    {
        QFETCH(Backend, backend);
        const auto library = ChipBench::of(backend).library();
        DeviceHandle a = openConfigured(*library, "FTA1B2C3");
        DeviceHandle b = openConfigured(*library, "FTD4E5F6");
        QVERIFY(a && b);
        QByteArray block(128, '\0');
        for (int i = 0; i < 128; ++i)
            block[i] = char(i * 7);
        quint32 written = 0, received = 0;
        QCOMPARE(library->write(a, block.constData(), 128, &written), DeviceStatusCode::Ok);
        QCOMPARE(written, 128u);
        QByteArray got(128, '\0');
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(library->read(b, got.data(), 128, &received), DeviceStatusCode::Ok);
        QCOMPARE(received, 128u);
        QCOMPARE(got, block);
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));

        QCOMPARE(library->write(a, block.constData(), 100, &written), DeviceStatusCode::Ok);
        clock.restart();
        QCOMPARE(library->read(b, got.data(), 128, &received), DeviceStatusCode::Ok);
        QCOMPARE(received, 100u);
        QVERIFY(clock.elapsed() >= 500 && clock.elapsed() < 800);
        QCOMPARE(library->close(a), DeviceStatusCode::Ok);
        QCOMPARE(library->close(b), DeviceStatusCode::Ok);
    }

    // Real-world layouts, each programmed once and compared with its seed.
    void programmingChangesTheDescriptionOnly_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("seed");
        QTest::addColumn<int>("wordsWritten"); // two a row that changes
        QTest::addColumn<bool>("inPlace"); // else what follows the description moves
        const QByteArray factory = factoryImageWithSerial("FTA1B2C3");
        const int tail = stringsEndOf(factory); // 02 03 00 in FTDI's image
        const QList<QByteArray> strings
            = { descriptorOf(factory, 0), descriptorOf(factory, 1), descriptorOf(factory, 2) };
        QByteArray zeros = factory;
        zeros.replace(tail, 4, QByteArray::fromHex("00000100"));
        QByteArray notPnp = factory;
        notPnp[tail + 2] = 0x01;
        QByteArray user = factory;
        user.replace(0x70, 8, "USERDATA"); // where libftdi1 users put theirs
        QByteArray cbus = factory;
        cbus[0x14] = char(0x3E); // CBUS0 14, past what libftdi1 keeps
        QByteArray done = factory;
        setString(&done, 1, "ZELOR-K3");
        // One character short of "ZELOR-K3", another string after it: the
        // new description is longer in bytes, so it cannot stay in place.
        QByteArray sevenCharacters = factory;
        setString(&sevenCharacters, 1, "FT232RL");
        const QByteArray beyondLatin1[3]
            = { descriptor(QStringLiteral("Str\u00f6me\u2122")), descriptor(QStringLiteral("UART")),
                descriptor(QStringLiteral("SN\u20130001")) };
        const struct {
            const char *tag;
            QByteArray seed;
            int words;
            bool inPlace;
        } layouts[] = {
            { "factory image", factory, 14, true },
            { "tail 00 00 01 00", withChecksum(zeros), 14, true },
            { "tail 02 03 01", withChecksum(notPnp), 14, true },
            { "user data at 0x70", withChecksum(user), 14, true },
            { "CBUS value 14", withChecksum(cbus), 14, true },
            { "strings in the order serial, product, manufacturer",
              laidOut(factory, strings, { 2, 1, 0 }), 14, true },
            { "a gap before the serial number",
              laidOut(factory, strings, { 0, 1, 2 }, QByteArray::fromHex("020300"), 6), 14, true },
            { "description last", laidOut(factory, strings, { 0, 2, 1 }), 28, false },
            { "description grows",
              laidOut(factory, { strings[0], beyondLatin1[1], strings[2] }, { 0, 1, 2 }), 24,
              false },
            { "description one character short of ZELOR-K3", withChecksum(sevenCharacters), 24,
              false },
            { "manufacturer and serial beyond Latin-1, description in place",
              laidOut(factory, { beyondLatin1[0], strings[1], beyondLatin1[2] }, { 0, 1, 2 }), 14,
              true },
            { "manufacturer and serial beyond Latin-1, moved",
              laidOut(factory, { beyondLatin1[0], beyondLatin1[1], beyondLatin1[2] }, { 1, 0, 2 }),
              32, false },
            { "already ZELOR-K3", withChecksum(done), 0, true },
        };
        for (Backend backend : Backends) {
            for (Kind kind : Kinds) {
                for (const auto &layout : layouts)
                    row(backend, kindName(kind) + QStringLiteral(": ") + QLatin1String(layout.tag))
                        << kind << layout.seed << layout.words << layout.inPlace;
            }
        }
    }
    void programmingChangesTheDescriptionOnly()
    {
        QFETCH(Backend, backend);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, seed);
        QFETCH(int, wordsWritten);
        QFETCH(bool, inPlace);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY2(bench.load(benchJson(chipWithImage(seed, kind)).constData()) == 0, bench.error());
        const auto library = bench.library();
        const QByteArray serial = listedText(descriptorOf(seed, 2));
        DeviceHandle handle = openConfigured(*library, serial.constData());
        QVERIFY(handle);
        CallerRecord record;
        QCOMPARE(library->eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        const EepromData read = record.data;
        QCOMPARE(read.maxPower, quint16(2 * quint8(seed[0x09])));
        QCOMPARE(read.pnp,
                 quint16(QByteArray(QTest::currentDataTag()).endsWith("02 03 01") ? 0 : 1));
        const int writtenBefore = counter(bench, "FTA1B2C3", WordsWritten);
        qstrcpy(record.description, "ZELOR-K3");
        QCOMPARE(library->eepromProgram(handle, &record.data), DeviceStatusCode::Ok);
        QCOMPARE(counter(bench, "FTA1B2C3", WordsWritten) - writtenBefore, wordsWritten);
        // Written at FTDI's programming latency, and the chip's latency back after.
        int flow, eventChar, errorChar, writeLatency = 0;
        bench.settings("FTA1B2C3", &flow, &eventChar, &errorChar, &writeLatency);
        QCOMPARE(writeLatency, wordsWritten ? 0x77 : 0);
        QCOMPARE(bench.latency("FTA1B2C3"), 1);

        // Every field but the description reads as before, through a new session.
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
        handle = openConfigured(*library, serial.constData());
        CallerRecord again;
        QCOMPARE(library->eepromRead(handle, &again.data), DeviceStatusCode::Ok);
        QCOMPARE(QByteArray(again.description), QByteArray("ZELOR-K3"));
        QCOMPARE(QByteArray(again.manufacturer), QByteArray(record.manufacturer));
        QCOMPARE(QByteArray(again.serial), QByteArray(record.serial));
        for (const EepromNumericField &field : eepromNumericFields())
            QVERIFY2(field.get(again.data) == field.get(read), field.name);
        QCOMPARE(again.data.pnp, read.pnp);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);

        // In the image: the configuration bytes as they were, the other
        // strings byte for byte, in their order and pointer form.
        const QByteArray image = imageOf(bench, "FTA1B2C3");
        QCOMPARE(image.left(0x0E), seed.left(0x0E));
        QCOMPARE(image.mid(0x14, 4), seed.mid(0x14, 4));
        QCOMPARE(descriptorOf(image, 0), descriptorOf(seed, 0));
        QCOMPARE(descriptorOf(image, 2), descriptorOf(seed, 2));
        QCOMPARE(stringOrder(image), stringOrder(seed));
        for (int slot = 0; slot < 3; ++slot)
            QCOMPARE(quint8(image[0x0E + 2 * slot]) & 0x80, quint8(seed[0x0E + 2 * slot]) & 0x80);
        QCOMPARE(ft232rEepromChecksum(image),
                 quint16(quint8(image[126]) | quint8(image[127]) << 8));
        const int at = stringOfSlot(seed, 1), oldEnd = at + quint8(seed[0x11]);
        const int newEnd = at + quint8(image[0x11]);
        if (inPlace) {
            // Nothing but the descriptor, its length and the checksum changed.
            QCOMPARE(image.left(at).remove(0x11, 1), seed.left(at).remove(0x11, 1));
            QCOMPARE(image.mid(newEnd, 126 - newEnd), seed.mid(newEnd, 126 - newEnd));
        } else {
            // What followed the description follows it again.
            const QByteArray moved = seed.mid(oldEnd, 126 - oldEnd);
            QCOMPARE(image.mid(newEnd, 126 - newEnd),
                     moved.leftJustified(126 - newEnd, '\0', true));
        }
        // Both backends and both kinds of chip leave the same bytes.
        const QString layout = QString::fromLatin1(QTest::currentDataTag()).section(": ", 2);
        QCOMPARE(programmedLayouts().value(layout, image), image);
        programmedLayouts().insert(layout, image);
    }

    void programmingThatWouldLoseDataIsRefused_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("description");
        QByteArray full = factoryImageWithSerial("FTA1B2C3");
        full.replace(stringsEndOf(full), 126 - stringsEndOf(full),
                     QByteArray(126 - stringsEndOf(full), 'U'));
        // 28 bytes more would put the 00 of FTDI's 02 03 00 on the checksum.
        const QByteArray factory = factoryImageWithSerial("FTA1B2C3");
        for (Backend backend : Backends) {
            row(backend, QStringLiteral("no room for the strings"))
                << withChecksum(full) << QByteArray("ZELOR-K3 with a much longer description");
            row(backend, QStringLiteral("the tail's last byte would reach the checksum"))
                << factory << QByteArray("UM232R USB <-> Serial 35 characters");
        }
    }
    void programmingThatWouldLoseDataIsRefused()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, description);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY(bench.load(benchJson(chipWithImage(image)).constData()) == 0);
        const auto library = bench.library();
        DeviceHandle handle = openConfigured(*library, "FTA1B2C3");
        QVERIFY(handle);
        CallerRecord record;
        QCOMPARE(library->eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        qstrcpy(record.description, description.constData());
        QVERIFY(library->eepromProgram(handle, &record.data) != 0);
        QCOMPARE(counter(bench, "FTA1B2C3", WordsWritten), 0);
        QCOMPARE(imageOf(bench, "FTA1B2C3"), image);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
    }

    // An image the chip would not give its strings from as written, or that
    // the editor would damage: read fails, and nothing is ever written.
    void unreadableImagesAreNeverWritten_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("image");
        const QByteArray factory = factoryImageWithSerial("FTA1B2C3");
        QByteArray badSum = factory;
        badSum[126] = char(badSum[126] ^ 0x01);
        QByteArray type = factory;
        type[stringOfSlot(type, 1) + 1] = 0x02;
        // A 4-byte descriptor at offset 3 (the vendor ID's high byte): the
        // header bytes happen to read 04 03 with product ID 0x6003.
        QByteArray header = factory;
        header[0x04] = 0x03;
        header[0x0E] = 0x03;
        header[0x0F] = 0x04;
        QByteArray pastChecksum = factory;
        pastChecksum[0x12] = char(0x80 | 0x7C);
        pastChecksum[0x13] = 0x04;
        pastChecksum.replace(0x7C, 2, QByteArray::fromHex("0403"));
        // The serial number's pointer at the manufacturer's string: both read
        // well, and a string written where it lies would change the other.
        QByteArray overlap = factory;
        overlap[0x12] = overlap[0x0E];
        overlap[0x13] = overlap[0x0F];
        QByteArray odd = factory;
        odd[0x11] = char(quint8(odd[0x11]) - 1);
        odd[stringOfSlot(odd, 1)] = odd[0x11];
        for (Backend backend : Backends) {
            row(backend, QStringLiteral("bad checksum")) << badSum;
            row(backend, QStringLiteral("type byte not 03")) << withChecksum(type);
            row(backend, QStringLiteral("manufacturer in the header")) << withChecksum(header);
            row(backend, QStringLiteral("serial past the string area"))
                << withChecksum(pastChecksum);
            row(backend, QStringLiteral("strings overlap")) << withChecksum(overlap);
            row(backend, QStringLiteral("odd length")) << withChecksum(odd);
        }
    }
    void unreadableImagesAreNeverWritten()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, image);
        const ChipBench &bench = ChipBench::of(backend);
        // Written since the chip enumerated, as an interrupted programming leaves it.
        const QByteArray chip = "{ \"serial\": \"FTA1B2C3\", \"image\": \"" + hex(image)
            + "\", \"enumeratedFrom\": \"" + hex(factoryImageWithSerial("FTA1B2C3")) + "\" }";
        QVERIFY(bench.load(benchJson(chip).constData()) == 0);
        const auto library = bench.library();
        DeviceHandle handle = openConfigured(*library, "FTA1B2C3");
        QVERIFY(handle);
        CallerRecord record;
        QCOMPARE(library->eepromRead(handle, &record.data), DeviceStatusCode::EepromReadFailed);
        qstrcpy(record.description, "ZELOR-K3");
        QVERIFY(library->eepromProgram(handle, &record.data) != 0);
        QCOMPARE(counter(bench, "FTA1B2C3", WordsWritten), 0);
        QCOMPARE(imageOf(bench, "FTA1B2C3"), image);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
    }

    // An unplug after each call of one programming in turn (each control
    // transfer under libftdi1, each D2XX call under D2XX): the chip keeps the
    // old image, the new one, or new rows under the old checksum, which it
    // refuses at the next plug-in.
    void unplugAtAnyPointOfProgrammingLeavesAKnownState_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<Kind>("kind");
        for (Backend backend : Backends) {
            for (Kind kind : Kinds)
                row(backend, kindName(kind)) << kind;
        }
    }
    void unplugAtAnyPointOfProgrammingLeavesAKnownState()
    {
        QFETCH(Backend, backend);
        QFETCH(Kind, kind);
        const ChipBench &bench = ChipBench::of(backend);
        const QByteArray seed = factoryImageWithSerial("FTA1B2C3");
        const QByteArray chip
            = "{ \"serial\": \"FTA1B2C3\", \"image\": \"" + hex(seed) + "\"" + kindKey(kind);
        QByteArray programmed;
        int opened = 0, total = 0;
        for (int cut = 0; cut == 0 || opened + cut <= total; ++cut) {
            const QByteArray fault = cut
                ? ", \"" + QByteArray(bench.unplugAfter) + "\": " + QByteArray::number(opened + cut)
                : "";
            QVERIFY(bench.load(benchJson(chip + fault + " }").constData()) == 0);
            const auto library = bench.library();
            DeviceHandle handle = openConfigured(*library, "FTA1B2C3");
            CallerRecord record;
            QCOMPARE(library->eepromRead(handle, &record.data), DeviceStatusCode::Ok);
            opened = bench.calls("FTA1B2C3");
            qstrcpy(record.description, "ZELOR-K3");
            const DeviceStatus status = library->eepromProgram(handle, &record.data);
            library->close(handle);
            const QByteArray after = imageOf(bench, "FTA1B2C3");
            if (cut == 0) {
                QCOMPARE(status, DeviceStatusCode::Ok);
                total = bench.calls("FTA1B2C3") - 1; // the close
                programmed = after;
                continue;
            }
            const QByteArray why = "cut after call " + QByteArray::number(cut);
            QVERIFY2(status != DeviceStatusCode::Ok || opened + cut >= total - 3, why);
            QVERIFY2(unitsFromEither(kind, after, seed, programmed)
                         && (after == programmed || after.right(4) == seed.right(4)),
                     why);
        }
        QVERIFY(total - opened > 20);
    }

    void partThatDoesNotStoreWhatIsWrittenIsCaughtByTheReadBack_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<EepromAfterRestore>("after");
        for (Backend backend : Backends) {
            row(backend, QStringLiteral("stores the AND of old and new"))
                << QByteArray("\"andOnWrite\": true") << EepromAfterRestore::Neither;
            row(backend, QStringLiteral("ignores EEPROM writes"))
                << QByteArray("\"ignoresEepromWrites\": true") << EepromAfterRestore::OldImage;
            // The third word's row is not stored; the rows around it are.
            row(backend, QStringLiteral("loses one write"))
                << QByteArray("\"dropsEepromWrite\": 3") << EepromAfterRestore::OldImage;
        }
    }
    void partThatDoesNotStoreWhatIsWrittenIsCaughtByTheReadBack()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, fault);
        QFETCH(EepromAfterRestore, after);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY(bench.load(benchJson("{ \"serial\": \"FTA1B2C3\", " + fault + " }").constData())
                == 0);
        const auto library = bench.library();
        DeviceHandle handle = openConfigured(*library, "FTA1B2C3");
        CallerRecord record;
        QCOMPARE(library->eepromRead(handle, &record.data), DeviceStatusCode::Ok);
        qstrcpy(record.description, "ZELOR-K3");
        QVERIFY(library->eepromProgram(handle, &record.data) != 0);
        QCOMPARE(library->eepromAfterRestore(handle), after);
        QCOMPARE(library->close(handle), DeviceStatusCode::Ok);
    }

    void unplugMidTransferFailsWithoutHarm_data() { listsTypesAndStringsWithBystanders_data(); }
    void unplugMidTransferFailsWithoutHarm()
    {
        QFETCH(Backend, backend);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY(bench.load(benchJson("{ \"serial\": \"FTA1B2C3\" }",
                                     "{ \"serial\": \"FTD4E5F6\", \"unplugAfterBulk\": 3 }")
                               .constData())
                == 0);
        const auto library = bench.library();
        DeviceHandle a = openConfigured(*library, "FTA1B2C3");
        DeviceHandle b = openConfigured(*library, "FTD4E5F6");
        QVERIFY(a && b);
        char block[128] = {};
        quint32 count = 0;
        DeviceStatus status = DeviceStatusCode::Ok;
        for (int i = 0; i < 5 && status == DeviceStatusCode::Ok; ++i) {
            library->write(a, block, 128, &count);
            status = library->read(b, block, 128, &count);
        }
        QVERIFY(status != DeviceStatusCode::Ok);
        QVERIFY(library->write(b, block, 128, &count) != 0);
        QCOMPARE(count, 0u);
        CallerRecord record;
        QVERIFY(library->eepromRead(b, &record.data) != 0);
        library->close(b);
        QCOMPARE(library->close(a), DeviceStatusCode::Ok);
    }

    void wholeStationRunsOnTheEmulatedPair_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("chips");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QString>("restored"); // the record's word, for the first chip
        QTest::addColumn<int>("latency"); // after the run
        auto both = [](const QByteArray &chip) {
            return benchJson("{ \"serial\": \"FTA1B2C3\"" + chip + " }",
                             "{ \"serial\": \"FTD4E5F6\"" + chip + " }");
        };
        for (Backend backend : Backends) {
            row(backend, QStringLiteral("pair")) << both("") << "TEST PASSED"
                                                 << ""
                                                 << "" << 1;
            row(backend, QStringLiteral("clone pair")) << both(", \"clone\": true") << "TEST PASSED"
                                                       << ""
                                                       << "" << 1;
            row(backend, QStringLiteral("two chips sharing a serial")) << QByteArray(
                "{ \"chips\": [ { \"name\": \"FTA1B2C3\", \"serial\": \"A50285BI\" },"
                " { \"name\": \"FTD4E5F6\", \"serial\": \"A50285BI\" } ],"
                " \"links\": [ [ \"FTA1B2C3\", \"FTD4E5F6\" ] ], \"controlTransferUs\": 0 }")
                                                                       << "TEST PASSED"
                                                                       << ""
                                                                       << "" << 1;
            // The D2XX double refuses a latency below the floor; the
            // emulated chip takes the request and holds its floor.
            row(backend, QStringLiteral("latency 1 ms not taken"))
                << both(", \"latencyFloorMs\": 2") << "TEST PASSED"
                << "1 ms not taken, 2 ms"
                << "" << 2;
            row(backend, QStringLiteral("latency 1 and 2 ms not taken"))
                << both(", \"latencyFloorMs\": 3") << "TEST PASSED"
                << "neither 1 nor 2 ms taken; the chip runs at"
                << "" << (backend == Backend::D2xx ? 16 : 3);
            row(backend, QStringLiteral("a part that stores the AND"))
                << benchJson("{ \"serial\": \"FTA1B2C3\", \"andOnWrite\": true }")
                << "TEST FAILED (3)"
                << "EEPROM not restored: the chip holds neither image"
                << "neither image" << 1;
            row(backend, QStringLiteral("a part that ignores writes"))
                << benchJson("{ \"serial\": \"FTA1B2C3\", \"ignoresEepromWrites\": true }")
                << "TEST FAILED (3)"
                << "EEPROM restored: the chip holds its old image"
                << "old image" << 1;
        }
    }
    void wholeStationRunsOnTheEmulatedPair()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, chips);
        QFETCH(QString, verdict);
        QFETCH(QString, trace);
        QFETCH(QString, restored);
        QFETCH(int, latency);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY2(bench.load(chips.constData()) == 0, bench.error());
        const auto library = bench.library();
        const QByteArray beforeA = imageOf(bench, "FTA1B2C3");
        TraceCapture traces;
        {
            MW window(*library);
            StationProbe probe(window);
            probe.stopRefresh();
            window.findDevices();
            QElapsedTimer clock;
            clock.start();
            probe.form()->startTest->click();
            qInfo("whole run on the emulated pair: %lld ms", clock.elapsed());
        }
        const QStringList lines = withoutDates(logFileLines());
        QVERIFY2(lines.contains(verdict), qPrintable(lines.join('\n')));
        if (verdict == QLatin1String("TEST PASSED") && !chips.contains("A50285BI"))
            QCOMPARE(lines.mid(1, 11), passingRunLog(1));
        QVERIFY2(trace.isEmpty() || traces.lines().join('\n').contains(trace),
                 qPrintable(traces.lines().join('\n')));
        QFile records(QStringLiteral("TestingRecords.jsonl"));
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QJsonArray recorded
            = QJsonDocument::fromJson(records.readAll()).object().value("chips").toArray();
        QCOMPARE(recorded.size(), 2);
        QCOMPARE(recorded[0].toObject().value("eepromAfterRestore").toString(), restored);
        for (const char *name : { "FTA1B2C3", "FTD4E5F6" })
            QCOMPARE(bench.latency(name), latency);
        if (verdict != QLatin1String("TEST PASSED"))
            return;
        for (const char *name : { "FTA1B2C3", "FTD4E5F6" }) {
            QVERIFY(imageOf(bench, name) != beforeA);
            // The image read once: the words read are the 64 and the
            // read-back of the written ones.
            QCOMPARE(counter(bench, name, WordsRead), 64 + counter(bench, name, WordsWritten));
        }
        // Each chip has a record entry of its own, shared serial or not.
        for (const QJsonValue &chip : recorded) {
            QCOMPARE(chip.toObject().value("programmed").toBool(), true);
            QCOMPARE(chip.toObject().value("descriptionRead").toString(),
                     QStringLiteral("FT232R USB UART"));
        }
    }

    // Whatever the previous program left in a chip, the open puts it in a
    // known state: no flow control, no event or error character, the
    // station's latency, and nothing of the old bytes reaches the reader.
    void openPutsTheChipInAKnownState_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("leftover");
        const struct {
            const char *tag;
            QByteArray leftover;
        } states[] = {
            { "RTS/CTS flow control", "\"leftover\": { \"flowControl\": 256 }" },
            { "an event character", "\"leftover\": { \"eventChar\": 64 }" },
            { "an error character", "\"leftover\": { \"errorChar\": 63 }" },
            { "a latency of its own", "\"leftover\": { \"latencyMs\": 40 }" },
            // More than a packet: the chip sends it as soon as the driver asks.
            { "bytes for the host", "\"staleBytes\": \"" + QByteArray(100, 'Z').toHex() + "\"" },
        };
        for (Backend backend : Backends) {
            for (const auto &state : states)
                row(backend, QLatin1String(state.tag)) << state.leftover;
        }
    }
    void openPutsTheChipInAKnownState()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, leftover);
        const ChipBench &bench = ChipBench::of(backend);
        QVERIFY2(bench.load(benchJson("{ \"serial\": \"FTA1B2C3\", " + leftover + " }").constData())
                     == 0,
                 bench.error());
        const auto library = bench.library();
        DeviceHandle a = openConfigured(*library, "FTA1B2C3");
        DeviceHandle b = openConfigured(*library, "FTD4E5F6");
        QVERIFY(a && b);
        int flow = -1, eventChar = 0, errorChar = 0, writeLatency = 0;
        QCOMPARE(bench.settings("FTA1B2C3", &flow, &eventChar, &errorChar, &writeLatency), 0);
        QCOMPARE(flow, 0);
        QCOMPARE(eventChar, -1);
        QCOMPARE(errorChar, -1);
        QCOMPARE(bench.latency("FTA1B2C3"), 1);
        const QByteArray sent = pattern(128);
        QByteArray got(128, '\0');
        quint32 written = 0, received = 0;
        QCOMPARE(library->write(b, sent.constData(), 128, &written), DeviceStatusCode::Ok);
        QCOMPARE(library->read(a, got.data(), 128, &received), DeviceStatusCode::Ok);
        QCOMPARE(got.left(int(received)), sent);
        QCOMPARE(library->close(a), DeviceStatusCode::Ok);
        QCOMPARE(library->close(b), DeviceStatusCode::Ok);
    }

    // FTDI's library missing, or without a function the station uses: the
    // station says so where the operator looks and fails its runs as a bench
    // without chips does.
    void unusableD2xxLibraryIsNamedAndRunsFail_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("problem");
        QTest::newRow("no such file")
            << QStringLiteral("/nonexistent/libftd2xx.so")
            << QStringLiteral("FTDI's D2XX library /nonexistent/libftd2xx.so could "
                              "not be loaded");
        QTest::newRow("without FT_ReadEE")
            << qEnvironmentVariable("ZELOR_D2XX_DOUBLE_WITHOUT_READEE")
            << QStringLiteral("lacks FT_ReadEE: install FTDI's");
    }
    void unusableD2xxLibraryIsNamedAndRunsFail()
    {
        QFETCH(QString, file);
        QFETCH(QString, problem);
        TraceCapture traces;
        D2xxDeviceLibrary library(file);
        QVERIFY2(library.problem().contains(problem), qPrintable(library.problem()));
        QVERIFY2(traces.lines().join('\n').contains(problem),
                 qPrintable(traces.lines().join('\n')));
        QVERIFY(library.name().endsWith(QLatin1String("not loaded)")));
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        window.findDevices();
        QCOMPARE(probe.form()->devicesconnected->toPlainText(),
                 QStringLiteral("No FT232R or FT245R devices found.\n") + library.problem());
        probe.form()->startTest->click();
        QCOMPARE(withoutDates(logFileLines()).last(), QStringLiteral("TEST FAILED (5)"));
    }

    void backendIsChosenByTheEnvironment_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("name");
        QTest::newRow("unset: libftdi1 on Linux") << QString() << QStringLiteral("libftdi1 1.");
        QTest::newRow("libftdi1") << QStringLiteral("libftdi1") << QStringLiteral("libftdi1 1.");
        // Found or not, by the name FTDI's driver installs it under.
        QTest::newRow("d2xx: FTDI's library by its name")
            << QStringLiteral("d2xx") << QStringLiteral("D2XX ");
        QTest::newRow("a path") << ChipBench::doublePath()
                                << QStringLiteral("D2XX 0.01.00 (libftd2xx.so)");
        QTest::newRow("a path to nothing") << QStringLiteral("/nonexistent/ftd2xx.dll")
                                           << QStringLiteral("D2XX (ftd2xx.dll, not loaded)");
    }
    void backendIsChosenByTheEnvironment()
    {
        QFETCH(QString, choice);
        QFETCH(QString, name);
        const ChosenBackend backend = chooseBackend(choice);
        QVERIFY2(backend.name.startsWith(name), qPrintable(backend.name));
        QVERIFY(choice != QLatin1String("d2xx")
                || backend.name.contains(QLatin1String("(libftd2xx.so")));
        QCOMPARE(backend.library->problem().isEmpty(),
                 !backend.name.endsWith(QLatin1String("not loaded)")));
    }

    // The emulator itself, as the chip it stands for, through libftdi1.

    void blockTimeAtEachLatency()
    {
        // Figures for the record: one 128-byte block out and back in.
        for (int latency : { 16, 1 }) {
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

    // The emulator itself, as the chip it stands for.
    void lineDrainsThroughTheChipsBuffers_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("decoded");
        QTest::addColumn<bool>("bothAtOnce");
        QTest::newRow("1 Mbaud") << 1000000 << 1000000 << false;
        QTest::newRow("921600 baud") << 921600 << 923077 << false;
        QTest::newRow("both chips at once") << 1000000 << 1000000 << true;
    }
    void lineDrainsThroughTheChipsBuffers()
    {
        QFETCH(int, baud);
        QFETCH(int, decoded);
        QFETCH(bool, bothAtOnce);
        RawChip a("FTA1B2C3", baud), b("FTD4E5F6", baud);
        const QByteArray sent = pattern(6400);
        // The write returns when its last packet fits the 128-byte buffer:
        // once 6400 - 128 characters of 10 bits have gone out.
        const double expectedMs = (6400 - 128) * 10 * 1000.0 / decoded;
        // A late wake-up only ever adds time: the best of three attempts is
        // the emulator's own timing.
        double best = 1e9, bestOther = 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            double otherMs = 0;
            std::thread other;
            if (bothAtOnce)
                other = std::thread([&] { otherMs = writeMs(b, sent); });
            const double ms = writeMs(a, sent);
            if (other.joinable())
                other.join();
            QVERIFY2(ms >= expectedMs - 0.5, qPrintable(QString::number(ms)));
            if (ms < best) {
                best = ms;
                bestOther = otherMs;
            }
            QTest::qWait(5);
            if (attempt == 0) {
                // Nobody read: the receiver kept 256 bytes, lost the rest and says so.
                for (const RawChip *receiver :
                     bothAtOnce ? std::vector { &a, &b } : std::vector { &b }) {
                    const QByteArray first = receiver->packets(64);
                    QCOMPARE(first.size(), 64);
                    QCOMPARE(quint8(first[1]) & 0x02, 0x02); // overrun
                    QCOMPARE(first.mid(2) + receiver->payload(6400), sent.left(256));
                }
            }
            QCOMPARE(ftdi_usb_reset(a.ftdi), 0);
            QCOMPARE(ftdi_usb_reset(b.ftdi), 0);
        }
        // The sanitizers slow every packet down; the upper bounds hold in a normal build.
        if (!SanitizedBuild) {
            QVERIFY2(best <= expectedMs + 6, qPrintable(QString::number(best)));
            // Both chips' lines ran at once, not one after the other.
            QVERIFY2(!bothAtOnce || bestOther <= expectedMs + 6,
                     qPrintable(QString::number(bestOther)));
        }
    }

    void standardRequestsAnswerFromTheEeprom_data()
    {
        QTest::addColumn<int>("requestType");
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("answer"); // hex, or empty for a stall
        QTest::newRow("device descriptor")
            << 0x80 << 6 << 0x0100 << 0 << QByteArray("120100020000000803040160000601020301");
        QTest::newRow("configuration") << 0x80 << 6 << 0x0200 << 0
                                       << QByteArray("09022000010100a02d"
                                                     "0904000002ffffff02"
                                                     "0705810240000007050202400000");
        QTest::newRow("languages") << 0x80 << 6 << 0x0300 << 0 << QByteArray("04030904");
        QTest::newRow("serial number")
            << 0x80 << 6 << 0x0303 << 0x0409 << QByteArray("120346005400410031004200320043003300");
        QTest::newRow("no fourth string") << 0x80 << 6 << 0x0304 << 0x0409 << QByteArray();
        QTest::newRow("device status") << 0x80 << 0 << 0 << 0 << QByteArray("0000");
        QTest::newRow("configuration value") << 0x80 << 8 << 0 << 0 << QByteArray("01");
        QTest::newRow("set address") << 0x00 << 5 << 9 << 0 << QByteArray();
    }
    void standardRequestsAnswerFromTheEeprom()
    {
        QFETCH(int, requestType);
        QFETCH(int, request);
        QFETCH(int, value);
        QFETCH(int, index);
        QFETCH(QByteArray, answer);
        RawChip a("FTA1B2C3");
        const int before = counter("FTA1B2C3", 0);
        unsigned char data[255] = {};
        const int r = libusb_control_transfer(a.usb(), quint8(requestType), quint8(request),
                                              quint16(value), quint16(index), data, 255, 500);
        if (answer.isEmpty())
            QCOMPARE(r, int(LIBUSB_ERROR_PIPE));
        else
            QCOMPARE(QByteArray(reinterpret_cast<char *>(data), qMax(r, 0)).toHex(), answer);
        QCOMPARE(counter("FTA1B2C3", 0), before + 1);
    }

    void resetPurgesAndEepromEndsAsARealChips()
    {
        RawChip a("FTA1B2C3"), b("FTD4E5F6");
        const QByteArray sent = pattern(100);
        QCOMPARE(writeMs(a, sent) >= 0, true);
        QTest::qWait(3);
        QCOMPARE(ftdi_usb_reset(b.ftdi), 0); // purges what the receiver holds
        QCOMPARE(b.payload(100), QByteArray());
        // At 9600 baud a character takes a millisecond: the reset lands early on.
        QCOMPARE(ftdi_set_baudrate(a.ftdi, 9600), 0);
        QCOMPARE(ftdi_set_baudrate(b.ftdi, 9600), 0);
        QCOMPARE(writeMs(a, pattern(128)) >= 0, true);
        QCOMPARE(ftdi_usb_reset(a.ftdi), 0); // and what had not gone out yet
        QTest::qWait(30);
        QVERIFY(b.payload(128).size() < 20);

        // Words past the 64 of the image do not alias it: the chip ID is there.
        unsigned short first = 0, beyond = 0;
        QCOMPARE(ftdi_read_eeprom_location(a.ftdi, 0x00, &first), 0);
        QCOMPARE(ftdi_read_eeprom_location(a.ftdi, 0x40, &beyond), 0);
        QVERIFY(first != beyond);
        unsigned idA = 0, idB = 0;
        QCOMPARE(ftdi_read_chipid(a.ftdi, &idA), 0);
        QCOMPARE(ftdi_read_chipid(b.ftdi, &idB), 0);
        QVERIFY(idA != idB);
    }

    void controlTransfersTakeTimeAndCanBeCutShort()
    {
        QVERIFY(ft232r_emulator_load(
                    "{ \"chips\": [ { \"serial\": \"FTA1B2C3\", \"unplugAfterControl\": 60 } ],"
                    "  \"controlTransferUs\": 500 }")
                == 0);
        RawChip a("FTA1B2C3");
        const int opened = counter("FTA1B2C3", 0);
        const int wordsBefore = counter("FTA1B2C3", 1);
        QElapsedTimer clock;
        clock.start();
        unsigned short word = 0;
        int reads = 0;
        while (reads < 200 && ftdi_read_eeprom_location(a.ftdi, reads % 64, &word) == 0)
            ++reads;
        QCOMPARE(opened + reads, 60); // the 60th completes; the chip is gone after it
        QCOMPARE(counter("FTA1B2C3", 1), wordsBefore + reads);
        QVERIFY2(clock.elapsed() >= reads / 2, qPrintable(QString::number(clock.elapsed())));
    }

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestBackends)
#include "tst_backends.moc"
