#pragma once

#include "device/arrivalnotices.h"
#include "sockets/socketsettings.h"

class DeviceLibrary;
class QApplication;

// The station in socket mode until it quits, its records shipped as the
// one-pair station ships them. With `runs` > 0: "Start test" pressed that
// many times, each once the last has ended, then quit; 0 only when every
// socket of the last click passed. With start=plug-in, `watchArrivals`
// tells of chips arriving sooner than the list's refresh.
int runFixture(QApplication &application, DeviceLibrary &library, const SocketSettings &sockets,
               int runs, const ArrivalWatch &watchArrivals = {});
