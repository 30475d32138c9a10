#include "sockets/fixturewindow.h"

#include "device/arrivalnotices.h"
#include "device/devicelist.h"
#include "device/displaytext.h"
#include "log/debugtrace.h"
#include "log/logfile.h"
#include "log/logview.h"
#include "procedure/runrecord.h"
#include "sockets/socketrun.h"
#include "sockets/sockettile.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QStatusBar>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString now()
{
    return QDateTime::currentDateTime().toString(Qt::TextDate);
}

QString chipsText(const FixtureSocket &socket, const LocationText &locationText)
{
    QStringList chips;
    for (const FixtureChip &chip : socket.chips)
        chips << displayText(chip.serial) + QStringLiteral(" at ") + locationText(chip.location);
    return chips.join(QStringLiteral("\n"));
}

} // namespace

FixtureWindow::FixtureWindow(DeviceLibrary &library, const SocketSettings &settings,
                             QWidget *parent)
    : QMainWindow(parent), shared(library), settings(settings),
      startButton(new QPushButton(QStringLiteral("Start test"))), status(new QLabel),
      grid(new QGridLayout), log(new QTextEdit), refreshTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("FixtureWindow"));
    setWindowTitle(QStringLiteral("ZELOR-K3 Tester V1.0.0 - fixture"));
    resize(1200, 800);
    auto *central = new QWidget;
    auto *column = new QVBoxLayout(central);
    startButton->setObjectName(QStringLiteral("startTest"));
    QFont large = startButton->font();
    large.setPointSizeF(large.pointSizeF() * 2);
    startButton->setFont(large);
    column->addWidget(startButton);
    auto *tilesArea = new QScrollArea;
    auto *tilesWidget = new QWidget;
    tilesWidget->setLayout(grid);
    tilesArea->setWidget(tilesWidget);
    tilesArea->setWidgetResizable(true);
    column->addWidget(tilesArea, 4);
    log->setObjectName(QStringLiteral("log"));
    log->setReadOnly(true);
    log->setMaximumHeight(110);
    column->addWidget(log, 1);
    setCentralWidget(central);
    status->setObjectName(QStringLiteral("sockets"));
    status->setWordWrap(true);
    statusBar()->addWidget(status, 1);

    connect(startButton, &QPushButton::clicked, this, &FixtureWindow::startTest);
    connect(refreshTimer, &QTimer::timeout, this, &FixtureWindow::refresh);
    refreshTimer->start(RefreshMs);
    logLine(QStringLiteral("Starting app ") + now());
    probe(0, {});
}

FixtureWindow::~FixtureWindow()
{
    // Every run ends on its own within its time-outs; none is cut short.
    if (probing)
        probing->wait();
    for (QThread *thread : std::as_const(running))
        thread->wait();
    logClosing();
}

void FixtureWindow::logClosing()
{
    if (closingLogged)
        return;
    closingLogged = true;
    logLine(QStringLiteral("Closing app ") + now() + QStringLiteral("\r\n"));
}

void FixtureWindow::logLine(const QString &text)
{
    if (appendToLogFile(text)) {
        appendPlainParagraph(log, text);
    } else {
        appendPlainParagraph(log,
                             text
                                 + QStringLiteral(" (error opening file TestingLog.txt for "
                                                  "writing, log not saved.)"));
        appendPlainParagraph(log, text);
    }
}

QList<FixtureChip> FixtureWindow::attachedChips()
{
    QList<FixtureChip> chips;
    for (const DeviceInfoRecord &record : listDevices(shared)) {
        if (isFt232r(record))
            chips << FixtureChip { latin1Field(record.serialNumber, sizeof record.serialNumber),
                                   listingLine(record), record.locationId };
    }
    return chips;
}

namespace {

QList<QPair<QString, quint32>> identities(const QList<FixtureChip> &chips)
{
    QList<QPair<QString, quint32>> seen;
    for (const FixtureChip &chip : chips)
        seen << qMakePair(chip.serial, chip.location);
    std::sort(seen.begin(), seen.end(),
              [](const auto &a, const auto &b) { return a.second < b.second; });
    return seen;
}

} // namespace

// Each second while nothing runs: a fixture whose chips changed is probed
// again, so that the tiles show what is seated.
void FixtureWindow::refresh()
{
    if (!idle() || plugIn)
        return;
    if (identities(attachedChips()) != probedChips)
        probe(0, {});
}

int FixtureWindow::beginClick()
{
    ++runCount;
    log->clear();
    logLine(QStringLiteral("Test run %1 started %2").arg(runCount).arg(now()));
    return runCount;
}

void FixtureWindow::startTest()
{
    if (!idle())
        return;
    probe(beginClick(), {});
}

