#include "device/ftdidevicelibrary.h"

#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <thread>

namespace {

constexpr int ImageSize = 128; // the FT232R's internal EEPROM
constexpr quint32 UnknownDeviceType = 3;

using Image = std::array<unsigned char, ImageSize>;

// FTDI's device type codes by the release number the chip reports.
quint32 deviceTypeOf(quint16 bcdDevice)
{
    switch (bcdDevice) {
    case 0x0400: return 0;
    case 0x0200: return 1;
    case 0x0500: return 4;
    case 0x0600: return DeviceTypeFt232r;
    case 0x0700: return 6;
    case 0x0800: return 7;
    case 0x0900: return 8;
    case 0x1000: return 9;
    default: return UnknownDeviceType;
    }
}

quint32 busAndAddress(libusb_device *device)
{
    return quint32(libusb_get_bus_number(device)) << 8 | libusb_get_device_address(device);
}

// A numeric field of EepromData as libftdi names it, and the image bytes
// that hold it.
struct EepromValue {
    ftdi_eeprom_value name;
    quint16 EepromData::*wide;
    quint8 EepromData::*narrow;
    std::array<int, 2> bytes; // -1: none
};

const EepromValue EepromValues[] = {
    { VENDOR_ID, &EepromData::vendorId, nullptr, { 0x02, 0x03 } },
    { PRODUCT_ID, &EepromData::productId, nullptr, { 0x04, 0x05 } },
    { MAX_POWER, &EepromData::maxPower, nullptr, { 0x09, -1 } },
    { SELF_POWERED, &EepromData::selfPowered, nullptr, { 0x08, -1 } },
    { REMOTE_WAKEUP, &EepromData::remoteWakeup, nullptr, { 0x08, -1 } },
    { EXTERNAL_OSCILLATOR, nullptr, &EepromData::useExtOsc, { 0x00, -1 } },
    { HIGH_CURRENT, nullptr, &EepromData::highDriveIOs, { 0x00, -1 } },
    { SUSPEND_PULL_DOWNS, nullptr, &EepromData::pullDownEnable, { 0x0A, -1 } },
    { USE_SERIAL, nullptr, &EepromData::serNumEnable, { 0x0A, -1 } },
    { CBUS_FUNCTION_0, nullptr, &EepromData::cbus0, { 0x14, -1 } },
    { CBUS_FUNCTION_1, nullptr, &EepromData::cbus1, { 0x14, -1 } },
    { CBUS_FUNCTION_2, nullptr, &EepromData::cbus2, { 0x15, -1 } },
    { CBUS_FUNCTION_3, nullptr, &EepromData::cbus3, { 0x15, -1 } },
    { CBUS_FUNCTION_4, nullptr, &EepromData::cbus4, { 0x16, -1 } },
};

quint8 EepromData::*const InvertBits[] = {
    &EepromData::invertTXD, &EepromData::invertRXD, &EepromData::invertRTS, &EepromData::invertCTS,
    &EepromData::invertDTR, &EepromData::invertDSR, &EepromData::invertDCD, &EepromData::invertRI,
};

int get(const EepromData &data, const EepromValue &value)
{
    return value.wide ? data.*value.wide : data.*value.narrow;
}

quint8 invertByte(const EepromData &data)
{
    quint8 bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= quint8((data.*InvertBits[i] ? 1 : 0) << i);
    return bits;
}

bool validHeader(const EepromData *data)
{
    return data && data->signature1 == EepromSignature1 && data->signature2 == EepromSignature2
        && data->version == EepromDataVersion && data->manufacturer && data->manufacturerId
        && data->description && data->serialNumber;
}

// Characters in the string descriptor named at `pointer`, 0 when absent.
int stringLength(const Image &image, int pointer)
{
    const int bytes = image[pointer + 1];
    return bytes >= 2 ? bytes / 2 - 1 : 0;
}

// One past the last byte of the strings, with the legacy port-name bytes
// that FTDI's tools write after them.
int stringsEnd(const Image &image)
{
    int end = 0x18;
    for (int pointer : { 0x0E, 0x10, 0x12 }) {
        if (image[pointer + 1] > 0)
            end = std::max(end, (image[pointer] & 0x7F) + image[pointer + 1]);
    }
    if (end + 2 < ImageSize - 2 && image[end] == 0x02 && image[end + 1] == 0x03)
        end += 3;
    return std::min(end, ImageSize - 2);
}

bool readImage(ftdi_context *ftdi, Image *image)
{
    unsigned char buffer[256];
    if (ftdi_read_eeprom(ftdi) < 0 || ftdi_get_eeprom_buf(ftdi, buffer, int(sizeof buffer)) < 0)
        return false;
    std::memcpy(image->data(), buffer, ImageSize);
    return true;
}

} // namespace

