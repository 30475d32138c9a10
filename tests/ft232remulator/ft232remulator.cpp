// A fake libusb-1.0 with emulated FT232R chips behind it, good enough for the
// real, unmodified libftdi1 to list, open, configure, read, write and program
// them. Tests only: it is linked ahead of libusb, or preloaded.

#include "ft232remulator.h"

#include <libusb-1.0/libusb.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int EepromBytes = 128;
constexpr int PacketSize = 64;
constexpr int PacketData = PacketSize - 2;
constexpr int TxBufferBytes = 256;
constexpr uint8_t ModemStatus[2] = { 0x01, 0x60 };

enum : uint8_t {
    RequestReset = 0x00,
    RequestModemCtrl = 0x01,
    RequestFlowCtrl = 0x02,
    RequestBaudRate = 0x03,
    RequestData = 0x04,
    RequestModemStatus = 0x05,
    RequestEventChar = 0x06,
    RequestErrorChar = 0x07,
    RequestSetLatency = 0x09,
    RequestGetLatency = 0x0A,
    RequestBitMode = 0x0B,
    RequestReadPins = 0x0C,
    RequestReadEeprom = 0x90,
    RequestWriteEeprom = 0x91,
};

struct Chip {
    std::string serial;
    std::array<uint8_t, EepromBytes> eeprom {};
    bool cannotOpen = false;
    bool noSerial = false;
    bool andOnWrite = false;
    int unplugAfterBulk = -1;
    int bulkTransfers = 0;

    bool plugged = false;
    int address = 0;
    // What the chip enumerated with; follows the EEPROM on the next plug.
    uint16_t vendorId = 0x0403, productId = 0x6001;
    std::string manufacturer, product, serialString;
    bool hasSerial = true;

    bool kernelDriver = true;
    libusb_device_handle *claimedBy = nullptr;
    int latencyMs = 16;
    int baud = 9600, bits = 8, stopBits = 0, parity = 0;
    std::deque<std::pair<uint8_t, Clock::time_point>> receiveQueue;
    std::vector<uint8_t> received;
    Clock::time_point lineFreeAt {}, lastPacket {};
    std::string peer;

    bool sameLine(const Chip &o) const
    {
        return baud == o.baud && bits == o.bits && stopBits == o.stopBits && parity == o.parity;
    }
    Clock::duration charTime() const
    {
        const int bitsPerChar = 1 + bits + (parity ? 1 : 0) + (stopBits == 2 ? 2 : 1);
        return microseconds(int64_t(bitsPerChar) * 1000000 / baud);
    }
};

} // namespace

struct libusb_context {
    int unused;
};

struct libusb_device {
    Chip *chip;
    int address;
    int references;
};

struct libusb_device_handle {
    libusb_device *device;
    bool autoDetach = false;
    bool claimed = false;
    bool detachedDriver = false;
};

