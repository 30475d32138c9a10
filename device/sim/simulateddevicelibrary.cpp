#include "device/sim/simulateddevicelibrary.h"

#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const char *const OperationNames[] = {
    "createDeviceInfoList",
    "getDeviceInfoList",
    "open",
    "setBaudRate",
    "setDataCharacteristics",
    "setTimeouts",
    "eepromRead",
    "eepromProgram",
    "write",
    "read",
    "close",
};

// The history kept for introspection is bounded, so that a simulated bench
// can run for days.
constexpr qsizetype MaxCallLog = 10000;
constexpr qsizetype MaxReceivedHistory = 64 * 1024;

constexpr qint64 Forever = std::numeric_limits<qint64>::max();

// An FT232R's string descriptors share the EEPROM: manufacturer, description
// and serial number together hold at most 48 characters.
constexpr int MaxEepromStringTotal = 48;

bool validHeader(const EepromData *data)
{
    return data && data->signature1 == EepromSignature1 && data->signature2 == EepromSignature2
        && data->version == EepromDataVersion && data->manufacturer && data->manufacturerId
        && data->description && data->serialNumber;
}

void copyString(char *buffer, int size, const QByteArray &text)
{
    qstrncpy(buffer, text.constData(), uint(size));
}

// The caller's string, or nothing when it is not terminated within `size`.
std::optional<QByteArray> takeString(const char *buffer, int size)
{
    const void *end = std::memchr(buffer, '\0', size_t(size));
    if (!end)
        return std::nullopt;
    return QByteArray(buffer, int(static_cast<const char *>(end) - buffer));
}

} // namespace

QString simOperationName(SimOperation operation)
{
    return QString::fromLatin1(OperationNames[int(operation)]);
}

std::optional<SimOperation> simOperationFromName(const QString &name)
{
    for (int i = 0; i < int(std::size(OperationNames)); ++i) {
        if (name == QLatin1String(OperationNames[i]))
            return SimOperation(i);
    }
    return std::nullopt;
}

bool isListOperation(SimOperation operation)
{
    return operation == SimOperation::CreateDeviceInfoList
        || operation == SimOperation::GetDeviceInfoList;
}

const std::vector<EepromNumericField> &eepromNumericFields()
{
    static const std::vector<EepromNumericField> fields = {
        { "vendorId", &EepromData::vendorId, nullptr },
        { "productId", &EepromData::productId, nullptr },
        { "maxPower", &EepromData::maxPower, nullptr },
        { "pnp", &EepromData::pnp, nullptr },
        { "selfPowered", &EepromData::selfPowered, nullptr },
        { "remoteWakeup", &EepromData::remoteWakeup, nullptr },
        { "useExtOsc", nullptr, &EepromData::useExtOsc },
        { "highDriveIOs", nullptr, &EepromData::highDriveIOs },
        { "endpointSize", nullptr, &EepromData::endpointSize },
        { "pullDownEnable", nullptr, &EepromData::pullDownEnable },
        { "serNumEnable", nullptr, &EepromData::serNumEnable },
        { "invertTXD", nullptr, &EepromData::invertTXD },
        { "invertRXD", nullptr, &EepromData::invertRXD },
        { "invertRTS", nullptr, &EepromData::invertRTS },
        { "invertCTS", nullptr, &EepromData::invertCTS },
        { "invertDTR", nullptr, &EepromData::invertDTR },
        { "invertDSR", nullptr, &EepromData::invertDSR },
        { "invertDCD", nullptr, &EepromData::invertDCD },
        { "invertRI", nullptr, &EepromData::invertRI },
        { "cbus0", nullptr, &EepromData::cbus0 },
        { "cbus1", nullptr, &EepromData::cbus1 },
        { "cbus2", nullptr, &EepromData::cbus2 },
        { "cbus3", nullptr, &EepromData::cbus3 },
        { "cbus4", nullptr, &EepromData::cbus4 },
        { "rIsD2XX", nullptr, &EepromData::rIsD2XX },
    };
    return fields;
}