struct FtdiDeviceLibrary::Session {
    ftdi_context *ftdi = nullptr;
    int baudRate = 9600;
    ftdi_bits_type bits = BITS_8;
    ftdi_stopbits_type stopBits = STOP_BIT_1;
    ftdi_parity_type parity = NONE;
    quint32 readTimeoutMs = 0;

    ~Session()
    {
        if (ftdi)
            ftdi_free(ftdi);
    }

    // Fills `data` from the chip's EEPROM as libftdi decodes it.
    DeviceStatus readEeprom(EepromData *data, Image *image) const;
    DeviceStatus restoreLine() const;
};

DeviceStatus FtdiDeviceLibrary::Session::readEeprom(EepromData *data, Image *image) const
{
    if (!readImage(ftdi, image) || ftdi_eeprom_decode(ftdi, 0) < 0)
        return DeviceStatusCode::EepromReadFailed;
    // Strings that do not fit the caller's buffers could not be written back.
    const int lengths[]
        = { stringLength(*image, 0x0E), stringLength(*image, 0x10), stringLength(*image, 0x12) };
    if (lengths[0] >= EepromManufacturerSize || lengths[1] >= EepromDescriptionSize
        || lengths[2] >= EepromSerialNumberSize)
        return DeviceStatusCode::EepromReadFailed;
    data->manufacturer[0] = data->description[0] = data->serialNumber[0] = '\0';
    if (ftdi_eeprom_get_strings(ftdi, lengths[0] ? data->manufacturer : nullptr,
                                EepromManufacturerSize, lengths[1] ? data->description : nullptr,
                                EepromDescriptionSize, lengths[2] ? data->serialNumber : nullptr,
                                EepromSerialNumberSize)
        < 0)
        return DeviceStatusCode::EepromReadFailed;
    // D2XX gives the serial number's prefix as the manufacturer id.
    qstrncpy(data->manufacturerId, data->serialNumber, 3);

    for (const EepromValue &value : EepromValues) {
        int number = 0;
        if (ftdi_get_eeprom_value(ftdi, value.name, &number) < 0)
            return DeviceStatusCode::EepromReadFailed;
        if (value.wide)
            data->*value.wide = quint16(number);
        else
            data->*value.narrow = quint8(number);
    }
    int notPnp = 0, invert = 0;
    if (ftdi_get_eeprom_value(ftdi, IS_NOT_PNP, &notPnp) < 0
        || ftdi_get_eeprom_value(ftdi, INVERT, &invert) < 0)
        return DeviceStatusCode::EepromReadFailed;
    data->pnp = notPnp ? 0 : 1;
    for (int i = 0; i < 8; ++i)
        data->*InvertBits[i] = (invert >> i) & 1;
    data->endpointSize = (*image)[0x01];
    data->rIsD2XX = ((*image)[0x00] & 0x08) ? 1 : 0;
    return DeviceStatusCode::Ok;
}

// Writing the EEPROM resets the chip and leaves its latency timer at 119 ms.
DeviceStatus FtdiDeviceLibrary::Session::restoreLine() const
{
    if (ftdi_set_latency_timer(ftdi, LatencyMs) < 0 || ftdi_set_baudrate(ftdi, baudRate) < 0
        || ftdi_set_line_property(ftdi, bits, stopBits, parity) < 0)
        return DeviceStatusCode::IoError;
    return DeviceStatusCode::Ok;
}

FtdiDeviceLibrary::FtdiDeviceLibrary() : listing(ftdi_new()), strings(ftdi_new()) { }

