#include "device/ftdi/ftdidevicelibrary.h"

#include "device/chipeeprom.h"
#include "device/latencytimer.h"

#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <QElapsedTimer>

#include <algorithm>
#include <climits>
#include <functional>
#include <thread>

namespace {

constexpr quint32 UnknownDeviceType = 3;

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

// FTDI's vendor requests for one EEPROM word, as libftdi1 sends them.
constexpr quint8 ReadEepromRequest = 0x90;
constexpr quint8 WriteEepromRequest = 0x91;
constexpr quint8 VendorIn
    = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_IN;
constexpr quint8 VendorOut
    = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT;
// libftdi1 sets this latency before writing the EEPROM, as FTDI's MProg does.
constexpr unsigned char EepromWriteLatency = 0x77;

// A string of the device in ASCII, as libusb gives it, at most `capacity`
// bytes with its NUL; empty when the device has none (index 0) or no answer.
QByteArray asciiString(libusb_device_handle *handle, quint8 index, int capacity)
{
    if (index == 0)
        return {};
    QByteArray text(capacity, '\0');
    const int length = libusb_get_string_descriptor_ascii(
        handle, index, reinterpret_cast<unsigned char *>(text.data()), capacity);
    return length > 0 ? text.left(int(qstrnlen(text.constData(), size_t(length)))) : QByteArray();
}

bool readWord(ftdi_context *ftdi, int index, quint16 *value)
{
    unsigned char bytes[2];
    if (libusb_control_transfer(ftdi->usb_dev, VendorIn, ReadEepromRequest, 0, quint16(index),
                                bytes, 2, unsigned(ftdi->usb_read_timeout))
        != 2)
        return false;
    *value = quint16(bytes[0] | bytes[1] << 8);
    return true;
}

} // namespace

// Where a device sits on USB: its bus in the top byte, then the port of each
// hub on its path from the root, 6 bits each, at most four of them (0: no
// further port; ports count from 1). Unlike the address, it stays the same
// when the chip is plugged again into the same port. 0 when the path does
// not fit.
constexpr int LocationPortBits = 6;
constexpr int LocationMaxPorts = 4;

quint32 usbLocationOf(libusb_device *device)
{
    uint8_t ports[7] = {};
    const int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    if (depth < 1 || depth > LocationMaxPorts)
        return 0;
    quint32 location = quint32(libusb_get_bus_number(device)) << 24;
    for (int i = 0; i < depth; ++i) {
        if (ports[i] == 0 || ports[i] >= 1u << LocationPortBits)
            return 0;
        location |= quint32(ports[i]) << (24 - LocationPortBits * (i + 1));
    }
    return location;
}

struct FtdiDeviceLibrary::Session : EepromWordAccess {
    ftdi_context *ftdi = nullptr;
    quint32 address = 0; // bus and address of the chip
    int baudRate = 9600;
    ftdi_bits_type bits = BITS_8;
    ftdi_stopbits_type stopBits = STOP_BIT_1;
    ftdi_parity_type parity = NONE;
    quint32 readTimeoutMs = 0;
    quint8 latency = 0; // as settled on open; 0: unknown
    ChipEeprom eeprom { *this };

    ~Session() override
    {
        if (ftdi)
            ftdi_free(ftdi);
    }

    bool readWord(int index, quint16 *value) override { return ::readWord(ftdi, index, value); }
    bool writeWord(int index, quint16 value) override
    {
        return libusb_control_transfer(ftdi->usb_dev, VendorOut, WriteEepromRequest, value,
                                       quint16(index), nullptr, 0,
                                       unsigned(ftdi->usb_write_timeout))
            == 0;
    }
    // libftdi1's own preamble to an EEPROM write, as FTDI's MProg does it.
    bool prepareWrite() override
    {
        unsigned short modemStatus = 0;
        return ftdi_usb_reset(ftdi) == 0 && ftdi_poll_modem_status(ftdi, &modemStatus) == 0
            && ftdi_set_latency_timer(ftdi, EepromWriteLatency) == 0;
    }
    // The reset and the write latency leave the line as it was not.
    DeviceStatus finishWrite() override
    {
        latency = latencytimer::restore(setLatency(), getLatency(), latency);
        if (ftdi_set_baudrate(ftdi, baudRate) < 0
            || ftdi_set_line_property(ftdi, bits, stopBits, parity) < 0)
            return DeviceStatusCode::IoError;
        return DeviceStatusCode::Ok;
    }

    latencytimer::Set setLatency() const
    {
        return [this](quint8 ms) { return ftdi_set_latency_timer(ftdi, ms) == 0; };
    }
    latencytimer::Get getLatency() const
    {
        return [this](quint8 *ms) { return ftdi_get_latency_timer(ftdi, ms) == 0; };
    }

    // libftdi1's open has reset the chip: its buffers are empty, flow
    // control and the event character off. The error character survives a
    // reset.
    bool clearLeftovers() const
    {
        return ftdi_setflowctrl(ftdi, SIO_DISABLE_FLOW_CTRL) == 0
            && ftdi_set_event_char(ftdi, 0, 0) == 0 && ftdi_set_error_char(ftdi, 0, 0) == 0;
    }
};

