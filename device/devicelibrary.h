#pragma once

#include <QString>
#include <QtGlobal>

// The station's only way to the hardware: the operations of FTDI's D2XX
// library that the station uses, with D2XX's argument conventions. Every
// operation returns a status; 0 is success, anything else a failure.

using DeviceStatus = quint32;
using DeviceHandle = void *;

// D2XX status values; callers only tell 0 from the rest.
namespace DeviceStatusCode {
enum : DeviceStatus {
    Ok = 0,
    InvalidHandle = 1,
    DeviceNotFound = 2,
    DeviceNotOpened = 3,
    IoError = 4,
    InsufficientResources = 5,
    InvalidParameter = 6,
    InvalidBaudRate = 7,
    EepromReadFailed = 11,
    EepromWriteFailed = 12,
    NotSupported = 17,
    OtherError = 18,
};
}

// Device type code of the FT232R/FT245R family.
constexpr quint32 DeviceTypeFt232r = 5;

// Flags of open(): the argument is a serial number, or (as D2XX's
// FT_OpenEx takes it) a USB location id cast to the pointer.
constexpr quint32 OpenBySerialNumber = 1;
constexpr quint32 OpenByLocation = 4;

// One entry of the device information list (D2XX's list-info node).
struct DeviceInfoRecord {
    quint32 flags;
    quint32 deviceType;
    quint32 deviceId;
    quint32 locationId;
    char serialNumber[16];
    char description[64];
    quintptr handle;
};

// Sizes of the caller's string buffers in EepromData.
constexpr int EepromManufacturerSize = 32;
constexpr int EepromManufacturerIdSize = 16;
constexpr int EepromDescriptionSize = 64;
constexpr int EepromSerialNumberSize = 16;

// EEPROM programme data, version 5 of D2XX's record, with the common header
// and the fields of the FT232R family. The four strings point to buffers of
// the caller; read fills them with NUL-terminated text, program takes them.
struct EepromData {
    quint32 signature1;
    quint32 signature2;
    quint32 version;
    quint16 vendorId;
    quint16 productId;
    char *manufacturer;
    char *manufacturerId;
    char *description;
    char *serialNumber;
    quint16 maxPower; // mA
    quint16 pnp;
    quint16 selfPowered;
    quint16 remoteWakeup;
    quint8 useExtOsc;
    quint8 highDriveIOs;
    quint8 endpointSize;
    quint8 pullDownEnable;
    quint8 serNumEnable;
    quint8 invertTXD;
    quint8 invertRXD;
    quint8 invertRTS;
    quint8 invertCTS;
    quint8 invertDTR;
    quint8 invertDSR;
    quint8 invertDCD;
    quint8 invertRI;
    quint8 cbus0;
    quint8 cbus1;
    quint8 cbus2;
    quint8 cbus3;
    quint8 cbus4;
    quint8 rIsD2XX; // 1: D2XX driver, 0: virtual COM port
};

constexpr quint32 EepromSignature1 = 0x00000000;
constexpr quint32 EepromSignature2 = 0xFFFFFFFF;
constexpr quint32 EepromDataVersion = 5;

// D2XX line setting codes.
constexpr quint8 WordLength8 = 8;
constexpr quint8 StopBits1 = 0;
constexpr quint8 ParityNone = 0;

// What a chip's EEPROM was found to hold once the station had written back
// the old rows of a programming that the chip did not keep.
enum class EepromAfterRestore { NoRestore, OldImage, NewImage, Neither, Unreadable };

class DeviceLibrary {
public:
    virtual ~DeviceLibrary() = default;

    // What keeps this library from reaching any chip, said for the operator
    // (the library file or a function missing, and what to install); empty
    // when nothing does.
    virtual QString problem() const { return {}; }

    // A listed chip's location id as a bench owner reads it on a sticker
    // or in the ini file; stable for a chip left in its USB port.
    virtual QString locationText(quint32 locationId) const
    {
        return QStringLiteral("0x%1").arg(locationId, 4, 16, QLatin1Char('0'));
    }

    // Whether calls on different handles may run at once in different
    // threads (listing, open and close stay one caller at a time).
    virtual bool takesHandlesAtOnce() const { return false; }

    virtual DeviceStatus createDeviceInfoList(quint32 *count) = 0;
    // Writes at most `capacity` records to `list` and the number written to
    // `count`.
    virtual DeviceStatus getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity, quint32 *count)
        = 0;
    virtual DeviceStatus open(const char *serialNumber, quint32 flags, DeviceHandle *handle) = 0;
    virtual DeviceStatus setBaudRate(DeviceHandle handle, quint32 baudRate) = 0;
    virtual DeviceStatus setDataCharacteristics(DeviceHandle handle, quint8 wordLength,
                                                quint8 stopBits, quint8 parity)
        = 0;
    virtual DeviceStatus setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                                     quint32 writeTimeoutMs)
        = 0;
    virtual DeviceStatus eepromRead(DeviceHandle handle, EepromData *data) = 0;
    virtual DeviceStatus eepromProgram(DeviceHandle handle, EepromData *data) = 0;
    // After a failed eepromProgram on the handle: whether the old image had
    // to be written back, and what the chip then held.
    virtual EepromAfterRestore eepromAfterRestore(DeviceHandle) const
    {
        return EepromAfterRestore::NoRestore;
    }
    virtual DeviceStatus write(DeviceHandle handle, const void *buffer, quint32 count,
                               quint32 *written)
        = 0;
    virtual DeviceStatus read(DeviceHandle handle, void *buffer, quint32 count, quint32 *received)
        = 0;
    virtual DeviceStatus close(DeviceHandle handle) = 0;
};
