#pragma once

#include "device/devicelibrary.h"

#include <QString>

#include <vector>

// The device information list as the library gives it. A failing call
// counts as no device; the records are never read beyond what was written.
std::vector<DeviceInfoRecord> listDevices(DeviceLibrary &library);

// How "Finding devices..." lists a chip: "Connected <description> serial
// <serial> \n", the device's texts made safe to log.
QString listingLine(const DeviceInfoRecord &record);

inline bool isFt232r(const DeviceInfoRecord &record)
{
    return record.deviceType == DeviceTypeFt232r;
}