FtdiDeviceLibrary::~FtdiDeviceLibrary()
{
    sessions.clear();
    if (strings)
        ftdi_free(strings);
    if (listing)
        ftdi_free(listing);
}

FtdiDeviceLibrary::Session *FtdiDeviceLibrary::session(DeviceHandle handle) const
{
    for (const auto &s : sessions) {
        if (s.get() == handle)
            return s.get();
    }
    return nullptr;
}

FtdiDeviceLibrary::Listed FtdiDeviceLibrary::describe(libusb_device *device)
{
    const quint32 key = busAndAddress(device);
    const auto cached = known.constFind(key);
    if (cached != known.constEnd())
        return *cached;
    Listed entry { UnknownDeviceType, 0, {}, {} };
    libusb_device_descriptor descriptor {};
    if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS) {
        entry.type = deviceTypeOf(descriptor.bcdDevice);
        entry.id = quint32(descriptor.idVendor) << 16 | descriptor.idProduct;
    }
    char description[EepromDescriptionSize] = {};
    char serial[EepromSerialNumberSize] = {};
    // Opens the device: a device without access or without strings is
    // listed all the same, with empty strings.
    if (strings
        && ftdi_usb_get_strings2(strings, device, nullptr, 0, description, sizeof description,
                                 serial, sizeof serial)
            == 0) {
        entry.description = QByteArray(description, int(qstrnlen(description, sizeof description)));
        entry.serial = QByteArray(serial, int(qstrnlen(serial, sizeof serial)));
    }
    known.insert(key, entry);
    return entry;
}

DeviceStatus FtdiDeviceLibrary::createDeviceInfoList(quint32 *count)
{
    if (!listing)
        return DeviceStatusCode::OtherError;
    ftdi_device_list *devices = nullptr;
    const int found = ftdi_usb_find_all(listing, &devices, 0, 0);
    if (found < 0)
        return DeviceStatusCode::IoError;
    QHash<quint32, Listed> stillAttached;
    listed.clear();
    for (ftdi_device_list *d = devices; d; d = d->next) {
        const Listed entry = describe(d->dev);
        stillAttached.insert(busAndAddress(d->dev), entry);
        listed.push_back(entry);
    }
    ftdi_list_free(&devices);
    known = stillAttached;
    *count = quint32(listed.size());
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                                  quint32 *count)
{
    const quint32 written = std::min(capacity, quint32(listed.size()));
    for (quint32 i = 0; i < written; ++i) {
        DeviceInfoRecord &record = list[i];
        record = DeviceInfoRecord {};
        record.deviceType = listed[i].type;
        record.deviceId = listed[i].id;
        qstrncpy(record.serialNumber, listed[i].serial.constData(), sizeof record.serialNumber);
        qstrncpy(record.description, listed[i].description.constData(), sizeof record.description);
    }
    *count = written;
    return DeviceStatusCode::Ok;
}

libusb_device *FtdiDeviceLibrary::findBySerial(const QByteArray &serial)
{
    ftdi_device_list *devices = nullptr;
    if (serial.isEmpty() || !listing || ftdi_usb_find_all(listing, &devices, 0, 0) < 0)
        return nullptr;
    libusb_device *match = nullptr;
    for (ftdi_device_list *d = devices; d && !match; d = d->next) {
        if (describe(d->dev).serial == serial)
            match = libusb_ref_device(d->dev);
    }
    ftdi_list_free(&devices);
    return match;
}

