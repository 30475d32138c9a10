#pragma once

#include "device/devicelibrary.h"

#include <QByteArray>
#include <QHash>

#include <memory>
#include <vector>

struct ftdi_context;
struct libusb_device;

// The device library on real FTDI chips, through libftdi1 (over libusb-1.0).
// A handle is a session of its own on one chip; the kernel's ftdi_sio driver
// is detached while it is open and attached again when it closes.
class FtdiDeviceLibrary : public DeviceLibrary {
public:
    FtdiDeviceLibrary();
    ~FtdiDeviceLibrary() override;
    FtdiDeviceLibrary(const FtdiDeviceLibrary &) = delete;
    FtdiDeviceLibrary &operator=(const FtdiDeviceLibrary &) = delete;

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
    };

    Session *session(DeviceHandle handle) const;
    Listed describe(libusb_device *device);
    libusb_device *findBySerial(const QByteArray &serial);

    ftdi_context *listing = nullptr; // enumerates
    // What a device said of itself, by bus and address: unchanged while it
    // stays attached, so the refresh does not open it again.
    QHash<quint32, Listed> known;
    std::vector<Listed> listed;
    std::vector<std::unique_ptr<Session>> sessions;
};
