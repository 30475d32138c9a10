#pragma once

#include "sockets/wiringprobe.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The sockets of a fixture as the probe found them, each named by where its
// chips sit on USB, and the chips whose wiring is wrong.

struct FixtureSocket {
    QString key; // its chips' locations, "1-1.1+1-1.2": the same for a fixed fixture
    QString label; // what its tile and its log lines show
    QList<FixtureChip> chips; // a clean pair: two, in location order
    QString problem; // empty for a clean pair, else what is wrong with its wiring
    bool unopened = false; // a chip of it could not be opened, so was not probed
};

struct FixtureLayout {
    QList<FixtureSocket> sockets; // in label order, as the fixture's stickers go
    QStringList notes; // about the labels: given twice, missing
};

using LocationText = std::function<QString(quint32 locationId)>;

// Label order, numbers by their value: "A2" before "A10".
bool labelledBefore(const QString &a, const QString &b);

// `labels`: the ini's label for a chip's location text. A socket takes the
// label of its first labelled chip; a label that would name two sockets
// names neither (they show their locations, and a note says so).
FixtureLayout layOutFixture(const QList<FixtureChip> &chips, const QList<ChipWiring> &wiring,
                            const QHash<QString, QString> &labels,
                            const LocationText &locationText);
