#include "bench.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ft232r {

namespace {

// Renames `from` over `to`, as one step; Windows's rename keeps an existing `to`.
void replaceFile(const std::string &from, const char *to)
{
#ifdef _WIN32
    MoveFileExA(from.c_str(), to, MOVEFILE_REPLACE_EXISTING);
#else
    std::rename(from.c_str(), to);
#endif
}

// Words 0x40 to 0x7F of a factory-fresh FT232R, chip ID at 0x43 and 0x44.
constexpr uint16_t FactoryArea[16]
    = { 0x0431, 0xFBCE, 0x0000, 0x38CB, 0x6032, 0x0042, 0x0000, 0x0000,
        0x0000, 0x0000, 0x0000, 0x0000, 0x4136, 0x535A, 0x324C, 0x4533 };

Nanos microsecondsFrom(const QJsonValue &value, const char *environment, Nanos fallback)
{
    if (value.isDouble())
        return Nanos(int64_t(value.toDouble() * 1000));
    if (const char *text = std::getenv(environment))
        return Nanos(int64_t(std::atof(text) * 1000));
    return fallback;
}

// A chip ID of its own for each chip, from its name.
void seedFactoryArea(Chip &chip)
{
    chip.factory.fill(0xFFFF);
    std::copy(std::begin(FactoryArea), std::end(FactoryArea), chip.factory.begin());
    uint32_t hash = 2166136261u;
    for (char c : chip.name)
        hash = (hash ^ uint8_t(c)) * 16777619u;
    chip.factory[3] = uint16_t(hash);
    chip.factory[4] = uint16_t(hash >> 16);
}

// What the previous program left in the chip: its registers keep it until
// the chip is reset or powered down.
void leaveState(const QJsonObject &leftover, Chip *chip)
{
    auto number = [&](const char *key, int fallback) {
        return leftover.value(QLatin1String(key)).toInt(fallback);
    };
    chip->flowControl = uint16_t(number("flowControl", chip->flowControl));
    if (leftover.contains(QLatin1String("eventChar"))) {
        chip->eventChar = uint8_t(number("eventChar", 0));
        chip->eventCharEnabled = true;
    }
    if (leftover.contains(QLatin1String("errorChar"))) {
        chip->errorChar = uint8_t(number("errorChar", 0));
        chip->errorCharEnabled = true;
    }
    chip->latencyMs = number("latencyMs", chip->latencyMs);
    chip->baud = number("baud", chip->baud);
    chip->bits = number("bits", chip->bits);
}

bool loadChip(const QJsonObject &object, const QJsonObject &top, Chip *chip, std::string *error)
{
    const std::string serial = object.value(QLatin1String("serial")).toString().toStdString();
    chip->name = object.value(QLatin1String("name"))
                     .toString(QString::fromStdString(serial))
                     .toStdString();
    if (chip->name.empty()) {
        *error = "a chip needs a serial or a name";
        return false;
    }
    const QString hex = object.value(QLatin1String("image")).toString();
    if (!hex.isEmpty()) {
        const QByteArray image = QByteArray::fromHex(hex.toLatin1());
        if (image.size() != ft232r::ImageBytes) {
            *error = "chip " + chip->name + ": an image has 128 bytes";
            return false;
        }
        std::memcpy(chip->eeprom.data(), image.constData(), ft232r::ImageBytes);
    } else {
        auto text = [&](const char *key, const char *fallback) {
            return object.value(QLatin1String(key)).toString(QLatin1String(fallback)).toStdString();
        };
        chip->eeprom = ft232r::factoryImage(text("manufacturer", "FTDI"),
                                            text("description", "FT232R USB UART"), serial);
    }
    seedFactoryArea(*chip);
    chip->cannotOpen = object.value(QLatin1String("cannotOpen")).toBool();
    chip->noSerial = object.value(QLatin1String("noSerial")).toBool();
    chip->clone = object.value(QLatin1String("clone")).toBool();
    chip->andOnWrite = object.value(QLatin1String("andOnWrite")).toBool();
    chip->ignoresEepromWrites = object.value(QLatin1String("ignoresEepromWrites")).toBool();
    chip->dropsEepromWrite = object.value(QLatin1String("dropsEepromWrite")).toInt(-1);
    chip->unplugAfterBulk = object.value(QLatin1String("unplugAfterBulk")).toInt(-1);
    chip->unplugAfterControl = object.value(QLatin1String("unplugAfterControl")).toInt(-1);
    chip->unplugAfterCall = object.value(QLatin1String("unplugAfterCall")).toInt(-1);
    chip->latencyFloorMs = object.value(QLatin1String("latencyFloorMs")).toInt(1);
    chip->lineDeadAfterBytes
        = int64_t(object.value(QLatin1String("lineDeadAfterBytes")).toDouble(-1));
    chip->bus = object.value(QLatin1String("bus")).toInt(1);
    for (const QJsonValue &port : object.value(QLatin1String("ports")).toArray())
        chip->ports.push_back(uint8_t(port.toInt()));
    if (chip->bus < 1 || chip->bus > 255 || chip->ports.size() > 7
        || std::count(chip->ports.begin(), chip->ports.end(), 0)) {
        *error = "chip " + chip->name + ": a bus is 1 to 255, at most 7 ports, each 1 to 255";
        return false;
    }
    chip->controlCost = microsecondsFrom(top.value(QLatin1String("controlTransferUs")),
                                         "FT232R_EMULATOR_CONTROL_US", DefaultControlCost);
    chip->eepromWriteCost = microsecondsFrom(top.value(QLatin1String("eepromWriteUs")),
                                             "FT232R_EMULATOR_EEPROM_WRITE_US", Nanos(0));
    // A chip whose EEPROM was written since it enumerated: it enumerated
    // from this image.
    const QByteArray enumerated
        = QByteArray::fromHex(object.value(QLatin1String("enumeratedFrom")).toString().toLatin1());
    if (enumerated.size() == ImageBytes) {
        const Image stored = chip->eeprom;
        std::memcpy(chip->eeprom.data(), enumerated.constData(), ImageBytes);
        plug(*chip);
        chip->eeprom = stored;
    }
    if (!object.value(QLatin1String("absent")).toBool())
        plug(*chip);
    const QByteArray stale
        = QByteArray::fromHex(object.value(QLatin1String("staleBytes")).toString().toLatin1());
    chip->held.assign(stale.begin(), stale.end());
    leaveState(object.value(QLatin1String("leftover")).toObject(), chip);
    return true;
}

void dumpAtExit()
{
    Lock lock(bench().mutex);
    dump();
}

} // namespace

