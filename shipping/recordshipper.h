#pragma once

#include "linedb/linedatabase.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QStringList>

class QThread;
class QTimer;
struct LineConfig;

// Sends the station's run records to the line database from a thread of its
// own, so that nothing the network does reaches the window, the log or the
// next run. The journal (TestingRecords.jsonl) is the queue: the shipper
// reads it from the mark, asks the database which of the next records it
// already has, sends the others oldest first, and moves the mark on. The
// mark (the journal's name + ".shipped") names the journal and the database
// it belongs to: a journal replaced, cut or restored, or another database,
// and the whole journal is looked up again. A record sent twice is stored
// once, its id being the key: nothing is lost and nothing doubled. A record
// the server refuses for its content is set aside (refusedrecords) and the
// rest goes on. A record the journal could not take is held in memory and
// sent all the same.
class RecordShipper : public QObject {
    Q_OBJECT

public:
    static constexpr int RetryMs = 10000; // while records wait
    // A new record after a failure tries again only this long after it: the
    // records a slow failure kept waiting do not each try once more.
    static constexpr int RetryGapMs = 2000;
    static constexpr int BatchSize = 200;
    // The server's own limits for the station's session, below the
    // statement's deadline (LineDatabase::StatementTimeoutMs).
    static constexpr int ServerStatementTimeoutMs = 10000;
    static constexpr int LockTimeoutMs = 5000;

    RecordShipper(const QString &conninfo, const QString &station, const QString &journal);
    ~RecordShipper() override;

    // The file the mark is kept in.
    static QString markFile(const QString &journal);

    // From any thread, at the end.
    void stopConnecting() { database.stopConnecting(); }
    void interrupt() { database.interrupt(); }

public slots:
    void start();
    void journalGrew();
    void hold(const QByteArray &line);
    // Ships what waits once more, if connected, then ends the thread.
    void finish();

signals:
    // For the window's status line: "all records in", "3 waiting, 1
    // refused", with the last error and what was refused as the detail.
    void stateChanged(const QString &text, const QString &detail);

private:
    struct Pending;
    struct Mark {
        qint64 offset = 0; // the journal up to here is in the database
        qint64 lastStart = 0; // where the last of those lines starts
        QString lastId; // its record's id
        QByteArray journalStart, lastLine; // hashes of the first and that line
        QString database; // the database's instance id
    };
    void ship();
    bool connected();
    bool lastSentStillThere();
    void vouchForMark();
    bool sendBatch(const QList<Pending> &batch, QString *error);
    bool insert(const QList<Pending> &batch, LineDatabase::Result *result);
    void setAside(const QString &key, const QByteArray &line, const QString &reason);
    QList<Pending> pendingRecords(Mark *through);
    void loadMark();
    void saveMark(const Mark &next);
    void tell(const QString &error);
    int waiting() const;

    LineDatabase database;
    QString station;
    QString journal;
    Mark mark;
    QString instance; // of the database connected to
    int checkedConnection = 0;
    QString wrongLogin; // why nothing is sent
    QList<QByteArray> held;
    QSet<QString> refused;
    QString lastRefusal;
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
    // At the end: how long the last records may take over an open
    // connection, then how long a cancelled statement and the thread may.
    static constexpr int FinishWaitMs = 1000;
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
