#pragma once

#include "device/devicelibrary.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

// A bench of simulated FTDI chips behind the device library interface:
// cross-wired pairs with wire timing, EEPROMs, hot plug and fault injection.
// The format of the scenario that describes a bench is in
// docs/simulated-bench.md.

enum class SimOperation {
    CreateDeviceInfoList,
    GetDeviceInfoList,
    Open,
    SetBaudRate,
    SetDataCharacteristics,
    SetTimeouts,
    EepromRead,
    EepromProgram,
    Write,
    Read,
    Close,
};

QString simOperationName(SimOperation operation);
std::optional<SimOperation> simOperationFromName(const QString &name);
bool isListOperation(SimOperation operation);

// The settings an EEPROM holds: the four strings and the numeric fields of
// EepromData (whose header and string pointers are unused here).
struct SimEeprom {
    QByteArray manufacturer;
    QByteArray manufacturerId;
    QByteArray description;
    QByteArray serialNumber;
    EepromData settings {};

    // Defaults of a factory-fresh FT232R with the given serial number.
    static SimEeprom factoryDefault(const QByteArray &serial, const QByteArray &description);
    bool operator==(const SimEeprom &other) const;
    bool operator!=(const SimEeprom &other) const { return !(*this == other); }
};

// One numeric field of EepromData, by name; exactly one member is set.
struct EepromNumericField {
    const char *name;
    quint16 EepromData::*wide;
    quint8 EepromData::*narrow;

    quint32 get(const EepromData &data) const { return wide ? data.*wide : data.*narrow; }
    void set(EepromData &data, quint32 value) const;
    quint32 maximum() const { return wide ? 0xFFFF : 0xFF; }
};
const std::vector<EepromNumericField> &eepromNumericFields();

struct SimLineSettings {
    quint32 baudRate = 9600;
    quint8 dataBits = 8;
    quint8 stopBits = 0;
    quint8 parity = 0;

    bool operator==(const SimLineSettings &o) const
    {
        return baudRate == o.baudRate && dataBits == o.dataBits && stopBits == o.stopBits
            && parity == o.parity;
    }
    bool operator!=(const SimLineSettings &o) const { return !(*this == o); }
};

struct SimDeviceSpec {
    QByteArray serial;
    QByteArray description = "FT232R USB UART";
    quint32 type = DeviceTypeFt232r;
    quint32 id = 0x04036001;
    SimLineSettings line;
    SimEeprom eeprom;
    quint32 location = 0; // its USB location id; 0: one of its own, by order of plugging

    // A device with the defaults for `serial`.
    static SimDeviceSpec withSerial(const QByteArray &serial);
};

struct SimFault {
    QByteArray serial; // empty for the list operations
    SimOperation operation = SimOperation::Open;
    int call = 0; // the Nth call of the operation on the device; 0: every call
    DeviceStatus status = DeviceStatusCode::Ok; // non-zero: fail with no effect
    int transferred = -1; // write, read: move only this many bytes
    int corruptOffset = -1; // read: corrupt this byte of the block
    int delayMs = 0; // real time spent before the call
    QByteArray unplug; // unplug this device right after the call
    std::optional<SimDeviceSpec> plug; // plug this device right after the call
    bool countUnwritten = false; // createDeviceInfoList, write, read: succeed, leave count alone
    bool movesStrings = false; // eepromRead: point the record's strings at the library's own copies
};

struct SimScenario {
    bool realTime = false;
    QList<SimDeviceSpec> devices;
    QList<QPair<QByteArray, QByteArray>> links;
    // One-way wires: the first device's transmitter to the second's
    // receiver (the same device for a loopback plug).
    QList<QPair<QByteArray, QByteArray>> wires;
    QList<SimFault> faults;

    // Two factory-fresh FT232R chips, cross-wired.
    static SimScenario passingPair();
};

struct SimCall {
    SimOperation operation;
    QByteArray serial;
    int number;
    DeviceStatus status;
};