void EepromNumericField::set(EepromData &data, quint32 value) const
{
    if (wide)
        data.*wide = quint16(value);
    else
        data.*narrow = quint8(value);
}

SimEeprom SimEeprom::factoryDefault(const QByteArray &serial, const QByteArray &description)
{
    SimEeprom eeprom;
    eeprom.manufacturer = "FTDI";
    eeprom.manufacturerId = "FT";
    eeprom.description = description;
    eeprom.serialNumber = serial;
    EepromData &s = eeprom.settings;
    s.vendorId = 0x0403;
    s.productId = 0x6001;
    s.maxPower = 90;
    s.pnp = 1;
    s.remoteWakeup = 1;
    s.endpointSize = 64;
    s.serNumEnable = 1;
    // CBUS0 TXLED#, CBUS1 RXLED#, CBUS2 TXDEN, CBUS3 PWREN#, CBUS4 SLEEP#
    s.cbus0 = 3;
    s.cbus1 = 2;
    s.cbus2 = 0;
    s.cbus3 = 1;
    s.cbus4 = 5;
    return eeprom;
}

bool SimEeprom::operator==(const SimEeprom &other) const
{
    if (manufacturer != other.manufacturer || manufacturerId != other.manufacturerId
        || description != other.description || serialNumber != other.serialNumber)
        return false;
    const auto &fields = eepromNumericFields();
    return std::all_of(fields.begin(), fields.end(), [&](const EepromNumericField &field) {
        return field.get(settings) == field.get(other.settings);
    });
}

SimDeviceSpec SimDeviceSpec::withSerial(const QByteArray &serial)
{
    SimDeviceSpec chip;
    chip.serial = serial;
    chip.eeprom = SimEeprom::factoryDefault(serial, chip.description);
    return chip;
}

SimScenario SimScenario::passingPair()
{
    SimScenario scenario;
    scenario.devices
        = { SimDeviceSpec::withSerial("FTA1B2C3"), SimDeviceSpec::withSerial("FTD4E5F6") };
    scenario.links = { { "FTA1B2C3", "FTD4E5F6" } };
    return scenario;
}

// Bytes that one write put on the line: byte i arrives at start + (i + 1)
// byte times (µs).
struct Burst {
    QByteArray bytes;
    qint64 start;
    double byteTime;
    int taken = 0;

    qint64 arrival(int i) const { return start + qint64(double(i + 1) * byteTime); }
    int remaining() const { return int(bytes.size()) - taken; }
    // How many of the remaining bytes have arrived by `deadline`.
    int arrivedBy(qint64 deadline) const
    {
        if (deadline == std::numeric_limits<qint64>::max())
            return remaining();
        int n = int(std::clamp(double(deadline - start) / byteTime, 0.0, double(bytes.size())));
        while (n < bytes.size() && arrival(n) <= deadline)
            ++n;
        while (n > 0 && arrival(n - 1) > deadline)
            --n;
        return std::max(0, n - taken);
    }
};

struct SimulatedDeviceLibrary::Device {
    SimDeviceSpec identity; // as enumerated: serial, listed description, type, id
    SimEeprom eeprom;
    SimLineSettings line;
    quint32 readTimeoutMs = 0; // 0: unset, a read waits for its count however long
    quint32 writeTimeoutMs = 0;
    bool attached = true;
    bool open = false;
    quint64 generation = 0;
    std::deque<Burst> receiveQueue; // in order of arrival
    QByteArray received;
    qint64 lineFreeAt = 0;
    QList<QByteArray> hearers; // whose receivers its transmitter drives
    qint64 lastHeardUntil = 0; // the end of the last burst it heard
    QByteArray lastHeardFrom;
};

