#pragma once

#include "device/sim/simulateddevicelibrary.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Reads a bench scenario (format in docs/simulated-bench.md). Anything the
// format does not allow is rejected with a message naming the entry.
bool parseSimScenario(const QByteArray &json, SimScenario *scenario, QString *error);
bool loadSimScenario(const QString &path, SimScenario *scenario, QString *error);

// An EEPROM's fields with the key names of the scenario format.
QJsonObject simEepromToJson(const SimEeprom &eeprom);

// Every device's EEPROM and the count of handles still open, for --dump-eeprom.
QByteArray dumpSimEeproms(const SimulatedDeviceLibrary &library);
