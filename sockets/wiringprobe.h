#pragma once

#include "device/devicelibrary.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Which chips of a fixture are wired to which. With every chip open, each
// sends a token of its own while all of them listen; a pair is two chips
// that each hear exactly the other's token. Nothing is written to an EEPROM.

struct FixtureChip {
    QString serial;
    QString listed; // its entry of "Finding devices..."
    quint32 location = 0;
};

enum class Wiring {
    Paired, // hears its partner only, and its partner hears it only
    OneWay, // one of two chips hears the other, which hears nothing
    HearsItself, // a loopback plug, or TX shorted to RX
    HearsSeveral, // tokens of more than one chip: a short between sockets
    Garbled, // bytes that are no token: a short, or noise on the line
    HearsNothing, // no partner, or a dead line
    NotOpened, // could not be opened, so not probed
};

struct ChipWiring {
    Wiring wiring = Wiring::NotOpened;
    int partner = -1; // the other chip of a pair or of a one-way pair
    bool hearsPartner = false; // of a one-way pair: the one that hears the other
};

namespace wiringprobe {

// A token: the marker A5 5A, the probe's nonce, the chip's index and its
// complement, and a CRC-8 (polynomial 0x07) of those five bytes.
constexpr int TokenSize = 6;
constexpr int MaxChips = 256;
// How long every chip listens once all have sent.
constexpr quint32 ListenMs = 30;

QByteArray token(quint8 nonce, int index);
// The class of every chip from the bytes each heard (`heard[i]`, empty for
// a chip that was not opened).
QList<ChipWiring> classify(const QList<QByteArray> &heard, const QList<bool> &opened, quint8 nonce);

} // namespace wiringprobe

// Opens every chip by its location, probes the wiring and closes them
// again, receive buffers cleared before and after. `library` must take calls
// on different handles from different threads.
QList<ChipWiring> probeWiring(DeviceLibrary &library, const QList<FixtureChip> &chips);

// What a chip's class means for the bench owner, naming the chips by
// `names`.
QString wiringText(const ChipWiring &wiring, const QStringList &names);