Bench &bench()
{
    static Bench *instance = new Bench; // outlives every user, even at exit
    return *instance;
}

Chip *findChip(const char *name)
{
    for (auto &chip : bench().chips) {
        if (name && chip->name == name)
            return chip.get();
    }
    return nullptr;
}

std::vector<uint8_t> portPathOf(const Chip &chip)
{
    return chip.ports.empty() ? std::vector<uint8_t> { uint8_t(portOf(chip)) } : chip.ports;
}

int portOf(const Chip &chip)
{
    const auto &chips = bench().chips;
    for (size_t i = 0; i < chips.size(); ++i) {
        if (chips[i].get() == &chip)
            return int(i) + 1;
    }
    return 0;
}

void plug(Chip &chip)
{
    if (!chip.plugged)
        chip.plugIn(bench().nextAddress++);
}

int settingsOf(const Chip &chip, int *flowControl, int *eventChar, int *errorChar,
               int *eepromWriteLatency)
{
    *eepromWriteLatency = chip.eepromWriteLatencyMs;
    *flowControl = chip.flowControl;
    *eventChar = chip.eventCharEnabled ? chip.eventChar : -1;
    *errorChar = chip.errorCharEnabled ? chip.errorChar : -1;
    return 0;
}

bool loadBench(const QByteArray &json, std::string *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = "bench is not a JSON object: " + parseError.errorString().toStdString();
        return false;
    }
    const QJsonObject top = document.object();
    std::vector<std::unique_ptr<Chip>> chips;
    for (const QJsonValue &value : top.value(QLatin1String("chips")).toArray()) {
        auto chip = std::make_unique<Chip>();
        if (!loadChip(value.toObject(), top, chip.get(), error))
            return false;
        chips.push_back(std::move(chip));
    }
    for (auto &old : bench().chips) {
        old->unplug(); // whatever still refers to it finds it gone
        bench().retired.push_back(std::move(old));
    }
    bench().chips = std::move(chips);
    for (const QJsonValue &value : top.value(QLatin1String("links")).toArray()) {
        const QJsonArray pair = value.toArray();
        Chip *a = findChip(pair.at(0).toString().toStdString().c_str());
        Chip *b = findChip(pair.at(1).toString().toStdString().c_str());
        if (!a || !b || a == b) {
            *error = "a link names unknown chips";
            return false;
        }
        a->hearers.push_back(b);
        b->hearers.push_back(a);
    }
    for (const QJsonValue &value : top.value(QLatin1String("wires")).toArray()) {
        const QJsonArray wire = value.toArray();
        Chip *from = findChip(wire.at(0).toString().toStdString().c_str());
        Chip *to = findChip(wire.at(1).toString().toStdString().c_str());
        if (!from || !to) {
            *error = "a wire names unknown chips";
            return false;
        }
        from->hearers.push_back(to);
    }
    return true;
}