namespace {

struct Bench {
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<Chip>> chips;
    std::vector<libusb_device *> devices; // every device object still referenced
    int openHandles = 0;
    int opens = 0;
    int nextAddress = 2;
    bool loaded = false;
    std::string error;
    libusb_context defaultContext {};
};

Bench &bench()
{
    static Bench *instance = new Bench; // outlives every user, even at exit
    return *instance;
}

Chip *findChip(const char *serial)
{
    for (auto &chip : bench().chips) {
        if (serial && chip->serial == serial)
            return chip.get();
    }
    return nullptr;
}

Chip *liveChip(const libusb_device *device)
{
    Chip *chip = device ? device->chip : nullptr;
    return chip && chip->plugged && chip->address == device->address ? chip : nullptr;
}

Chip *liveChip(const libusb_device_handle *handle)
{
    return handle ? liveChip(handle->device) : nullptr;
}

uint16_t word(const std::array<uint8_t, EepromBytes> &image, int offset)
{
    return uint16_t(image[offset] | (image[offset + 1] << 8));
}

uint16_t checksum(const std::array<uint8_t, EepromBytes> &image)
{
    uint16_t sum = 0xAAAA;
    for (int i = 0; i < EepromBytes - 2; i += 2) {
        sum ^= word(image, i);
        sum = uint16_t((sum << 1) | (sum >> 15));
    }
    return sum;
}

std::string stringDescriptor(const std::array<uint8_t, EepromBytes> &image, int pointer)
{
    const int offset = image[pointer] & 0x7F;
    const int length = image[pointer + 1];
    std::string text;
    for (int i = offset + 2; i + 1 < offset + length && i + 1 < EepromBytes; i += 2)
        text += char(image[i]);
    return text;
}

// An FT232R image as FTDI's tools write it: configuration, then the three
// string descriptors from 0x18, the legacy port-name bytes, the checksum.
std::array<uint8_t, EepromBytes> factoryImage(const std::string &manufacturer,
                                              const std::string &product, const std::string &serial)
{
    std::array<uint8_t, EepromBytes> image {};
    const uint8_t header[]
        = { 0x00, 0x40, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0xA0, 45, 0x08, 0x00, 0x00, 0x02 };
    std::copy(std::begin(header), std::end(header), image.begin());
    int at = 0x18;
    const std::string *strings[] = { &manufacturer, &product, &serial };
    for (int s = 0; s < 3; ++s) {
        const int length = 2 + 2 * int(strings[s]->size());
        image[0x0E + 2 * s] = uint8_t(0x80 | at);
        image[0x0F + 2 * s] = uint8_t(length);
        image[at] = uint8_t(length);
        image[at + 1] = 0x03;
        for (size_t i = 0; i < strings[s]->size(); ++i)
            image[at + 2 + 2 * i] = uint8_t((*strings[s])[i]);
        at += length;
    }
    image[at] = 0x02;
    image[at + 1] = 0x03;
    image[0x14] = 0x23; // CBUS0 TXLED#, CBUS1 RXLED#
    image[0x15] = 0x10; // CBUS2 TXDEN, CBUS3 PWREN#
    image[0x16] = 0x05; // CBUS4 SLEEP#
    const uint16_t sum = checksum(image);
    image[EepromBytes - 2] = uint8_t(sum);
    image[EepromBytes - 1] = uint8_t(sum >> 8);
    return image;
}

void enumerate(Chip &chip)
{
    if (checksum(chip.eeprom) == word(chip.eeprom, EepromBytes - 2)) {
        chip.vendorId = word(chip.eeprom, 0x02);
        chip.productId = word(chip.eeprom, 0x04);
        chip.manufacturer = stringDescriptor(chip.eeprom, 0x0E);
        chip.product = stringDescriptor(chip.eeprom, 0x10);
        chip.serialString = stringDescriptor(chip.eeprom, 0x12);
        chip.hasSerial = (chip.eeprom[0x0A] & 0x08) && !chip.noSerial;
    } else { // a blank or damaged EEPROM: the chip's built-in defaults
        chip.vendorId = 0x0403;
        chip.productId = 0x6001;
        chip.manufacturer = "FTDI";
        chip.product = "FT232R USB UART";
        chip.hasSerial = false;
    }
}

void plug(Chip &chip)
{
    if (chip.plugged)
        return;
    enumerate(chip);
    chip.plugged = true;
    chip.address = bench().nextAddress++;
    chip.kernelDriver = true;
    chip.claimedBy = nullptr;
    chip.latencyMs = 16;
    chip.baud = 9600;
    chip.bits = 8;
    chip.stopBits = 0;
    chip.parity = 0;
    chip.bulkTransfers = 0;
    chip.lineFreeAt = chip.lastPacket = Clock::now();
}

void unplug(Chip &chip)
{
    chip.plugged = false;
    chip.claimedBy = nullptr;
    chip.receiveQueue.clear();
}

libusb_device *deviceFor(Chip &chip)
{
    for (libusb_device *device : bench().devices) {
        if (device->chip == &chip && device->address == chip.address)
            return device;
    }
    auto *device = new libusb_device { &chip, chip.address, 0 };
    bench().devices.push_back(device);
    return device;
}

void dumpAtExit()
{
    const char *path = std::getenv("FT232R_EMULATOR_DUMP");
    if (!path)
        return;
    FILE *file = std::fopen(path, "w");
    if (!file)
        return;
    std::fprintf(file, "{\n  \"chips\": [");
    const char *separator = "";
    for (auto &chip : bench().chips) {
        std::fprintf(file, "%s\n    { \"serial\": \"%s\", \"image\": \"", separator,
                     chip->serial.c_str());
        for (uint8_t byte : chip->eeprom)
            std::fprintf(file, "%02x", byte);
        std::fprintf(file, "\" }");
        separator = ",";
    }
    std::fprintf(file, "\n  ]\n}\n");
    std::fclose(file);
}

bool loadBench(const QByteArray &json, std::string *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = "bench is not a JSON object: " + parseError.errorString().toStdString();
        return false;
    }
    std::vector<std::unique_ptr<Chip>> chips;
    for (const QJsonValue &value : document.object().value(QLatin1String("chips")).toArray()) {
        const QJsonObject object = value.toObject();
        auto chip = std::make_unique<Chip>();
        chip->serial = object.value(QLatin1String("serial")).toString().toStdString();
        if (chip->serial.empty()) {
            *error = "a chip needs a serial";
            return false;
        }
        const QString hex = object.value(QLatin1String("image")).toString();
        if (!hex.isEmpty()) {
            const QByteArray image = QByteArray::fromHex(hex.toLatin1());
            if (image.size() != EepromBytes) {
                *error = "chip " + chip->serial + ": an image has 128 bytes";
                return false;
            }
            std::memcpy(chip->eeprom.data(), image.constData(), EepromBytes);
        } else {
            chip->eeprom = factoryImage(object.value(QLatin1String("manufacturer"))
                                            .toString(QStringLiteral("FTDI"))
                                            .toStdString(),
                                        object.value(QLatin1String("description"))
                                            .toString(QStringLiteral("FT232R USB UART"))
                                            .toStdString(),
                                        chip->serial);
        }
        chip->cannotOpen = object.value(QLatin1String("cannotOpen")).toBool();
        chip->noSerial = object.value(QLatin1String("noSerial")).toBool();
        chip->andOnWrite = object.value(QLatin1String("andOnWrite")).toBool();
        chip->unplugAfterBulk = object.value(QLatin1String("unplugAfterBulk")).toInt(-1);
        plug(*chip);
        const QByteArray stale
            = QByteArray::fromHex(object.value(QLatin1String("staleBytes")).toString().toLatin1());
        for (char byte : stale)
            chip->receiveQueue.emplace_back(uint8_t(byte), Clock::now());
        chips.push_back(std::move(chip));
    }
    for (auto &device : bench().devices)
        device->chip = nullptr; // whatever is still referenced is gone
    bench().chips = std::move(chips);
    for (const QJsonValue &value : document.object().value(QLatin1String("links")).toArray()) {
        const QJsonArray pair = value.toArray();
        Chip *a = findChip(pair.at(0).toString().toStdString().c_str());
        Chip *b = findChip(pair.at(1).toString().toStdString().c_str());
        if (!a || !b || a == b) {
            *error = "a link names unknown chips";
            return false;
        }
        a->peer = b->serial;
        b->peer = a->serial;
    }
    return true;
}