// The faults that match one call, applied around it.
struct SimulatedDeviceLibrary::PendingEffects {
    SimOperation operation;
    QByteArray serial;
    int number = 0;
    DeviceStatus status = DeviceStatusCode::Ok;
    int transferred = -1;
    int corruptOffset = -1;
    bool countUnwritten = false;
    bool movesStrings = false;
    QList<QByteArray> unplug;
    QList<SimDeviceSpec> plug;
};

SimulatedDeviceLibrary::SimulatedDeviceLibrary(const SimScenario &scenario)
    : links(scenario.links), wires(scenario.wires), faults(scenario.faults),
      realTime(scenario.realTime)
{
    realClock.start();
    for (const SimDeviceSpec &chip : scenario.devices)
        plug(chip);
}

SimulatedDeviceLibrary::~SimulatedDeviceLibrary() = default;

void SimulatedDeviceLibrary::plug(const SimDeviceSpec &chip)
{
    auto existing = std::find_if(devices.begin(), devices.end(),
                                 [&](const auto &d) { return d->identity.serial == chip.serial; });
    std::unique_ptr<Device> device;
    const bool replugged = existing != devices.end();
    if (replugged) {
        if ((*existing)->attached)
            return;
        device = std::move(*existing);
        devices.erase(existing);
        device->received.clear();
    } else {
        device = std::make_unique<Device>();
        device->identity = chip;
        device->eeprom = chip.eeprom;
    }
    if (replugged) // enumerating again reads the strings from the EEPROM
        device->identity.description = device->eeprom.description;
    device->line = device->identity.line;
    device->readTimeoutMs = 0;
    device->writeTimeoutMs = 0;
    device->attached = true;
    device->open = false;
    device->generation = nextGeneration++;
    device->receiveQueue.clear();
    device->lineFreeAt = now();
    device->hearers.clear();
    for (const auto &link : links) {
        if (link.first == chip.serial)
            device->hearers << link.second;
        else if (link.second == chip.serial)
            device->hearers << link.first;
    }
    for (const auto &wire : wires) {
        if (wire.first == chip.serial)
            device->hearers << wire.second;
    }
    if (device->identity.location == 0)
        device->identity.location = nextLocation++;
    devices.push_back(std::move(device));
}

void SimulatedDeviceLibrary::unplug(const QByteArray &serial)
{
    if (Device *device = attachedDevice(serial)) {
        device->attached = false;
        device->open = false;
        device->receiveQueue.clear();
    }
}

void SimulatedDeviceLibrary::addFault(const SimFault &fault)
{
    faults.append(fault);
}

SimulatedDeviceLibrary::Device *SimulatedDeviceLibrary::findDevice(const QByteArray &serial) const
{
    for (const auto &device : devices) {
        if (device->identity.serial == serial)
            return device.get();
    }
    return nullptr;
}

SimulatedDeviceLibrary::Device *
SimulatedDeviceLibrary::attachedDevice(const QByteArray &serial) const
{
    Device *device = findDevice(serial);
    return device && device->attached ? device : nullptr;
}

SimulatedDeviceLibrary::Device *SimulatedDeviceLibrary::deviceOf(DeviceHandle handle,
                                                                 DeviceStatus *status) const
{
    const auto entry = handles.constFind(quintptr(handle));
    if (entry == handles.constEnd()) {
        *status = DeviceStatusCode::InvalidHandle;
        return nullptr;
    }
    Device *device = entry->first;
    if (!device->attached || device->generation != entry->second) {
        *status = DeviceStatusCode::DeviceNotFound;
        return nullptr;
    }
    *status = DeviceStatusCode::Ok;
    return device;
}

QByteArray SimulatedDeviceLibrary::serialOf(DeviceHandle handle) const
{
    const auto entry = handles.constFind(quintptr(handle));
    return entry == handles.constEnd() ? QByteArray() : entry->first->identity.serial;
}

