#pragma once

#include "sockets/socketsettings.h"

class DeviceLibrary;
class QApplication;

// The station in socket mode until it quits, its records shipped as the
// one-pair station ships them. With `runs` > 0: "Start test" pressed that
// many times, each once the last has ended, then quit; 0 only when every
// socket of the last click passed.
int runFixture(QApplication &application, DeviceLibrary &library, const SocketSettings &sockets,
               int runs);