void loadFromEnvironmentOnce()
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
    if (!file.open(QIODevice::ReadOnly) || !loadBench(file.readAll(), &b.error))
        std::fprintf(stderr, "FT232R emulator: cannot use bench %s: %s\n", path, b.error.c_str());
}

int decodeBaudRate(uint16_t value, uint16_t index)
{
    static const int eighths[8] = { 0, 4, 2, 1, 3, 5, 6, 7 };
    const int whole = value & 0x3FFF;
    const int code = (value >> 14) | ((index & 1) << 2);
    if (whole == 0 && code == 0)
        return 3000000;
    if (whole == 1 && code == 0)
        return 2000000;
    const int divisor8 = whole * 8 + eighths[code];
    return (3000000 * 8 + divisor8 / 2) / divisor8;
}

int vendorOut(Chip &chip, uint8_t request, uint16_t value, uint16_t index)
{
    switch (request) {
    case RequestReset:
        if (value == 1)
            chip.receiveQueue.clear();
        return 0;
    case RequestBaudRate: chip.baud = decodeBaudRate(value, index); return 0;
    case RequestData:
        chip.bits = value & 0xFF;
        chip.parity = (value >> 8) & 0x07;
        chip.stopBits = (value >> 11) & 0x03;
        return 0;
    case RequestSetLatency:
        if ((value & 0xFF) == 0)
            return LIBUSB_ERROR_PIPE;
        chip.latencyMs = value & 0xFF;
        return 0;
    case RequestWriteEeprom: {
        const int at = (index % (EepromBytes / 2)) * 2;
        const uint16_t stored = chip.andOnWrite ? uint16_t(word(chip.eeprom, at) & value) : value;
        chip.eeprom[at] = uint8_t(stored);
        chip.eeprom[at + 1] = uint8_t(stored >> 8);
        return 0;
    }
    case RequestModemCtrl:
    case RequestFlowCtrl:
    case RequestEventChar:
    case RequestErrorChar:
    case RequestBitMode: return 0;
    default: return LIBUSB_ERROR_PIPE;
    }
}

