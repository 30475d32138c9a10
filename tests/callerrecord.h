#pragma once

#include "device/devicelibrary.h"

// An EEPROM record on the caller's side, as the station prepares it: header
// set, the four strings in buffers of their own.
struct CallerRecord {
    char manufacturer[EepromManufacturerSize] = {};
    char manufacturerId[EepromManufacturerIdSize] = {};
    char description[EepromDescriptionSize] = {};
    char serial[EepromSerialNumberSize] = {};
    EepromData data {};

    CallerRecord()
    {
        data.signature2 = EepromSignature2;
        data.version = EepromDataVersion;
        data.manufacturer = manufacturer;
        data.manufacturerId = manufacturerId;
        data.description = description;
        data.serialNumber = serial;
    }
    CallerRecord(const CallerRecord &) = delete;
    CallerRecord &operator=(const CallerRecord &) = delete;
};
