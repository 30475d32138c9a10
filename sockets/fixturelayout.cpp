#include "sockets/fixturelayout.h"

#include <QCollator>
#include <QSet>

#include <algorithm>

namespace {

// The chips of one tile: a pair, a one-way pair, or a chip alone.
QList<QList<int>> groupsOf(const QList<ChipWiring> &wiring)
{
    QList<QList<int>> groups;
    QSet<int> placed;
    for (int i = 0; i < wiring.size(); ++i) {
        if (placed.contains(i))
            continue;
        QList<int> group { i };
        const int partner = wiring[i].partner;
        const bool twoOfOne = wiring[i].wiring == Wiring::Paired
            || (wiring[i].wiring == Wiring::OneWay && partner >= 0
                && wiring.value(partner).partner == i);
        if (twoOfOne && !placed.contains(partner))
            group << partner;
        for (int chip : group)
            placed.insert(chip);
        groups << group;
    }
    return groups;
}

} // namespace

bool labelledBefore(const QString &a, const QString &b)
{
    QCollator collator; // each caller its own: the probe's thread sorts too
    collator.setNumericMode(true);
    return collator.compare(a, b) < 0;
}

FixtureLayout layOutFixture(const QList<FixtureChip> &chips, const QList<ChipWiring> &wiring,
                            const QHash<QString, QString> &labels, const LocationText &locationText)
{
    QStringList names;
    for (const FixtureChip &chip : chips)
        names << chip.serial + QStringLiteral(" (") + locationText(chip.location)
                + QLatin1Char(')');

    FixtureLayout layout;
    QHash<QString, QStringList> keysByLabel;
    for (const QList<int> &group : groupsOf(wiring)) {
        FixtureSocket socket;
        QList<int> members = group;
        std::sort(members.begin(), members.end(),
                  [&](int a, int b) { return chips[a].location < chips[b].location; });
        QStringList locations;
        for (int i : members) {
            socket.chips << chips[i];
            locations << locationText(chips[i].location);
        }
        socket.key = locations.join(QLatin1Char('+'));
        for (const QString &location : locations) {
            if (socket.label.isEmpty())
                socket.label = labels.value(location).trimmed();
        }
        if (!socket.label.isEmpty())
            keysByLabel[socket.label] << socket.key;
        const ChipWiring &first = wiring[members.first()];
        if (first.wiring != Wiring::Paired) {
            // A one-way pair is said once, by the chip that hears.
            QStringList problems;
            for (int i : members)
                if (members.size() == 1 || wiring[i].hearsPartner)
                    problems << names[i] + QLatin1Char(' ') + wiringText(wiring[i], names);
            socket.problem = problems.join(QStringLiteral("; "));
            socket.unopened = std::any_of(members.begin(), members.end(), [&](int i) {
                return wiring[i].wiring == Wiring::NotOpened;
            });
        }
        layout.sockets << socket;
    }
    bool unlabelled = false;
    for (FixtureSocket &socket : layout.sockets) {
        const QStringList keys = keysByLabel.value(socket.label);
        if (keys.size() > 1) {
            socket.label.clear();
        }
        if (socket.label.isEmpty()) {
            socket.label = socket.key;
            unlabelled = unlabelled || socket.problem.isEmpty();
        }
    }
    for (auto it = keysByLabel.begin(); it != keysByLabel.end(); ++it) {
        it->sort();
        if (it->size() > 1)
            layout.notes << QStringLiteral("Label %1 is given to %2 sockets (%3): each is shown "
                                           "by its location")
                                .arg(it.key())
                                .arg(it->size())
                                .arg(it->join(QStringLiteral(", ")));
    }
    if (unlabelled && !labels.isEmpty())
        layout.notes << QStringLiteral("Some sockets have no label in zelor-k3-tester.ini: each "
                                       "is shown by its location");
    std::stable_sort(layout.sockets.begin(), layout.sockets.end(),
                     [](const FixtureSocket &a, const FixtureSocket &b) {
                         return labelledBefore(a.label, b.label);
                     });
    layout.notes.sort();
    return layout;
}