SimulatedDeviceLibrary::PendingEffects SimulatedDeviceLibrary::beginCall(SimOperation operation,
                                                                         const QByteArray &serial)
{
    PendingEffects effects;
    effects.operation = operation;
    effects.serial = serial;
    effects.number = ++callNumbers[qMakePair(int(operation), serial)];
    for (const SimFault &fault : std::as_const(faults)) {
        if (fault.operation != operation || fault.serial != serial
            || (fault.call != 0 && fault.call != effects.number))
            continue;
        if (fault.delayMs > 0)
            QThread::msleep(ulong(fault.delayMs));
        if (fault.status != DeviceStatusCode::Ok)
            effects.status = fault.status;
        if (fault.transferred >= 0)
            effects.transferred = fault.transferred;
        if (fault.corruptOffset >= 0)
            effects.corruptOffset = fault.corruptOffset;
        effects.countUnwritten = effects.countUnwritten || fault.countUnwritten;
        effects.movesStrings = effects.movesStrings || fault.movesStrings;
        if (!fault.unplug.isEmpty())
            effects.unplug.append(fault.unplug);
        if (fault.plug)
            effects.plug.append(*fault.plug);
    }
    return effects;
}

DeviceStatus SimulatedDeviceLibrary::endCall(const PendingEffects &effects, DeviceStatus status)
{
    if (callLog.size() == MaxCallLog)
        callLog.removeFirst();
    callLog.append({ effects.operation, effects.serial, effects.number, status });
    for (const QByteArray &serial : effects.unplug)
        unplug(serial);
    for (const SimDeviceSpec &chip : effects.plug)
        plug(chip);
    return status;
}

qint64 SimulatedDeviceLibrary::now() const
{
    return realTime ? realClock.nsecsElapsed() / 1000 : virtualClock;
}

qint64 SimulatedDeviceLibrary::elapsedMicroseconds() const
{
    return now();
}

void SimulatedDeviceLibrary::waitUntil(qint64 microseconds)
{
    if (!realTime) {
        virtualClock = std::max(virtualClock, microseconds);
        return;
    }
    // Sleep most of the way, then yield until the moment: a plain sleep
    // oversleeps by tens of microseconds, a hundred times a run.
    constexpr qint64 SpinUs = 200;
    const qint64 remaining = microseconds - now();
    if (remaining > SpinUs)
        QThread::usleep(ulong(remaining - SpinUs));
    while (now() < microseconds)
        QThread::yieldCurrentThread();
}

template<typename Body>
DeviceStatus SimulatedDeviceLibrary::onDevice(SimOperation operation, DeviceHandle handle,
                                              Body body)
{
    const PendingEffects effects = beginCall(operation, serialOf(handle));
    if (effects.status != DeviceStatusCode::Ok)
        return endCall(effects, effects.status);
    DeviceStatus status;
    Device *device = deviceOf(handle, &status);
    if (!device)
        return endCall(effects, status);
    return endCall(effects, body(*device, effects));
}

DeviceStatus SimulatedDeviceLibrary::createDeviceInfoList(quint32 *count)
{
    const PendingEffects effects = beginCall(SimOperation::CreateDeviceInfoList, QByteArray());
    // A failing call may still have written its count, as a real library
    // may: the caller must not use it.
    if (!effects.countUnwritten) {
        *count = quint32(std::count_if(devices.begin(), devices.end(),
                                       [](const auto &d) { return d->attached; }));
    }
    return endCall(effects, effects.status);
}

DeviceStatus SimulatedDeviceLibrary::getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                                       quint32 *count)
{
    const PendingEffects effects = beginCall(SimOperation::GetDeviceInfoList, QByteArray());
    // A failing call may still have written records and a count: the caller
    // must not use them.
    quint32 written = 0;
    for (const auto &device : devices) {
        if (!device->attached || written == capacity)
            continue;
        DeviceInfoRecord &record = list[written++];
        record = DeviceInfoRecord {};
        record.flags = device->open ? 1 : 0;
        record.deviceType = device->identity.type;
        record.deviceId = device->identity.id;
        record.locationId = device->identity.location;
        std::strncpy(record.serialNumber, device->identity.serial.constData(),
                     sizeof record.serialNumber - 1);
        std::strncpy(record.description, device->identity.description.constData(),
                     sizeof record.description - 1);
    }
    *count = written;
    return endCall(effects, effects.status);
}

