#pragma once

#include "device/arrivalnotices.h"
#include "device/devicelibrary.h"

#include <memory>

// The device library the station runs on, chosen by ZELOR_DEVICE_LIBRARY:
// unset, the platform's own (libftdi1 on Linux, FTDI's D2XX on Windows);
// "libftdi1"; "d2xx", FTDI's library by its usual file name; or the path of
// a D2XX library file. A choice this build cannot serve still gives a
// library, one that finds no chip and says why in its problem().
struct ChosenBackend {
    std::unique_ptr<DeviceLibrary> library;
    QString name; // for the run records: "libftdi1 1.5", "D2XX 3.01.15 (ftd2xx.dll)"
    ArrivalWatch watchArrivals = [](QWidget &) -> ArrivalNotices * { return nullptr; };
};

ChosenBackend chooseBackend(const QString &choice);
