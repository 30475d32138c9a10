#pragma once

#include "device/devicelibrary.h"

#include <QByteArray>
#include <QHash>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct ftdi_context;
struct libusb_device;

// Where a device sits on USB, as the library's locationId: its bus, then
// the hub ports from the root; 0 when the path does not fit.
quint32 usbLocationOf(libusb_device *device);

// The device library on real FTDI chips, through libftdi1 (over libusb-1.0).
// A handle is a session of its own on one chip; the kernel's ftdi_sio driver
// is detached while it is open and attached again when it closes. Calls on
// different handles may run at once in different threads; listing, open and
// close are for one caller at a time.
class FtdiDeviceLibrary : public DeviceLibrary {
public:
    FtdiDeviceLibrary();
    ~FtdiDeviceLibrary() override;
    FtdiDeviceLibrary(const FtdiDeviceLibrary &) = delete;
    FtdiDeviceLibrary &operator=(const FtdiDeviceLibrary &) = delete;

    QString locationText(quint32 locationId) const override;
    // Each session has a libusb context of its own (ftdi_init's libusb_init).
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
    struct Listed {
        quint32 type;
        quint32 id;
        QByteArray serial;
        QByteArray description;
        quint32 location = 0;
    };

    Session *session(DeviceHandle handle) const;
    Listed describe(libusb_device *device);
    libusb_device *findFree(const std::function<bool(libusb_device *)> &matches);

    ftdi_context *listing = nullptr; // enumerates
    // What a device said of itself, by bus and address: unchanged while it
    // stays attached, so the refresh does not open it again.
    QHash<quint32, Listed> known;
    std::vector<Listed> listed;
    mutable std::mutex sessionsGuard; // over `sessions` only, never held for I/O
    std::vector<std::unique_ptr<Session>> sessions;
};