DeviceStatus SimulatedDeviceLibrary::open(const char *serialNumber, quint32 flags,
                                          DeviceHandle *handle)
{
    // By location, the call is the located chip's (as its faults name it).
    Device *device = nullptr;
    QByteArray serial;
    if (flags == OpenByLocation) {
        const quint32 location = quint32(reinterpret_cast<quintptr>(serialNumber));
        for (const auto &d : devices) {
            if (d->attached && d->identity.location == location)
                device = d.get();
        }
        if (device)
            serial = device->identity.serial;
    } else if (serialNumber) {
        serial = QByteArray(serialNumber);
        device = attachedDevice(serial);
    }
    const PendingEffects effects = beginCall(SimOperation::Open, serial);
    if (effects.status != DeviceStatusCode::Ok)
        return endCall(effects, effects.status);
    if (flags != OpenBySerialNumber && flags != OpenByLocation)
        return endCall(effects, DeviceStatusCode::InvalidParameter);
    if (!device)
        return endCall(effects, DeviceStatusCode::DeviceNotFound);
    if (device->open)
        return endCall(effects, DeviceStatusCode::DeviceNotOpened);
    device->open = true;
    const quintptr value = nextHandle;
    nextHandle += 0x10;
    handles.insert(value, qMakePair(device, device->generation));
    *handle = reinterpret_cast<DeviceHandle>(value);
    return endCall(effects, DeviceStatusCode::Ok);
}

DeviceStatus SimulatedDeviceLibrary::setBaudRate(DeviceHandle handle, quint32 baudRate)
{
    return onDevice(SimOperation::SetBaudRate, handle,
                    [&](Device &device, const PendingEffects &) -> DeviceStatus {
                        if (baudRate < 183 || baudRate > 3000000)
                            return DeviceStatusCode::InvalidBaudRate;
                        device.line.baudRate = baudRate;
                        return DeviceStatusCode::Ok;
                    });
}

DeviceStatus SimulatedDeviceLibrary::setDataCharacteristics(DeviceHandle handle, quint8 wordLength,
                                                            quint8 stopBits, quint8 parity)
{
    return onDevice(SimOperation::SetDataCharacteristics, handle,
                    [&](Device &device, const PendingEffects &) -> DeviceStatus {
                        if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2)
                            || parity > 4)
                            return DeviceStatusCode::InvalidParameter;
                        device.line.dataBits = wordLength;
                        device.line.stopBits = stopBits;
                        device.line.parity = parity;
                        return DeviceStatusCode::Ok;
                    });
}

DeviceStatus SimulatedDeviceLibrary::setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                                                 quint32 writeTimeoutMs)
{
    return onDevice(SimOperation::SetTimeouts, handle,
                    [&](Device &device, const PendingEffects &) -> DeviceStatus {
                        // Writes never block here: the simulated line has no flow control.
                        device.readTimeoutMs = readTimeoutMs;
                        device.writeTimeoutMs = writeTimeoutMs;
                        return DeviceStatusCode::Ok;
                    });
}

DeviceStatus SimulatedDeviceLibrary::eepromRead(DeviceHandle handle, EepromData *data)
{
    return onDevice(
        SimOperation::EepromRead, handle,
        [&](Device &device, const PendingEffects &effects) -> DeviceStatus {
            if (!validHeader(data))
                return DeviceStatusCode::InvalidParameter;
            if (effects.movesStrings) {
                // Copies that stay the library's, as a careless library might hand out.
                static char moved[4][EepromDescriptionSize];
                data->manufacturer = moved[0];
                data->manufacturerId = moved[1];
                data->description = moved[2];
                data->serialNumber = moved[3];
            }
            for (const EepromNumericField &field : eepromNumericFields())
                field.set(*data, field.get(device.eeprom.settings));
            copyString(data->manufacturer, EepromManufacturerSize, device.eeprom.manufacturer);
            copyString(data->manufacturerId, EepromManufacturerIdSize,
                       device.eeprom.manufacturerId);
            copyString(data->description, EepromDescriptionSize, device.eeprom.description);
            copyString(data->serialNumber, EepromSerialNumberSize, device.eeprom.serialNumber);
            return DeviceStatusCode::Ok;
        });
}

