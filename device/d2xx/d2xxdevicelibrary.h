#pragma once

#include "device/d2xx/d2xxapi.h"
#include "device/devicelibrary.h"

#include <QLibrary>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

// The device library on real FTDI chips, through FTDI's own D2XX library,
// loaded at run time. A library that cannot be loaded, or lacks a function
// the station uses, leaves every operation failing and says why in
// problem(). A handle is a session of its own on one chip.
class D2xxDeviceLibrary : public DeviceLibrary {
public:
    // FTDI's library as its driver installs it on this platform: on Windows
    // the full path of ftd2xx.dll in the system folder, or beside the
    // program when only there.
    static QString platformLibrary();

    explicit D2xxDeviceLibrary(const QString &fileName);
    ~D2xxDeviceLibrary() override;
    D2xxDeviceLibrary(const D2xxDeviceLibrary &) = delete;
    D2xxDeviceLibrary &operator=(const D2xxDeviceLibrary &) = delete;

    // "D2XX 3.01.15 (ftd2xx.dll)", for the run records.
    QString name() const;
    QString problem() const override { return problemText; }

    // Each handle is used by one thread only: a read blocks a write on the
    // same handle (libftd2xx issue 61), never one on another handle.
    bool takesHandlesAtOnce() const override { return true; }
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
    EepromAfterRestore eepromAfterRestore(DeviceHandle handle) const override;
    DeviceStatus write(DeviceHandle handle, const void *buffer, quint32 count,
                       quint32 *written) override;
    DeviceStatus read(DeviceHandle handle, void *buffer, quint32 count, quint32 *received) override;
    DeviceStatus close(DeviceHandle handle) override;

private:
    struct Session;

    bool load();
    Session *session(DeviceHandle handle) const;
    std::vector<d2xx::ListNode> list(quint32 *count);
    d2xx::Status openChip(const QByteArray &serial, d2xx::Handle *chip);
    d2xx::Status configure(d2xx::Handle chip);

    QLibrary library;
    d2xx::Api api {};
    bool ready = false;
    QString problemText;
    QString version;
    quint32 created = 0; // devices in the list the library made last
    mutable std::mutex sessionsGuard; // over `sessions` only, never held for a call
    std::vector<std::unique_ptr<Session>> sessions;
};