void FixtureWindow::retest(const QString &key)
{
    if (probing || running.contains(key) || !known.contains(key))
        return;
    probe(beginClick(), known.value(key).chips);
}

// In a thread of its own: the wiring of `chosen` probed (of every chip
// attached when it is empty), then shown; `run` 0 starts no run.
void FixtureWindow::probe(int run, const QList<FixtureChip> &chosen)
{
    probing = QThread::create([this, run, chosen] {
        // A plug-in probe starts a run of its own only when it finds a pair.
        const QList<FixtureChip> chips = chosen.isEmpty() ? attachedChips() : chosen;
        const QList<ChipWiring> wiring = probeWiring(shared, chips);
        const FixtureLayout found
            = layOutFixture(chips, wiring, settings.labels,
                            [this](quint32 location) { return shared.locationText(location); });
        const bool whole = chosen.isEmpty();
        QMetaObject::invokeMethod(
            this, [this, found, run, whole, chips] { showLayout(found, run, whole, chips); },
            Qt::QueuedConnection);
    });
    probing->setParent(this);
    connect(probing, &QThread::finished, probing, &QObject::deleteLater);
    updateButtons();
    probing->start();
}

void FixtureWindow::addTile(const FixtureSocket &socket)
{
    auto *tile = new SocketTile(socket.key);
    tile->show(socket.label,
               chipsText(socket, [this](quint32 l) { return shared.locationText(l); }));
    connect(tile, &SocketTile::retestClicked, this, &FixtureWindow::retest);
    tiles.insert(socket.key, tile);
}

// The probe's sockets on screen: all of them anew after a whole probe, else
// merged with those shown (a socket keeps the label it has; a new one takes
// its location where its label is another socket's already).
void FixtureWindow::showLayout(const FixtureLayout &found, int run, bool whole,
                               const QList<FixtureChip> &chips)
{
    probing = nullptr;
    if (whole) {
        probedChips = identities(chips);
        for (SocketTile *old : std::as_const(tiles))
            delete old;
        tiles.clear();
        known.clear();
        order.clear();
        status->setText(found.notes.join(QStringLiteral("\n")));
    }
    for (FixtureSocket socket : found.sockets) {
        if (known.contains(socket.key)) {
            socket.label = known.value(socket.key).label;
        } else {
            for (const FixtureSocket &other : std::as_const(known))
                if (other.label == socket.label)
                    socket.label = socket.key;
            forgetTilesOf(socket.chips);
            order << socket.key;
            addTile(socket);
        }
        known.insert(socket.key, socket);
        SocketTile *tile = tiles.value(socket.key);
        if (!socket.problem.isEmpty()) {
            tile->wiringProblem(socket.problem);
            if (run > 0)
                logLine(QLatin1Char('[') + socket.label + QStringLiteral("] Wiring: ")
                        + socket.problem);
            if (plugIn)
                tile->waitFor(RemoveChips);
        } else if (run == PlugInRun) {
            run = beginClick();
            launch(socket, run);
        } else if (run > 0) {
            launch(socket, run);
        } else {
            tile->ready();
        }
    }
    relayTiles();
    probedUnopened = std::any_of(found.sockets.begin(), found.sockets.end(),
                                 [](const FixtureSocket &socket) { return socket.unopened; });
    if (run > 0 && whole)
        for (const QString &note : found.notes)
            logLine(note);
    updateButtons();
    emit probed();
}

// Tiles of sockets that held any of `chips` and are not running: those
// chips now make another socket.
void FixtureWindow::forgetTilesOf(const QList<FixtureChip> &chips)
{
    for (const QString &key : QStringList(order)) {
        if (running.contains(key))
            continue;
        const QList<FixtureChip> held = known.value(key).chips;
        const bool overlaps = std::any_of(held.begin(), held.end(), [&](const FixtureChip &a) {
            return std::any_of(chips.begin(), chips.end(),
                               [&](const FixtureChip &b) { return a.location == b.location; });
        });
        if (!overlaps)
            continue;
        delete tiles.take(key);
        known.remove(key);
        tested.remove(key);
        order.removeAll(key);
    }
}

// The tiles on the grid in label order, as the fixture's stickers go.
void FixtureWindow::relayTiles()
{
    std::stable_sort(order.begin(), order.end(), [&](const QString &a, const QString &b) {
        return labelledBefore(known.value(a).label, known.value(b).label);
    });
    int place = 0;
    for (const QString &key : std::as_const(order))
        if (SocketTile *tile = tiles.value(key)) {
            grid->addWidget(tile, place / TileColumns, place % TileColumns);
            ++place;
        }
}