// The dump follows every EEPROM write, as the chip's memory keeps it: a
// process killed mid-programming leaves what the chips then held. Written
// aside and renamed, so a reader never sees half a file.
void dump()
{
    const char *path = std::getenv("FT232R_EMULATOR_DUMP");
    if (!path)
        return;
    const std::string aside = std::string(path) + ".new";
    FILE *file = std::fopen(aside.c_str(), "w");
    if (!file)
        return;
    std::fprintf(file, "{\n  \"chips\": [");
    const char *separator = "";
    for (auto &chip : bench().chips) {
        std::fprintf(file, "%s\n    { \"name\": \"%s\", \"serial\": \"%s\", \"image\": \"",
                     separator, chip->name.c_str(), chip->name.c_str());
        for (uint8_t byte : chip->eeprom)
            std::fprintf(file, "%02x", byte);
        std::fprintf(file,
                     "\",\n      \"controlTransfers\": %d, \"eepromWordsRead\": %d, "
                     "\"eepromWordsWritten\": %d, \"bulkTransfers\": %d, \"apiCalls\": %d }",
                     chip->controlTransfers, chip->eepromWordsRead, chip->eepromWordsWritten,
                     chip->bulkTransfers, chip->apiCalls);
        separator = ",";
    }
    std::fprintf(file, "\n  ]\n}\n");
    if (std::fclose(file) == 0)
        replaceFile(aside, path);
}

// The bench's "timeline": each step [ms, "plug" or "unplug", chip] done
// that long after the bench was loaded, by a thread of its own.
static void playTimeline(const QJsonArray &timeline)
{
    const Clock::time_point loaded = Clock::now();
    std::thread([timeline, loaded] {
        for (const QJsonValue &value : timeline) {
            const QJsonArray step = value.toArray();
            std::this_thread::sleep_until(loaded + std::chrono::milliseconds(step.at(0).toInt()));
            Lock lock(bench().mutex);
            Chip *chip = findChip(step.at(2).toString().toStdString().c_str());
            if (!chip)
                continue;
            if (step.at(1).toString() == QLatin1String("plug"))
                plug(*chip);
            else
                chip->unplug();
            const QDateTime now = QDateTime::currentDateTime();
            std::fprintf(
                stderr, "bench: %s %s at %s\n", qPrintable(step.at(1).toString()),
                chip->name.c_str(),
                qPrintable(now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs)));
        }
    }).detach();
}

void loadFromEnvironmentOnce(const char *who)
{
    Bench &b = bench();
    if (b.loaded)
        return;
    b.loaded = true;
    std::atexit(dumpAtExit);
    const char *path = std::getenv("FT232R_EMULATOR_BENCH");
    if (!path)
        return;
    QFile file(QString::fromLocal8Bit(path));
    const QByteArray json = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (!loadBench(json, &b.error)) {
        std::fprintf(stderr, "%s: cannot use bench %s: %s\n", who, path, b.error.c_str());
        return;
    }
    playTimeline(QJsonDocument::fromJson(json).object().value(QLatin1String("timeline")).toArray());
}

void sleepUntil(Lock &lock, Clock::time_point at)
{
    lock.unlock();
    std::this_thread::sleep_until(at);
    lock.lock();
}

Clock::time_point deadlineAfter(unsigned int timeoutMs)
{
    return timeoutMs ? Clock::now() + std::chrono::milliseconds(timeoutMs)
                     : Clock::time_point::max();
}

void afterControlTransfer(Lock &lock, Chip &chip, Nanos cost)
{
    if (chip.unplugAfterControl >= 0 && chip.controlTransfers >= chip.unplugAfterControl)
        chip.unplug();
    lock.unlock();
    std::this_thread::sleep_for(cost);
    lock.lock();
}

int sendPackets(Lock &lock, const std::function<Chip *()> &live, const uint8_t *data, int length,
                Clock::time_point deadline, int *transferred)
{
    while (*transferred < length) {
        Chip *chip = live();
        if (!chip)
            return TransferNoDevice;
        const int packet = std::min(PacketSize, length - *transferred);
        const Clock::time_point now = Clock::now();
        const Clock::time_point room = chip->roomFor(packet);
        if (room > now) {
            if (room > deadline) {
                sleepUntil(lock, deadline);
                return TransferTimeout;
            }
            sleepUntil(lock, room);
            continue;
        }
        chip->sendToLine(data + *transferred, packet, now);
        *transferred += packet;
    }
    return TransferOk;
}

} // namespace ft232r