FtdiDeviceLibrary::FtdiDeviceLibrary() : listing(ftdi_new()) { }

FtdiDeviceLibrary::~FtdiDeviceLibrary()
{
    sessions.clear();
    if (listing)
        ftdi_free(listing);
}

QString FtdiDeviceLibrary::locationText(quint32 locationId) const
{
    // As Linux names the device in sysfs: bus, then the ports ("1-1.4").
    QString text = QString::number(locationId >> 24) + QLatin1Char('-');
    for (int i = 1; i <= LocationMaxPorts; ++i) {
        const quint32 port
            = locationId >> (24 - LocationPortBits * i) & ((1u << LocationPortBits) - 1);
        if (port == 0)
            break;
        text += (i > 1 ? QStringLiteral(".") : QString()) + QString::number(port);
    }
    return text;
}

FtdiDeviceLibrary::Session *FtdiDeviceLibrary::session(DeviceHandle handle) const
{
    const std::lock_guard<std::mutex> lock(sessionsGuard);
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
    // Opens the device for its strings, each read on its own: a device
    // without access, or without one of its strings, is listed all the same.
    libusb_device_handle *handle = nullptr;
    if (entry.id && libusb_open(device, &handle) == LIBUSB_SUCCESS) {
        entry.description = asciiString(handle, descriptor.iProduct, EepromDescriptionSize);
        entry.serial = asciiString(handle, descriptor.iSerialNumber, EepromSerialNumberSize);
        libusb_close(handle);
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
        Listed entry = describe(d->dev);
        stillAttached.insert(busAndAddress(d->dev), entry);
        entry.location = usbLocationOf(d->dev);
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
        record.locationId = listed[i].location;
        qstrncpy(record.serialNumber, listed[i].serial.constData(), sizeof record.serialNumber);
        qstrncpy(record.description, listed[i].description.constData(), sizeof record.description);
    }
    *count = written;
    return DeviceStatusCode::Ok;
}

// The first listed chip that `matches` and that no session here has open:
// chips that share a serial number (as some clones do) open in turn.
libusb_device *FtdiDeviceLibrary::findFree(const std::function<bool(libusb_device *)> &matches)
{
    ftdi_device_list *devices = nullptr;
    if (!listing || ftdi_usb_find_all(listing, &devices, 0, 0) < 0)
        return nullptr;
    auto openHere = [&](libusb_device *device) {
        const std::lock_guard<std::mutex> lock(sessionsGuard);
        return std::any_of(sessions.begin(), sessions.end(),
                           [&](const auto &s) { return s->address == busAndAddress(device); });
    };
    libusb_device *match = nullptr;
    for (ftdi_device_list *d = devices; d && !match; d = d->next) {
        if (matches(d->dev) && !openHere(d->dev))
            match = libusb_ref_device(d->dev);
    }
    ftdi_list_free(&devices);
    return match;
}

DeviceStatus FtdiDeviceLibrary::open(const char *serialNumber, quint32 flags, DeviceHandle *handle)
{
    libusb_device *device = nullptr;
    if (flags == OpenBySerialNumber && serialNumber) {
        const QByteArray serial(serialNumber);
        if (!serial.isEmpty())
            device = findFree([&](libusb_device *d) { return describe(d).serial == serial; });
    } else if (flags == OpenByLocation) {
        const quint32 location = quint32(reinterpret_cast<quintptr>(serialNumber));
        if (location != 0)
            device = findFree([&](libusb_device *d) { return usbLocationOf(d) == location; });
    } else {
        return DeviceStatusCode::InvalidParameter;
    }
    if (!device)
        return DeviceStatusCode::DeviceNotFound;
    auto opened = std::make_unique<Session>();
    opened->address = busAndAddress(device);
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
    if (!opened->clearLeftovers()) {
        ftdi_usb_close(opened->ftdi);
        return DeviceStatusCode::IoError;
    }
    opened->latency = latencytimer::settle(opened->setLatency(), opened->getLatency());
    *handle = opened.get();
    const std::lock_guard<std::mutex> lock(sessionsGuard);
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
    return s ? s->eeprom.read(data) : DeviceStatusCode::InvalidHandle;
}

DeviceStatus FtdiDeviceLibrary::eepromProgram(DeviceHandle handle, EepromData *data)
{
    Session *s = session(handle);
    return s ? s->eeprom.program(data) : DeviceStatusCode::InvalidHandle;
}

EepromAfterRestore FtdiDeviceLibrary::eepromAfterRestore(DeviceHandle handle) const
{
    const Session *s = session(handle);
    return s ? s->eeprom.afterRestore() : EepromAfterRestore::NoRestore;
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
    std::unique_ptr<Session> closing;
    {
        const std::lock_guard<std::mutex> lock(sessionsGuard);
        const auto found = std::find_if(sessions.begin(), sessions.end(),
                                        [&](const auto &s) { return s.get() == handle; });
        if (found == sessions.end())
            return DeviceStatusCode::InvalidHandle;
        closing = std::move(*found);
        sessions.erase(found); // the session is gone whether or not the device was
    }
    return ftdi_usb_close(closing->ftdi) < 0 ? DeviceStatusCode::IoError : DeviceStatusCode::Ok;
}
