#pragma once

#include "app/pluginstart.h"
#include "sockets/fixturelayout.h"
#include "sockets/sharedlibrary.h"
#include "sockets/socketsettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>

#include <functional>

class ArrivalNotices;
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
    // With start=plug-in, as the one-pair station's.
    static constexpr int PollMs = PlugInStart::PollMs;
    static constexpr int StillMs = PlugInStart::StillMs;
    static constexpr int OpenRetryMs = PlugInStart::OpenRetryMs;
    static inline const QString PlugInPair = PlugInStart::PlugIn;
    static inline const QString RemovePair = PlugInStart::RemovePair;
    static inline const QString RemoveChips = QStringLiteral("Remove the chips");

    FixtureWindow(DeviceLibrary &library, const SocketSettings &settings,
                  QWidget *parent = nullptr);
    ~FixtureWindow() override;

    void logClosing();
    using RecordSink = std::function<void(const QByteArray &line, bool journaled)>;
    void setRecordSink(RecordSink sink) { recordSink = std::move(sink); }
    // No probe and no socket's run under way.
    bool idle() const { return !probing && running.isEmpty(); }
    SocketTile *tile(const QString &key) const { return tiles.value(key); }
    // The sockets shown, in their tiles' order.
    QList<FixtureSocket> sockets() const
    {
        QList<FixtureSocket> list;
        for (const QString &key : order)
            list << known.value(key);
        return list;
    }
    // `[station] start=plug-in`: each socket's run starts once its pair has
    // been seated for a second, and again only after both its chips left.
    // With the platform's `notices` of arrivals, if any, a chip noticed at
    // a location is still again from the notice on, and the chips are
    // looked at then and once that second is up.
    void armOnPlugIn(ArrivalNotices *notices = nullptr);

    void startTest();
    void retest(const QString &key);

signals:
    void probed(); // the tiles show what the last probe found
    void socketEnded(const QString &key);

private:
    void refresh();
    int beginClick();
    using Identities = QList<QPair<QString, quint32>>; // serial numbers, locations
    void probe(int run, const QList<FixtureChip> &chosen);
    void showLayout(const FixtureLayout &found, int run, bool whole,
                    const QList<FixtureChip> &chips);
    void addTile(const FixtureSocket &socket);
    void forgetTilesOf(const QList<FixtureChip> &chips);
    void relayTiles();
    void pollPlugIn();
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
    QHash<QString, FixtureSocket> known; // the sockets shown, by key
    QStringList order; // their keys, in the tiles' order
    Identities probedChips; // as the last whole probe listed them
    bool plugIn = false;
    QElapsedTimer clock;
    QHash<Identities::value_type, qint64> arrived; // chips in no socket that ran, since when
    Identities probedUnclaimed; // what the last plug-in probe was given
    qint64 retryUntil = 0;
    bool probedUnopened = false; // and it could not open a chip
    static constexpr int PlugInRun = -1; // a probe that numbers its run when it finds a pair
    QHash<QString, Identities> tested; // sockets that ran, until both their chips left
    QThread *probing = nullptr;
    QHash<QString, QThread *> running;
    int runCount = 0;
    bool closingLogged = false;
    RecordSink recordSink;
};
