#pragma once

#include "linedb/linedatabase.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>

class QThread;
class QTimer;
struct LineConfig;

// Sends the station's run records to the line database from a thread of its
// own, so that nothing the network does reaches the window, the log or the
// next run. The journals are the queue: TestingRecords.jsonl, and every
// TestingRecords*.jsonl beside it (a journal moved aside under such a name
// is shipped until all of it is in). Each record goes as its journal holds
// it to the server's zelor_submit, which stores it under the station's
// login, or says it has it, or refuses it with a reason.
//
// The server owns the truth. The mark (the journal's name + ".shipped") is
// only a cache of where the station and the server last agreed: the
// journal's offset, the server's count of the station's runs and the last
// ids sent. On every new connection, after any error that is not the
// network's, after a count the server gives that is not the one expected,
// when the journals are not those of the mark, and hourly, the station asks
// the server (zelor_has); where they differ, it looks every journal up, a
// slice of ids at a time, and sends what the server lacks. A record refused
// for its content, or failing alone for a reason of its own Tries times, is
// set aside (refusedrecords) with the server's reason; a record that cannot
// be set aside waits. A record the journal could not take is held in memory
// and sent all the same.
class RecordShipper : public QObject {
    Q_OBJECT

public:
    static constexpr int RetryMs = 10000; // while records wait
    // A new record after a failure tries again only this long after it: the
    // records a slow failure kept waiting do not each try once more.
    static constexpr int RetryGapMs = 2000;
    static constexpr int ReconcileMs = 3600 * 1000;
    // A batch: at most so many records and bytes; the server takes records
    // of at most MaxRecordBytes.
    static constexpr int BatchRecords = 200;
    static constexpr qint64 BatchBytes = 1024 * 1024;
    static constexpr qint64 MaxRecordBytes = 65536;
    static constexpr int SliceRecords = 2000; // ids looked up at once
    static constexpr int Tries = 3;
    // The server's own limits for the station's session, below the
    // statement's deadline (LineDatabase::StatementTimeoutMs).
    static constexpr int ServerStatementTimeoutMs = 10000;
    static constexpr int LockTimeoutMs = 5000;

    // `station`: the name the station was given; empty to take its login's.
    RecordShipper(const QString &conninfo, const QString &station, const QString &journal);
    ~RecordShipper() override;

    // The file the mark is kept in.
    static QString markFile(const QString &journal);
    // The journals shipped beside `journal`, oldest name first, it last.
    static QStringList journals(const QString &journal);

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
    struct Record;
    struct Mark {
        qint64 offset = 0; // the journal up to here is in the database
        qint64 lastStart = 0; // where the last of those lines starts
        qint64 lines = 0; // the lines before the offset
        QByteArray journalStart, lastLine; // hashes of the first and that line
        QString database; // the database's instance id
        qint64 records = -1; // the server's count of the station's runs; -1 unknown
        QStringList lastIds; // the last records it stored
        QHash<QString, qint64> others; // the other journals, by name, and their sizes
    };
    enum class Sent { Done, Stopped, Failed };

    void ship();
    bool connected(QString *error);
    bool inSync(QString *error);
    bool reconcile(QString *error);
    Sent sendNew(QString *error, bool *more);
    Sent send(QList<Record> records, QString *error, qint64 *stored, qint64 *count,
              QStringList *ids);
    Sent sendAlone(const QList<Record> &records, QString *error, qint64 *stored, qint64 *count,
                   QStringList *ids);
    bool submit(const QList<Record> &records, LineDatabase::Result *result);
    bool settle(const Record &record, const QStringList &row, qint64 *stored, QStringList *ids,
                QString *error);
    bool setAside(const Record &record, const QString &reason, QString *error);
    static Record recordOf(const QByteArray &text);
    QList<Record> readRecords(const QString &file, qint64 *offset, qint64 *lineNumber, int most,
                              Mark *through);
    bool vouchForMark();
    QHash<QString, qint64> otherJournals() const;
    void loadMark();
    void saveMark(const Mark &next);
    void tell(const QString &error);
    int waiting() const;

    LineDatabase database;
    QString givenName, station;
    QString journal;
    Mark mark;
    QString instance; // of the database connected to
    QString retainedFrom; // the line's retention limit, a day; empty for none
    int checkedConnection = 0;
    bool needScan = true;
    QElapsedTimer sinceCheck;
    QString notSending; // why nothing is sent
    QList<QByteArray> held;
    QSet<QString> refused;
    QHash<QString, int> failures; // of records failing alone
    QString lastRefusal;
    QTimer *retry = nullptr;
    QTimer *hourly = nullptr;
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
