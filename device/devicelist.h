#pragma once

#include "device/devicelibrary.h"

#include <vector>

// The device information list as the library gives it. A failing call
// counts as no device; the records are never read beyond what was written.
std::vector<DeviceInfoRecord> listDevices(DeviceLibrary &library);

inline bool isFt232r(const DeviceInfoRecord &record)
{
    return record.deviceType == DeviceTypeFt232r;
}