void FixtureWindow::launch(const FixtureSocket &socket, int run)
{
    SocketTile *tile = tiles.value(socket.key);
    tile->testing();
    tile->waitFor(QString());
    const QString key = socket.key;
    QThread *thread = QThread::create([this, socket, run, key] {
        SocketRun pair(shared, socket, run, [this, key](const QString &line, bool saved) {
            QMetaObject::invokeMethod(
                this,
                [this, key, line, saved] {
                    if (SocketTile *t = tiles.value(key)) {
                        if (!saved)
                            t->addLine(line
                                       + QStringLiteral(" (error opening file TestingLog.txt "
                                                        "for writing, log not saved.)"));
                        t->addLine(line);
                    }
                },
                Qt::QueuedConnection);
        });
        const QByteArray line = pair.run();
        const bool journaled = RunRecord::save(line);
        const bool passed = pair.passed();
        const qint32 code = pair.code();
        QMetaObject::invokeMethod(
            this, [=] { ended(key, passed, code, line, journaled); }, Qt::QueuedConnection);
    });
    running.insert(key, thread);
    tested.insert(key, identities(socket.chips));
    thread->setParent(this);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void FixtureWindow::armOnPlugIn(ArrivalNotices *notices)
{
    plugIn = true;
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &FixtureWindow::pollPlugIn);
    poll->start(PollMs);
    clock.start();
    status->setText(PlugInPair);
    if (!notices)
        return;
    DebugTrace() << "plug-in start: arrivals noticed through" << notices->path();
    auto *stilled = new QTimer(this);
    stilled->setSingleShot(true);
    connect(stilled, &QTimer::timeout, this, &FixtureWindow::pollPlugIn);
    connect(notices, &ArrivalNotices::changed, this, [this, stilled](quint32 location) {
        for (auto it = arrived.begin(); it != arrived.end();)
            it = location != 0 && it.key().second == location ? arrived.erase(it) : std::next(it);
        pollPlugIn();
        stilled->start(StillMs + PlugInStart::StilledSlackMs);
    });
}

// Each PollMs: a socket that ran is armed again once both its chips left;
// the chips in no such socket that have stayed unchanged for StillMs are
// probed whenever they change, and each clean pair among them starts its
// run. A probe that could not open a chip is tried again until OpenRetryMs
// after it first could not.
void FixtureWindow::pollPlugIn()
{
    if (probing)
        return;
    const QList<FixtureChip> chips = attachedChips();
    const Identities attached = identities(chips);
    for (auto it = tested.begin(); it != tested.end();) {
        const bool anyLeft = std::any_of(it->begin(), it->end(),
                                         [&](const auto &chip) { return attached.contains(chip); });
        if (anyLeft || running.contains(it.key())) {
            ++it;
            continue;
        }
        if (SocketTile *tile = tiles.value(it.key()))
            tile->empty(PlugInPair);
        it = tested.erase(it);
    }
    QSet<quint32> claimed;
    for (auto it = tested.cbegin(); it != tested.cend(); ++it)
        for (const auto &chip : *it)
            claimed.insert(chip.second);
    const qint64 now = clock.elapsed();
    QHash<Identities::value_type, qint64> stillSince;
    QList<FixtureChip> settled;
    for (const FixtureChip &chip : chips) {
        if (chip.location == 0 || claimed.contains(chip.location)) // 0: open, or unknown
            continue;
        const auto identity = qMakePair(chip.serial, chip.location);
        const qint64 since = arrived.value(identity, now);
        stillSince.insert(identity, since);
        if (now - since >= StillMs)
            settled << chip;
    }
    arrived = stillSince; // a chip that left and came back arrives anew
    const Identities ready = identities(settled);
    const bool retry = probedUnopened && now < retryUntil;
    if (settled.isEmpty() || (ready == probedUnclaimed && !retry))
        return;
    if (ready != probedUnclaimed)
        retryUntil = now + OpenRetryMs;
    probedUnclaimed = ready;
    probe(PlugInRun, settled);
}

void FixtureWindow::ended(const QString &key, bool passed, qint32 code, const QByteArray &line,
                          bool journaled)
{
    if (QThread *thread = running.take(key))
        thread->wait(); // it has only its return left
    if (SocketTile *tile = tiles.value(key)) {
        tile->ended(passed, code);
        if (plugIn)
            tile->waitFor(RemovePair);
        if (!journaled)
            tile->addLine(QString::fromUtf8(line.trimmed())
                          + QStringLiteral(" (error opening file TestingRecords.jsonl for "
                                           "writing, record not saved.)"));
    }
    if (recordSink)
        recordSink(line, journaled);
    updateButtons();
    emit socketEnded(key);
}

void FixtureWindow::updateButtons()
{
    startButton->setEnabled(idle());
}