int vendorIn(Chip &chip, uint8_t request, uint16_t index, unsigned char *data, uint16_t length)
{
    switch (request) {
    case RequestModemStatus:
        if (length < 2)
            return LIBUSB_ERROR_OVERFLOW;
        std::memcpy(data, ModemStatus, 2);
        return 2;
    case RequestGetLatency:
        if (length < 1)
            return LIBUSB_ERROR_OVERFLOW;
        data[0] = uint8_t(chip.latencyMs);
        return 1;
    case RequestReadPins:
        if (length < 1)
            return LIBUSB_ERROR_OVERFLOW;
        data[0] = 0xFF;
        return 1;
    case RequestReadEeprom: {
        if (length < 2)
            return LIBUSB_ERROR_OVERFLOW;
        const int at = (index % (EepromBytes / 2)) * 2; // the internal EEPROM wraps
        data[0] = chip.eeprom[at];
        data[1] = chip.eeprom[at + 1];
        return 2;
    }
    default: return LIBUSB_ERROR_PIPE;
    }
}

void countBulkTransfer(Chip &chip)
{
    if (chip.unplugAfterBulk >= 0 && ++chip.bulkTransfers >= chip.unplugAfterBulk)
        unplug(chip);
}

int bulkOut(Chip &chip, const unsigned char *data, int length)
{
    Clock::time_point now = Clock::now();
    const Clock::duration charTime = chip.charTime();
    // The chip takes what fits its transmit buffer and naks the rest.
    const Clock::time_point fits = chip.lineFreeAt - charTime * (TxBufferBytes - length);
    if (fits > now) {
        std::this_thread::sleep_until(fits);
        now = Clock::now();
    }
    Clock::time_point at = std::max(now, chip.lineFreeAt);
    Chip *peer = findChip(chip.peer.c_str());
    const bool garbled = peer && !peer->sameLine(chip);
    for (int i = 0; i < length; ++i) {
        at += charTime;
        if (peer && peer->plugged) {
            const uint8_t byte = garbled ? uint8_t(~data[i]) : data[i];
            peer->receiveQueue.emplace_back(byte, at);
            peer->received.push_back(byte);
        }
    }
    chip.lineFreeAt = at;
    return length;
}

// One bulk IN transfer: full packets while 62 bytes are waiting, then a
// short packet when the latency timer runs out, as an FT232R sends them.
int bulkIn(Chip &chip, unsigned char *data, int length, unsigned int timeoutMs, int *transferred)
{
    const Clock::time_point deadline
        = timeoutMs ? Clock::now() + milliseconds(timeoutMs) : Clock::time_point::max();
    int out = 0;
    auto sendPacket = [&](int count) {
        std::memcpy(data + out, ModemStatus, 2);
        for (int i = 0; i < count; ++i) {
            data[out + 2 + i] = chip.receiveQueue.front().first;
            chip.receiveQueue.pop_front();
        }
        out += 2 + count;
        chip.lastPacket = Clock::now();
    };
    while (true) {
        if (length - out < PacketSize) {
            *transferred = out;
            return 0;
        }
        const Clock::time_point now = Clock::now();
        int arrived = 0;
        while (arrived < int(chip.receiveQueue.size()) && chip.receiveQueue[arrived].second <= now)
            ++arrived;
        if (arrived >= PacketData) {
            sendPacket(PacketData);
            continue;
        }
        const Clock::time_point full = int(chip.receiveQueue.size()) >= PacketData
            ? chip.receiveQueue[PacketData - 1].second
            : Clock::time_point::max();
        const Clock::time_point latency = chip.lastPacket + milliseconds(chip.latencyMs);
        const Clock::time_point next = std::min(full, latency);
        if (next > deadline) {
            std::this_thread::sleep_until(deadline);
            *transferred = out;
            return LIBUSB_ERROR_TIMEOUT;
        }
        std::this_thread::sleep_until(next);
        if (full <= latency)
            continue;
        const Clock::time_point flushed = Clock::now();
        int ready = 0;
        while (ready < int(chip.receiveQueue.size()) && chip.receiveQueue[ready].second <= flushed)
            ++ready;
        sendPacket(std::min(ready, PacketData));
        *transferred = out;
        return 0;
    }
}

} // namespace

