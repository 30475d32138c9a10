#include "app/pluginstart.h"

#include "app/mw.h"
#include "app/mwform.h"
#include "device/arrivalnotices.h"
#include "device/devicelist.h"
#include "device/displaytext.h"
#include "log/debugtrace.h"

#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

bool PlugInStart::configured()
{
    const QSettings ini(QStringLiteral("zelor-k3-tester.ini"), QSettings::IniFormat);
    return ini.value(QStringLiteral("station/start")).toString().trimmed()
        == QLatin1String("plug-in");
}

PlugInStart::PlugInStart(MW &window, DeviceLibrary &library)
    : QObject(&window), window(window), library(library), timer(new QTimer(this)),
      status(new QLabel(&window))
{
    status->setObjectName(QStringLiteral("plugIn"));
    QFont large = status->font();
    large.setPointSize(large.pointSize() * 2);
    large.setBold(true);
    status->setFont(large);
    window.statusBar()->addWidget(status, 1);
    connect(timer, &QTimer::timeout, this, &PlugInStart::poll);
    timer->start(PollMs);
    stilled = new QTimer(this);
    stilled->setSingleShot(true);
    connect(stilled, &QTimer::timeout, this, &PlugInStart::poll);
    window.form->passed->setStyleSheet(QStringLiteral("background-color:black;color:white;"));
    window.form->passed->setText(PlugIn);
    waitFor(PlugIn);
}

void PlugInStart::listenTo(ArrivalNotices *notices)
{
    if (!notices)
        return;
    DebugTrace() << "plug-in start: arrivals noticed through" << notices->path();
    connect(notices, &ArrivalNotices::changed, this, [this] {
        seen.clear(); // changed, whatever the list shows now
        poll();
        stilled->start(StillMs + StilledSlackMs);
    });
}

// The FT232R chips attached now, in the list's order.
QList<PlugInStart::Chip> PlugInStart::attached() const
{
    QList<Chip> chips;
    for (const DeviceInfoRecord &record : listDevices(library))
        if (isFt232r(record))
            chips << Chip { latin1Field(record.serialNumber, sizeof record.serialNumber),
                            record.locationId };
    return chips;
}

// Why a chip of the pair cannot be opened yet; empty when both can. Only
// opened and closed: nothing is written.
QString PlugInStart::unopened(const QList<Chip> &pair) const
{
    for (const Chip &chip : pair) {
        DeviceHandle handle = nullptr;
        const QByteArray serial = chip.first.toLatin1();
        const DeviceStatus opened = library.open(serial.constData(), OpenBySerialNumber, &handle);
        if (opened != DeviceStatusCode::Ok)
            return QStringLiteral("%1 cannot be opened (status %2)")
                .arg(displayText(chip.first))
                .arg(opened);
        library.close(handle);
    }
    return QString();
}

void PlugInStart::poll()
{
    if (starting || !window.form->startTest->isEnabled()) // a run is on
        return;
    if (window.runCount != runsSeen) {
        runsSeen = window.runCount;
        runEnded();
    }
    const QList<Chip> chips = attached();
    if (chips != seen) {
        seen = chips;
        still.start();
    }
    if (!tested.isEmpty()) {
        const bool left = std::none_of(tested.begin(), tested.end(), [&](const Chip &c) {
            return std::any_of(chips.begin(), chips.end(),
                               [&](const Chip &now) { return now.first == c.first; });
        });
        if (!left) {
            waitFor(RemovePair);
            return;
        }
        tested.clear();
        window.form->passed->setStyleSheet(QStringLiteral("background-color:black;color:white;"));
        window.form->passed->setText(PlugIn);
    }
    if (chips.size() != 2) {
        waitFor(PlugIn,
                chips.size() > 2 ? QStringLiteral("%1 chips attached: exactly 2 make a "
                                                  "pair")
                                       .arg(chips.size())
                                 : QString());
        return;
    }
    if (still.elapsed() < StillMs)
        return;
    const QString why = unopened(chips);
    if (!why.isEmpty()) {
        if (still.elapsed() >= StillMs + OpenRetryMs)
            waitFor(PlugIn, why);
        return;
    }
    DebugTrace() << "plug-in start: a pair seated for" << still.elapsed() << "ms";
    tested = chips;
    starting = true;
    window.form->startTest->click();
    starting = false;
    runsSeen = window.runCount;
    runEnded();
}

// After any run, a click's too (seen at the next poll): the pair it tested
// waits to be removed.
void PlugInStart::runEnded()
{
    const QList<Chip> chips = attached();
    for (const Chip &chip : chips)
        if (!tested.contains(chip))
            tested << chip;
    seen = chips;
    still.start();
    waitFor(RemovePair);
}

void PlugInStart::waitFor(const QString &what, const QString &detail)
{
    const QString text = detail.isEmpty() ? what : what + QStringLiteral(": ") + detail;
    if (status->text() != text)
        status->setText(text);
}