DeviceStatus FtdiDeviceLibrary::open(const char *serialNumber, quint32 flags, DeviceHandle *handle)
{
    if (flags != OpenBySerialNumber || !serialNumber)
        return DeviceStatusCode::InvalidParameter;
    libusb_device *device = findBySerial(QByteArray(serialNumber));
    if (!device)
        return DeviceStatusCode::DeviceNotFound;
    auto opened = std::make_unique<Session>();
    opened->ftdi = ftdi_new();
    bool ok = opened->ftdi && ftdi_set_interface(opened->ftdi, INTERFACE_A) == 0;
    if (ok) {
        opened->ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        ok = ftdi_usb_open_dev(opened->ftdi, device) == 0;
    }
    libusb_unref_device(device);
    if (!ok)
        return DeviceStatusCode::DeviceNotOpened;
    opened->readTimeoutMs = quint32(opened->ftdi->usb_read_timeout);
    if (ftdi_set_latency_timer(opened->ftdi, LatencyMs) < 0) {
        ftdi_usb_close(opened->ftdi);
        return DeviceStatusCode::IoError;
    }
    *handle = opened.get();
    sessions.push_back(std::move(opened));
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::setBaudRate(DeviceHandle handle, quint32 baudRate)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    const int result = ftdi_set_baudrate(s->ftdi, int(baudRate));
    if (result == -1)
        return DeviceStatusCode::InvalidBaudRate;
    if (result < 0)
        return DeviceStatusCode::IoError;
    s->baudRate = int(baudRate);
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::setDataCharacteristics(DeviceHandle handle, quint8 wordLength,
                                                       quint8 stopBits, quint8 parity)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4)
        return DeviceStatusCode::InvalidParameter;
    const auto bits = wordLength == 7 ? BITS_7 : BITS_8;
    const auto stop = stopBits == 2 ? STOP_BIT_2 : STOP_BIT_1;
    const auto parityType = ftdi_parity_type(parity);
    if (ftdi_set_line_property(s->ftdi, bits, stop, parityType) < 0)
        return DeviceStatusCode::IoError;
    s->bits = bits;
    s->stopBits = stop;
    s->parity = parityType;
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                                            quint32 writeTimeoutMs)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    // libftdi1 has no setter: the context holds the USB time-outs.
    s->ftdi->usb_read_timeout = int(std::min<quint32>(readTimeoutMs, INT_MAX));
    s->ftdi->usb_write_timeout = int(std::min<quint32>(writeTimeoutMs, INT_MAX));
    s->readTimeoutMs = readTimeoutMs;
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::eepromRead(DeviceHandle handle, EepromData *data)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    if (!validHeader(data))
        return DeviceStatusCode::InvalidParameter;
    Image image;
    return s->readEeprom(data, &image);
}