class SimulatedDeviceLibrary : public DeviceLibrary {
public:
    explicit SimulatedDeviceLibrary(const SimScenario &scenario = SimScenario::passingPair());
    ~SimulatedDeviceLibrary() override;

    DeviceStatus createDeviceInfoList(quint32 *count) override;
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                   quint32 *count) override;
    DeviceStatus open(const char *serialNumber, quint32 flags, DeviceHandle *handle) override;
    DeviceStatus setBaudRate(DeviceHandle handle, quint32 baudRate) override;
    DeviceStatus setDataCharacteristics(DeviceHandle handle, quint8 wordLength, quint8 stopBits,
                                        quint8 parity) override;
    DeviceStatus setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                             quint32 writeTimeoutMs) override;
    DeviceStatus eepromRead(DeviceHandle handle, EepromData *data) override;
    DeviceStatus eepromProgram(DeviceHandle handle, EepromData *data) override;
    DeviceStatus write(DeviceHandle handle, const void *buffer, quint32 count,
                       quint32 *written) override;
    DeviceStatus read(DeviceHandle handle, void *buffer, quint32 count, quint32 *received) override;
    DeviceStatus close(DeviceHandle handle) override;

    // Hot plug. A plugged device enumerates afresh: power-on line settings,
    // empty queues, and its listed description taken from its EEPROM.
    void plug(const SimDeviceSpec &chip);
    void unplug(const QByteArray &serial);
    void addFault(const SimFault &fault);
    void clearFaults() { faults.clear(); }

    // Introspection.
    // The last 10,000 calls, oldest first.
    const QList<SimCall> &calls() const { return callLog; }
    // Every call since the start, including those gone from calls().
    int callCount(SimOperation operation, const QByteArray &serial = QByteArray()) const;
    int openHandleCount() const { return int(handles.size()); }
    QList<QByteArray> serials() const; // every device ever seen, in list order
    bool isAttached(const QByteArray &serial) const;
    std::optional<SimEeprom> eeprom(const QByteArray &serial) const;
    std::optional<SimLineSettings> lineSettings(const QByteArray &serial) const;
    // The write time-out last set (writes never wait here, so it has no effect).
    std::optional<quint32> writeTimeoutMs(const QByteArray &serial) const;
    // The bytes that reached the device's receiver since it was plugged,
    // the last 64 KiB of them.
    QByteArray receivedBytes(const QByteArray &serial) const;
    qint64 elapsedMicroseconds() const;

private:
    struct Device;
    struct PendingEffects;

    Device *findDevice(const QByteArray &serial) const;
    Device *attachedDevice(const QByteArray &serial) const;
    Device *deviceOf(DeviceHandle handle, DeviceStatus *status) const;
    QByteArray serialOf(DeviceHandle handle) const;
    PendingEffects beginCall(SimOperation operation, const QByteArray &serial);
    DeviceStatus endCall(const PendingEffects &effects, DeviceStatus status);
    // Runs `body` for a call on a device's handle, with the call's faults
    // applied and a failure status for a handle that is not live.
    template<typename Body>
    DeviceStatus onDevice(SimOperation operation, DeviceHandle handle, Body body);
    void sendToPeer(Device &sender, const quint8 *bytes, quint32 count);
    void waitUntil(qint64 microseconds);
    qint64 now() const;

    std::vector<std::unique_ptr<Device>> devices;
    QHash<quintptr, QPair<Device *, quint64>> handles; // handle -> device, generation
    QList<QPair<QByteArray, QByteArray>> links;
    QList<QPair<QByteArray, QByteArray>> wires;
    QList<SimFault> faults;
    QHash<QPair<int, QByteArray>, int> callNumbers;
    QList<SimCall> callLog;
    bool realTime;
    QElapsedTimer realClock;
    qint64 virtualClock = 0;
    quintptr nextHandle = 0x1000;
    quint64 nextGeneration = 1;
    quint32 nextLocation = 0x11;
};