// --- libusb-1.0 -----------------------------------------------------------

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **context)
{
    std::lock_guard lock(bench().mutex);
    loadFromEnvironmentOnce();
    if (context)
        *context = new libusb_context {};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *context)
{
    delete context;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    std::lock_guard lock(bench().mutex);
    std::vector<libusb_device *> found;
    for (auto &chip : bench().chips) {
        if (chip->plugged)
            found.push_back(deviceFor(*chip));
    }
    auto **result = static_cast<libusb_device **>(std::calloc(found.size() + 1, sizeof(void *)));
    if (!result)
        return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < found.size(); ++i) {
        ++found[i]->references;
        result[i] = found[i];
    }
    *list = result;
    return ssize_t(found.size());
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *device)
{
    std::lock_guard lock(bench().mutex);
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *device)
{
    std::lock_guard lock(bench().mutex);
    if (!device || --device->references > 0)
        return;
    auto &devices = bench().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
    delete device;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unrefDevices)
{
    if (!list)
        return;
    if (unrefDevices) {
        for (libusb_device **device = list; *device; ++device)
            libusb_unref_device(*device);
    }
    std::free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = device ? device->chip : nullptr;
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    // Cached at enumeration, as libusb does: readable while the device object lives.
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 8;
    descriptor->idVendor = chip->vendorId;
    descriptor->idProduct = chip->productId;
    descriptor->bcdDevice = 0x0600;
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = chip->hasSerial ? 3 : 0;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *device, uint8_t index,
                                             struct libusb_config_descriptor **config)
{
    if (!device || index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    struct Block {
        libusb_config_descriptor config;
        libusb_interface interface;
        libusb_interface_descriptor altsetting;
        libusb_endpoint_descriptor endpoints[2];
    };
    auto *block = static_cast<Block *>(std::calloc(1, sizeof(Block)));
    if (!block)
        return LIBUSB_ERROR_NO_MEM;
    for (int i = 0; i < 2; ++i) {
        libusb_endpoint_descriptor &endpoint = block->endpoints[i];
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = i == 0 ? 0x81 : 0x02;
        endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        endpoint.wMaxPacketSize = PacketSize;
    }
    block->altsetting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    block->altsetting.bDescriptorType = LIBUSB_DT_INTERFACE;
    block->altsetting.bNumEndpoints = 2;
    block->altsetting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    block->altsetting.endpoint = block->endpoints;
    block->interface.altsetting = &block->altsetting;
    block->interface.num_altsetting = 1;
    block->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    block->config.bDescriptorType = LIBUSB_DT_CONFIG;
    block->config.bNumInterfaces = 1;
    block->config.bConfigurationValue = 1;
    block->config.bmAttributes = 0xA0;
    block->config.MaxPower = 45;
    block->config.interface = &block->interface;
    *config = &block->config; // the block starts with the config: one free() releases all
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    std::free(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *device)
{
    return uint8_t(device ? device->address : 0);
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = liveChip(device);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (chip->cannotOpen)
        return LIBUSB_ERROR_ACCESS;
    ++device->references;
    *handle = new libusb_device_handle { device };
    ++bench().openHandles;
    ++bench().opens;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard lock(bench().mutex);
    if (!handle->claimed || interfaceNumber != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    chip->claimedBy = nullptr;
    if (handle->detachedDriver) {
        chip->kernelDriver = true; // re-attached, as auto-detach promises
        handle->detachedDriver = false;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    if (!handle)
        return;
    std::lock_guard lock(bench().mutex);
    if (handle->claimed)
        libusb_release_interface(handle, 0);
    --bench().openHandles;
    libusb_unref_device(handle->device);
    delete handle;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *handle, int enable)
{
    handle->autoDetach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0 || !chip->kernelDriver)
        return LIBUSB_ERROR_NOT_FOUND;
    chip->kernelDriver = false;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *handle, int *configuration)
{
    if (!liveChip(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int configuration)
{
    if (!liveChip(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interfaceNumber)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interfaceNumber != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (chip->claimedBy && chip->claimedBy != handle)
        return LIBUSB_ERROR_BUSY;
    if (chip->kernelDriver) {
        if (!handle->autoDetach)
            return LIBUSB_ERROR_BUSY;
        chip->kernelDriver = false;
        handle->detachedDriver = true;
    }
    chip->claimedBy = handle;
    handle->claimed = true;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char *data, uint16_t length, unsigned int)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (requestType == (LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT))
        return vendorOut(*chip, request, value, index);
    if (requestType == (LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_IN))
        return vendorIn(*chip, request, index, data, length);
    return LIBUSB_ERROR_PIPE;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *transferred,
                                     unsigned int timeout)
{
    std::lock_guard lock(bench().mutex);
    *transferred = 0;
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    int result;
    if (endpoint == 0x02) {
        *transferred = bulkOut(*chip, data, length);
        result = LIBUSB_SUCCESS;
    } else if (endpoint == 0x81) {
        result = bulkIn(*chip, data, length, timeout, transferred);
    } else {
        return LIBUSB_ERROR_PIPE;
    }
    countBulkTransfer(*chip);
    return result;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                                   unsigned char *data, int length)
{
    std::lock_guard lock(bench().mutex);
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    Chip *chip = liveChip(handle);
    if (!chip)
        return LIBUSB_ERROR_NO_DEVICE;
    const std::string *text = index == 1 ? &chip->manufacturer
        : index == 2                     ? &chip->product
        : index == 3 && chip->hasSerial  ? &chip->serialString
                                         : nullptr;
    if (!text)
        return LIBUSB_ERROR_PIPE;
    const int count = std::min(int(text->size()), length - 1);
    std::memcpy(data, text->data(), size_t(count));
    data[count] = '\0';
    return count;
}

// The asynchronous interface is not used by the station; it exists so that
// libftdi links, and reports itself unsupported.
struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    const size_t size = sizeof(libusb_transfer)
        + sizeof(libusb_iso_packet_descriptor) * size_t(std::max(isoPackets, 0));
    return static_cast<libusb_transfer *>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *transfer)
{
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *, struct timeval *)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *, struct timeval *, int *)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

// --- control of the emulator -------------------------------------------------

int ft232r_emulator_load(const char *json)
{
    std::lock_guard lock(bench().mutex);
    bench().loaded = true;
    bench().error.clear();
    return loadBench(QByteArray(json), &bench().error) ? 0 : -1;
}

const char *ft232r_emulator_error(void)
{
    return bench().error.c_str();
}

int ft232r_emulator_eeprom(const char *serial, unsigned char image[128])
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = findChip(serial);
    if (!chip)
        return -1;
    std::memcpy(image, chip->eeprom.data(), EepromBytes);
    return 0;
}

int ft232r_emulator_line(const char *serial, int *baud, int *bits, int *stopBits, int *parity)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = findChip(serial);
    if (!chip)
        return -1;
    *baud = chip->baud;
    *bits = chip->bits;
    *stopBits = chip->stopBits;
    *parity = chip->parity;
    return 0;
}

int ft232r_emulator_latency(const char *serial)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = findChip(serial);
    return chip ? chip->latencyMs : -1;
}

size_t ft232r_emulator_received(const char *serial, unsigned char *buffer, size_t capacity)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = findChip(serial);
    if (!chip)
        return 0;
    const size_t count = std::min(capacity, chip->received.size());
    std::memcpy(buffer, chip->received.data(), count);
    return count;
}

int ft232r_emulator_kernel_driver_attached(const char *serial)
{
    std::lock_guard lock(bench().mutex);
    Chip *chip = findChip(serial);
    return chip && chip->kernelDriver ? 1 : 0;
}

int ft232r_emulator_open_handles(void)
{
    std::lock_guard lock(bench().mutex);
    return bench().openHandles;
}

int ft232r_emulator_open_count(void)
{
    std::lock_guard lock(bench().mutex);
    return bench().opens;
}

void ft232r_emulator_unplug(const char *serial)
{
    std::lock_guard lock(bench().mutex);
    if (Chip *chip = findChip(serial))
        unplug(*chip);
}

void ft232r_emulator_plug(const char *serial)
{
    std::lock_guard lock(bench().mutex);
    if (Chip *chip = findChip(serial))
        plug(*chip);
}

} // extern "C"