DeviceStatus SimulatedDeviceLibrary::eepromProgram(DeviceHandle handle, EepromData *data)
{
    return onDevice(
        SimOperation::EepromProgram, handle,
        [&](Device &device, const PendingEffects &) -> DeviceStatus {
            if (!validHeader(data))
                return DeviceStatusCode::InvalidParameter;
            const auto manufacturer = takeString(data->manufacturer, EepromManufacturerSize);
            const auto manufacturerId = takeString(data->manufacturerId, EepromManufacturerIdSize);
            const auto description = takeString(data->description, EepromDescriptionSize);
            const auto serialNumber = takeString(data->serialNumber, EepromSerialNumberSize);
            if (!manufacturer || !manufacturerId || !description || !serialNumber)
                return DeviceStatusCode::InvalidParameter;
            if (manufacturer->size() + description->size() + serialNumber->size()
                > MaxEepromStringTotal)
                return DeviceStatusCode::EepromWriteFailed;

            SimEeprom &eeprom = device.eeprom;
            eeprom.manufacturer = *manufacturer;
            eeprom.manufacturerId = *manufacturerId;
            eeprom.description = *description;
            eeprom.serialNumber = *serialNumber;
            for (const EepromNumericField &field : eepromNumericFields())
                field.set(eeprom.settings, field.get(*data));
            return DeviceStatusCode::Ok;
        });
}

void SimulatedDeviceLibrary::sendToPeer(Device &sender, const quint8 *bytes, quint32 count)
{
    const qint64 start = std::max(now(), sender.lineFreeAt);
    const double byteTime = 10.0 * 1e6 / double(sender.line.baudRate); // 10 bits a byte
    sender.lineFreeAt = start + qint64(double(count) * byteTime);
    for (const QByteArray &hearer : sender.hearers) {
        Device *peer = attachedDevice(hearer);
        if (!peer)
            continue;
        Burst burst { QByteArray(reinterpret_cast<const char *>(bytes), int(count)), start,
                      byteTime };
        // Mismatched line settings garble every byte, as framing errors
        // would; so do two transmitters driving one receiver at once.
        const bool overlapping
            = peer->lastHeardUntil > start && peer->lastHeardFrom != sender.identity.serial;
        if (peer->line != sender.line || overlapping) {
            for (char &byte : burst.bytes)
                byte = char(~byte);
        }
        peer->lastHeardUntil = sender.lineFreeAt;
        peer->lastHeardFrom = sender.identity.serial;
        peer->received.append(burst.bytes);
        peer->receiveQueue.push_back(std::move(burst));
        if (peer->received.size() > MaxReceivedHistory)
            peer->received.remove(0, peer->received.size() - MaxReceivedHistory);
    }
}

DeviceStatus SimulatedDeviceLibrary::write(DeviceHandle handle, const void *buffer, quint32 count,
                                           quint32 *written)
{
    return onDevice(SimOperation::Write, handle,
                    [&](Device &device, const PendingEffects &effects) -> DeviceStatus {
                        const quint32 sent = effects.transferred >= 0
                            ? std::min(count, quint32(effects.transferred))
                            : count;
                        sendToPeer(device, static_cast<const quint8 *>(buffer), sent);
                        if (!effects.countUnwritten)
                            *written = sent;
                        return DeviceStatusCode::Ok;
                    });
}

