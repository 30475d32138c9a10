#pragma once

#include "device/devicelibrary.h"

#include <QMutex>

// The device library as the sockets of a fixture share it, each from a
// thread of its own: the list, open and close go to the library one caller
// at a time (D2XX says nothing of calling them from several threads), and
// so does every other call when the library does not take calls on
// different handles at once.
class SharedLibrary : public DeviceLibrary {
public:
    explicit SharedLibrary(DeviceLibrary &library)
        : library(library), handlesAtOnce(library.takesHandlesAtOnce())
    {
    }
    bool takesHandlesAtOnce() const override { return true; }

    QString problem() const override { return library.problem(); }
    QString locationText(quint32 locationId) const override
    {
        return library.locationText(locationId);
    }
    DeviceStatus createDeviceInfoList(quint32 *count) override
    {
        const QMutexLocker lock(&listLock);
        return library.createDeviceInfoList(count);
    }
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                   quint32 *count) override
    {
        const QMutexLocker lock(&listLock);
        return library.getDeviceInfoList(list, capacity, count);
    }
    DeviceStatus open(const char *serialNumber, quint32 flags, DeviceHandle *handle) override
    {
        const QMutexLocker lock(&listLock);
        return library.open(serialNumber, flags, handle);
    }
    DeviceStatus close(DeviceHandle handle) override
    {
        const QMutexLocker lock(&listLock);
        return library.close(handle);
    }
    DeviceStatus setBaudRate(DeviceHandle handle, quint32 baudRate) override
    {
        return onHandle([&] { return library.setBaudRate(handle, baudRate); });
    }
    DeviceStatus setDataCharacteristics(DeviceHandle handle, quint8 wordLength, quint8 stopBits,
                                        quint8 parity) override
    {
        return onHandle(
            [&] { return library.setDataCharacteristics(handle, wordLength, stopBits, parity); });
    }
    DeviceStatus setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                             quint32 writeTimeoutMs) override
    {
        return onHandle([&] { return library.setTimeouts(handle, readTimeoutMs, writeTimeoutMs); });
    }
    DeviceStatus eepromRead(DeviceHandle handle, EepromData *data) override
    {
        return onHandle([&] { return library.eepromRead(handle, data); });
    }
    DeviceStatus eepromProgram(DeviceHandle handle, EepromData *data) override
    {
        return onHandle([&] { return library.eepromProgram(handle, data); });
    }
    EepromAfterRestore eepromAfterRestore(DeviceHandle handle) const override
    {
        return onHandle([&] { return library.eepromAfterRestore(handle); });
    }
    DeviceStatus write(DeviceHandle handle, const void *buffer, quint32 count,
                       quint32 *written) override
    {
        return onHandle([&] { return library.write(handle, buffer, count, written); });
    }
    DeviceStatus read(DeviceHandle handle, void *buffer, quint32 count, quint32 *received) override
    {
        return onHandle([&] { return library.read(handle, buffer, count, received); });
    }

private:
    template<typename Call> auto onHandle(Call call) const -> decltype(call())
    {
        if (handlesAtOnce)
            return call();
        const QMutexLocker lock(&listLock);
        return call();
    }

    DeviceLibrary &library;
    const bool handlesAtOnce;
    mutable QMutex listLock;
};
