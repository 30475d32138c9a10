#pragma once

#include "sockets/fixturelayout.h"
#include "sockets/sharedlibrary.h"
#include "sockets/socketsettings.h"

#include <QHash>
#include <QMainWindow>

#include <functional>

class QGridLayout;
class QLabel;
class QPushButton;
class QTextEdit;
class QThread;
class QTimer;
class SocketTile;

// The station in socket mode: a fixture of several cross-wired pairs on one
// PC, each found by its wiring and tested side by side, a tile each. "Start
// test" tests every socket that holds a clean pair; a tile's button tests
// its socket alone. Each socket's run is the whole run of a pair, in a
// thread of its own, with its own verdict, log lines and record.
class FixtureWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int RefreshMs = 1000;
    static constexpr int TileColumns = 4;

    FixtureWindow(DeviceLibrary &library, const SocketSettings &settings,
                  QWidget *parent = nullptr);
    ~FixtureWindow() override;

    void logClosing();
    using RecordSink = std::function<void(const QByteArray &line, bool journaled)>;
    void setRecordSink(RecordSink sink) { recordSink = std::move(sink); }
    // No probe and no socket's run under way.
    bool idle() const { return !probing && running.isEmpty(); }
    SocketTile *tile(const QString &key) const { return tiles.value(key); }
    QList<FixtureSocket> sockets() const { return layout.sockets; }

    void startTest();
    void retest(const QString &key);

signals:
    void probed(); // the tiles show what the last probe found
    void socketEnded(const QString &key);

private:
    void refresh();
    int beginClick();
    void probe(int run, const QString &onlyKey);
    void showLayout(const FixtureLayout &found, int run, const QString &onlyKey);
    void launch(const FixtureSocket &socket, int run);
    void ended(const QString &key, bool passed, qint32 code, const QByteArray &line,
               bool journaled);
    void logLine(const QString &text);
    void updateButtons();
    QList<FixtureChip> attachedChips();

    SharedLibrary shared;
    SocketSettings settings;
    QPushButton *startButton;
    QLabel *status;
    QGridLayout *grid;
    QTextEdit *log;
    QTimer *refreshTimer;
    QHash<QString, SocketTile *> tiles;
    FixtureLayout layout;
    QList<QPair<QString, quint32>> probedChips; // as the last probe listed them
    QThread *probing = nullptr;
    QHash<QString, QThread *> running;
    int runCount = 0;
    bool closingLogged = false;
    RecordSink recordSink;
};