DeviceStatus SimulatedDeviceLibrary::read(DeviceHandle handle, void *buffer, quint32 count,
                                          quint32 *received)
{
    return onDevice(
        SimOperation::Read, handle,
        [&](Device &device, const PendingEffects &effects) -> DeviceStatus {
            const quint32 wanted
                = effects.transferred >= 0 ? std::min(count, quint32(effects.transferred)) : count;
            const qint64 deadline
                = device.readTimeoutMs == 0 ? Forever : now() + qint64(device.readTimeoutMs) * 1000;
            auto &queue = device.receiveQueue;
            quint32 ready = 0;
            qint64 lastArrival = now();
            for (const Burst &burst : queue) {
                const int arrived = burst.arrivedBy(deadline);
                const int take = int(std::min<quint32>(quint32(arrived), wanted - ready));
                if (take > 0)
                    lastArrival = burst.arrival(burst.taken + take - 1);
                ready += quint32(take);
                if (ready == wanted || arrived < burst.remaining())
                    break; // later bursts arrive later still
            }
            if (ready < wanted && deadline == Forever) {
                qFatal("Simulated device %s: read of %u bytes with no read time-out set can never "
                       "complete; a real station would hang here",
                       device.identity.serial.constData(), wanted);
            }
            waitUntil(ready == wanted ? lastArrival : deadline);

            auto *bytes = static_cast<quint8 *>(buffer);
            for (quint32 copied = 0; copied < ready;) {
                Burst &burst = queue.front();
                const int take = int(std::min<quint32>(quint32(burst.remaining()), ready - copied));
                std::memcpy(bytes + copied, burst.bytes.constData() + burst.taken, size_t(take));
                burst.taken += take;
                copied += quint32(take);
                if (burst.remaining() == 0)
                    queue.pop_front();
            }
            if (effects.corruptOffset >= 0 && quint32(effects.corruptOffset) < ready)
                bytes[effects.corruptOffset] ^= 0xFF;
            if (!effects.countUnwritten)
                *received = ready;
            return DeviceStatusCode::Ok;
        });
}

DeviceStatus SimulatedDeviceLibrary::close(DeviceHandle handle)
{
    const PendingEffects effects = beginCall(SimOperation::Close, serialOf(handle));
    if (effects.status != DeviceStatusCode::Ok)
        return endCall(effects, effects.status);
    DeviceStatus status;
    Device *device = deviceOf(handle, &status);
    if (status != DeviceStatusCode::InvalidHandle)
        handles.remove(quintptr(handle)); // a vanished device's handle is gone as well
    if (!device)
        return endCall(effects, status);
    device->open = false;
    return endCall(effects, DeviceStatusCode::Ok);
}

int SimulatedDeviceLibrary::callCount(SimOperation operation, const QByteArray &serial) const
{
    return callNumbers.value(qMakePair(int(operation), serial));
}

QList<QByteArray> SimulatedDeviceLibrary::serials() const
{
    QList<QByteArray> result;
    for (const auto &device : devices)
        result.append(device->identity.serial);
    return result;
}

bool SimulatedDeviceLibrary::isAttached(const QByteArray &serial) const
{
    return attachedDevice(serial) != nullptr;
}

std::optional<SimEeprom> SimulatedDeviceLibrary::eeprom(const QByteArray &serial) const
{
    if (const Device *device = findDevice(serial))
        return device->eeprom;
    return std::nullopt;
}

std::optional<SimLineSettings> SimulatedDeviceLibrary::lineSettings(const QByteArray &serial) const
{
    if (const Device *device = findDevice(serial))
        return device->line;
    return std::nullopt;
}

std::optional<quint32> SimulatedDeviceLibrary::writeTimeoutMs(const QByteArray &serial) const
{
    if (const Device *device = findDevice(serial))
        return device->writeTimeoutMs;
    return std::nullopt;
}

QByteArray SimulatedDeviceLibrary::receivedBytes(const QByteArray &serial) const
{
    const Device *device = findDevice(serial);
    return device ? device->received : QByteArray();
}