DeviceStatus FtdiDeviceLibrary::eepromProgram(DeviceHandle handle, EepromData *data)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    if (!validHeader(data) || !std::memchr(data->manufacturer, 0, EepromManufacturerSize)
        || !std::memchr(data->manufacturerId, 0, EepromManufacturerIdSize)
        || !std::memchr(data->description, 0, EepromDescriptionSize)
        || !std::memchr(data->serialNumber, 0, EepromSerialNumberSize))
        return DeviceStatusCode::InvalidParameter;

    // Read, modify, write: start from what the chip holds now.
    char manufacturer[EepromManufacturerSize], manufacturerId[EepromManufacturerIdSize],
        description[EepromDescriptionSize], serial[EepromSerialNumberSize];
    EepromData current = *data;
    current.manufacturer = manufacturer;
    current.manufacturerId = manufacturerId;
    current.description = description;
    current.serialNumber = serial;
    Image before;
    if (const DeviceStatus status = s->readEeprom(&current, &before); status != 0)
        return status;

    std::array<bool, ImageSize> mayChange {};
    auto allow = [&](std::initializer_list<int> bytes) {
        for (int b : bytes)
            mayChange[size_t(b)] = true;
    };
    allow({ 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, ImageSize - 2, ImageSize - 1 });

    bool failed = false;
    for (const EepromValue &value : EepromValues) {
        if (get(*data, value) != get(current, value)) {
            failed |= ftdi_set_eeprom_value(s->ftdi, value.name, get(*data, value)) < 0;
            for (int b : value.bytes) {
                if (b >= 0)
                    mayChange[size_t(b)] = true;
            }
        }
    }
    if (invertByte(*data) != invertByte(current)) {
        failed |= ftdi_set_eeprom_value(s->ftdi, INVERT, invertByte(*data)) < 0;
        allow({ 0x0B });
    }
    if ((data->pnp != 0) != (current.pnp != 0))
        failed |= ftdi_set_eeprom_value(s->ftdi, IS_NOT_PNP, data->pnp ? 0 : 1) < 0;
    if ((data->rIsD2XX != 0) != (current.rIsD2XX != 0)) {
        failed |= ftdi_set_eeprom_value(s->ftdi, CHANNEL_A_DRIVER, data->rIsD2XX ? 0 : 1) < 0;
        allow({ 0x00 });
    }
    // The FT232R keeps no manufacturer id and a fixed endpoint size.
    failed |= data->endpointSize != current.endpointSize
        || qstrcmp(data->manufacturerId, current.manufacturerId) != 0;
    auto changed = [](const char *wanted, const char *now) {
        return qstrcmp(wanted, now) != 0 ? wanted : nullptr;
    };
    failed |= ftdi_eeprom_set_strings(s->ftdi, changed(data->manufacturer, manufacturer),
                                      changed(data->description, description),
                                      changed(data->serialNumber, serial))
        < 0;
    if (failed || ftdi_eeprom_build(s->ftdi) < 0)
        return DeviceStatusCode::EepromWriteFailed;

    unsigned char built[256];
    if (ftdi_get_eeprom_buf(s->ftdi, built, int(sizeof built)) < 0)
        return DeviceStatusCode::EepromWriteFailed;
    Image after;
    std::memcpy(after.data(), built, ImageSize);
    const int firstString = std::min({ before[0x0E] & 0x7F, after[0x0E] & 0x7F, 0x18 });
    for (int b = firstString; b < std::max(stringsEnd(before), stringsEnd(after)); ++b)
        mayChange[size_t(b)] = true;
    // A rebuild may drop what libftdi does not know; such a chip is not written.
    for (int b = 0; b < ImageSize; ++b) {
        if (before[size_t(b)] != after[size_t(b)] && !mayChange[size_t(b)])
            return DeviceStatusCode::EepromWriteFailed;
    }

    const bool written = ftdi_write_eeprom(s->ftdi) == 0;
    const DeviceStatus restored = s->restoreLine();
    Image readBack;
    if (!written || !readImage(s->ftdi, &readBack) || readBack != after)
        return DeviceStatusCode::EepromWriteFailed;
    return restored;
}

DeviceStatus FtdiDeviceLibrary::write(DeviceHandle handle, const void *buffer, quint32 count,
                                      quint32 *written)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    const int result = ftdi_write_data(s->ftdi, static_cast<const unsigned char *>(buffer),
                                       int(std::min<quint32>(count, INT_MAX)));
    if (result < 0) { // libftdi does not tell how much went out before the failure
        *written = 0;
        return DeviceStatusCode::IoError;
    }
    *written = quint32(result);
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::read(DeviceHandle handle, void *buffer, quint32 count,
                                     quint32 *received)
{
    Session *s = session(handle);
    if (!s)
        return DeviceStatusCode::InvalidHandle;
    // libftdi returns what has arrived; a read lasts until the count has
    // arrived or the read time-out has passed.
    QElapsedTimer clock;
    clock.start();
    auto *bytes = static_cast<unsigned char *>(buffer);
    quint32 got = 0;
    while (got < count) {
        const int result
            = ftdi_read_data(s->ftdi, bytes + got, int(std::min<quint32>(count - got, INT_MAX)));
        if (result < 0) {
            *received = got;
            return DeviceStatusCode::IoError;
        }
        got += quint32(result);
        if (got < count && s->readTimeoutMs != 0 && clock.elapsed() >= qint64(s->readTimeoutMs))
            break;
        if (result == 0)
            std::this_thread::yield();
    }
    *received = got;
    return DeviceStatusCode::Ok;
}

DeviceStatus FtdiDeviceLibrary::close(DeviceHandle handle)
{
    const auto found = std::find_if(sessions.begin(), sessions.end(),
                                    [&](const auto &s) { return s.get() == handle; });
    if (found == sessions.end())
        return DeviceStatusCode::InvalidHandle;
    const int result = ftdi_usb_close((*found)->ftdi);
    sessions.erase(found); // the session is gone whether or not the device was
    return result < 0 ? DeviceStatusCode::IoError : DeviceStatusCode::Ok;
}
