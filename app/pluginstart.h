#pragma once

#include "device/devicelibrary.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class ArrivalNotices;
class MW;
class QLabel;
class QTimer;

// A run started by seating a pair, with `[station] start=plug-in` in
// zelor-k3-tester.ini: when exactly two FT232R chips are attached and have
// stayed the same (serial numbers and USB locations) for StillMs, and both
// can be opened, the station starts the same run as a click does. A pair
// that stays seated after its run (the operator's click included) is not
// tested again until both its chips are gone. The banner and the status
// line say what the station waits for. Without the setting there is none of
// this: the station waits for the click.
class PlugInStart : public QObject {
    Q_OBJECT

public:
    static constexpr int PollMs = 200;
    static constexpr int StillMs = 1000;
    // A chip listed before its driver lets it open: tried again this long.
    static constexpr int OpenRetryMs = 3000;
    // After a notice, the look once the second is surely up.
    static constexpr int StilledSlackMs = 10;
    static inline const QString PlugIn = QStringLiteral("Plug in a pair");
    static inline const QString RemovePair = QStringLiteral("Remove the pair");

    // The setting: true for start=plug-in in the ini file of the folder the
    // station starts in.
    static bool configured();

    PlugInStart(MW &window, DeviceLibrary &library);
    // The platform's notices of arrivals, if any: each looks at the chips
    // at once, restarts the second of stillness (a chip that bounced faster
    // than the refresh is seen) and looks again when that second is up.
    void listenTo(ArrivalNotices *notices);

private:
    using Chip = QPair<QString, quint32>; // serial number, USB location
    void poll();
    void runEnded();
    QList<Chip> attached() const;
    QString unopened(const QList<Chip> &pair) const;
    void waitFor(const QString &what, const QString &detail = QString());

    MW &window;
    DeviceLibrary &library;
    QTimer *timer;
    QTimer *stilled; // a second after the last notice
    QLabel *status;
    QList<Chip> seen; // the chips as last polled
    QElapsedTimer still; // since they last changed
    QList<Chip> tested; // the pair that had a run and has not left yet
    bool starting = false;
    qint32 runsSeen = 0; // the window's runs, a click's too
};
