#pragma once

#include "device/sim/simulateddevicelibrary.h"

#include <QByteArray>
#include <QString>

// The 128-byte EEPROM image of an FT232R chip, as the chip stores it.
constexpr int Ft232rEepromSize = 128;

// The checksum an FT232R expects in the image's last word.
quint16 ft232rEepromChecksum(const QByteArray &image);

// The settings held in an FT232R EEPROM image, or an error when the image
// is not one (wrong size, bad checksum, string descriptors out of place).
bool decodeFt232rEeprom(const QByteArray &image, SimEeprom *eeprom, QString *error);
