#pragma once

#include "linedb/linedatabase.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <memory>

class QThread;
class QTimer;
struct LineConfig;

// Sends the station's run records to the line database from a thread of its
// own, so that nothing the network does reaches the window, the log or the
// next run. The journal (TestingRecords.jsonl) is the queue: the shipper
// reads it from the mark up to which the database has every record (kept in
// the journal's name + ".shipped"), asks the database which of the next
// records it already has, sends the others oldest first, and moves the mark
// on. A record sent twice is stored once, its id being the key: a station
// killed while sending loses nothing and duplicates nothing. A record the
// journal could not take is held in memory and sent all the same.
class RecordShipper : public QObject {
    Q_OBJECT

public:
    static constexpr int RetryMs = 10000; // while records wait
    // A new record after a failure tries again only this long after it: the
    // records a slow failure kept waiting do not each try once more.
    static constexpr int RetryGapMs = 2000;
    static constexpr int BatchSize = 200;

    RecordShipper(const QString &conninfo, const QString &journal);
    ~RecordShipper() override;

    // The file the mark is kept in.
    static QString markFile(const QString &journal);

public slots:
    void start();
    void journalGrew();
    void hold(const QByteArray &line);
    // Ships what waits once more, if connected, then ends the thread.
    void finish();

signals:
    // For the window's status line: "all records in", "3 waiting", with the
    // last error as the detail.
    void stateChanged(const QString &text, const QString &detail);

private:
    struct Pending;
    void ship();
    bool sendBatch(const QList<Pending> &batch, QString *error);
    QList<Pending> pendingRecords(qint64 *skippedTo);
    void saveMark(qint64 offset);
    void tell(int waiting, const QString &error);

    LineDatabase database;
    QString journal;
    qint64 mark = 0;
    QList<QByteArray> held;
    QTimer *retry = nullptr;
    QElapsedTimer sinceFailure;
    QString lastError;
    QString lastState;
};

// A RecordShipper in its thread, for the GUI thread: fed each record as the
// run writes it; its state for the status line.
class LineShipping : public QObject {
    Q_OBJECT

public:
    static constexpr int StopWaitMs = 2000;

    LineShipping(const LineConfig &config, const QString &journal);
    ~LineShipping() override;

    void recordWritten(const QByteArray &line, bool journaled);

signals:
    void stateChanged(const QString &text, const QString &detail);

private:
    QThread *thread;
    RecordShipper *shipper;
};
