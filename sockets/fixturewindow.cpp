#include "sockets/fixturewindow.h"

#include "device/devicelist.h"
#include "device/displaytext.h"
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
    probe(0, QString());
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

// Each second while nothing runs: a fixture whose chips changed is probed
// again, so that the tiles show what is seated.
void FixtureWindow::refresh()
{
    if (!idle())
        return;
    QList<QPair<QString, quint32>> seen;
    for (const FixtureChip &chip : attachedChips())
        seen << qMakePair(chip.serial, chip.location);
    if (seen != probedChips)
        probe(0, QString());
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
    probe(beginClick(), QString());
}

void FixtureWindow::retest(const QString &key)
{
    const auto found = std::find_if(layout.sockets.begin(), layout.sockets.end(),
                                    [&](const FixtureSocket &s) { return s.key == key; });
    if (probing || running.contains(key) || found == layout.sockets.end())
        return;
    probe(beginClick(), key);
}

// In a thread of its own: the chips listed and their wiring probed (only the
// socket's own two for `onlyKey`), then shown; `run` 0 starts no run.
void FixtureWindow::probe(int run, const QString &onlyKey)
{
    QList<FixtureChip> chosen;
    if (!onlyKey.isEmpty()) {
        for (const FixtureSocket &socket : std::as_const(layout.sockets)) {
            if (socket.key == onlyKey)
                chosen = socket.chips;
        }
    }
    probing = QThread::create([this, run, onlyKey, chosen] {
        QList<FixtureChip> chips = chosen;
        if (onlyKey.isEmpty())
            chips = attachedChips();
        const QList<ChipWiring> wiring = probeWiring(shared, chips);
        const FixtureLayout found
            = layOutFixture(chips, wiring, settings.labels,
                            [this](quint32 location) { return shared.locationText(location); });
        QMetaObject::invokeMethod(
            this, [this, found, run, onlyKey] { showLayout(found, run, onlyKey); },
            Qt::QueuedConnection);
    });
    probing->setParent(this);
    connect(probing, &QThread::finished, probing, &QObject::deleteLater);
    updateButtons();
    probing->start();
}

void FixtureWindow::showLayout(const FixtureLayout &found, int run, const QString &onlyKey)
{
    probing = nullptr;
    const LocationText locationText = [this](quint32 l) { return shared.locationText(l); };
    if (onlyKey.isEmpty()) {
        layout = found;
        probedChips.clear();
        for (const FixtureSocket &socket : std::as_const(layout.sockets))
            for (const FixtureChip &chip : socket.chips)
                probedChips << qMakePair(chip.serial, chip.location);
        std::sort(probedChips.begin(), probedChips.end(),
                  [](const auto &a, const auto &b) { return a.second < b.second; });
        for (SocketTile *old : std::as_const(tiles))
            delete old;
        tiles.clear();
        int place = 0;
        for (const FixtureSocket &socket : std::as_const(layout.sockets)) {
            auto *tile = new SocketTile(socket.key);
            tile->show(socket.label, chipsText(socket, locationText));
            connect(tile, &SocketTile::retestClicked, this, &FixtureWindow::retest);
            grid->addWidget(tile, place / TileColumns, place % TileColumns);
            ++place;
            tiles.insert(socket.key, tile);
        }
        status->setText(layout.notes.join(QStringLiteral("\n")));
    }
    for (const FixtureSocket &socket : found.sockets) {
        SocketTile *tile = tiles.value(socket.key);
        if (!onlyKey.isEmpty() && socket.key != onlyKey)
            continue; // a chip of the socket now hears another: seen at the next full probe
        if (!tile)
            continue;
        if (!socket.problem.isEmpty()) {
            tile->wiringProblem(socket.problem);
            if (run > 0)
                logLine(QLatin1Char('[') + socket.label + QStringLiteral("] Wiring: ")
                        + socket.problem);
        } else if (run > 0) {
            launch(socket, run);
        } else {
            tile->ready();
        }
    }
    if (!onlyKey.isEmpty() && !running.contains(onlyKey)) {
        // Its pair is no longer a clean pair of the same two chips.
        if (SocketTile *tile = tiles.value(onlyKey))
            if (std::none_of(found.sockets.begin(), found.sockets.end(),
                             [&](const FixtureSocket &s) { return s.key == onlyKey; }))
                tile->wiringProblem(QStringLiteral("its two chips no longer hear each other"));
    }
    if (run > 0)
        for (const QString &note : std::as_const(layout.notes))
            logLine(note);
    updateButtons();
    emit probed();
}

void FixtureWindow::launch(const FixtureSocket &socket, int run)
{
    SocketTile *tile = tiles.value(socket.key);
    tile->testing();
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
    thread->setParent(this);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void FixtureWindow::ended(const QString &key, bool passed, qint32 code, const QByteArray &line,
                          bool journaled)
{
    if (QThread *thread = running.take(key))
        thread->wait(); // it has only its return left
    if (SocketTile *tile = tiles.value(key)) {
        tile->ended(passed, code);
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
