#include "shipping/recordshipper.h"

#include "log/debugtrace.h"
#include "shipping/lineconfig.h"
#include "shipping/refusedrecords.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>

namespace {

constexpr int LastIdsKept = 8;

const QString Submit = QStringLiteral(
    "SELECT n, id::text, outcome, reason, records FROM zelor_submit($1::text[], $2::uuid[])");
// The retention limit as ISO 8601 whatever the server's DateStyle; null
// without one.
const QString Has = QStringLiteral(
    "SELECT array_to_string(stored, ','), records, CASE WHEN isfinite(retained_from) THEN "
    "to_char(retained_from, 'YYYY-MM-DD') END, instance::text FROM zelor_has($1::uuid[])");

QStringList lastOf(const QStringList &ids)
{
    return ids.mid(qMax<qsizetype>(0, ids.size() - LastIdsKept));
}

QByteArray hashOf(const QByteArray &line)
{
    return QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex();
}

QByteArray firstLineHash(QFile &file)
{
    file.seek(0);
    const QByteArray line = file.readLine();
    return line.endsWith('\n') ? hashOf(line) : QByteArray();
}

// A record written before records had an id is known by one derived from
// its line, as the report derives it: the same line always gets the same id.
QString derivedId(const QByteArray &line)
{
    static const QUuid namespaceId(QStringLiteral("6f1d2a52-9f0e-4c1e-9a43-3d1b0c7e5a10"));
    return QUuid::createUuidV5(namespaceId, line).toString(QUuid::WithoutBraces);
}

// An array literal of PostgreSQL's: {"a","b",NULL}.
QString arrayOf(const QStringList &items)
{
    QStringList quoted;
    for (const QString &item : items) {
        if (item.isNull()) {
            quoted << QStringLiteral("NULL");
            continue;
        }
        QString escaped = item;
        escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('"'), QLatin1String("\\\""));
        quoted << QLatin1Char('"') + escaped + QLatin1Char('"');
    }
    return QLatin1Char('{') + quoted.join(QLatin1Char(',')) + QLatin1Char('}');
}

// The connection's trouble (lost, never made, our deadline), not the
// server's answer to what was sent.
bool networkTrouble(const LineDatabase::Result &result)
{
    return result.state.isEmpty() || result.state.startsWith(QLatin1String("08"));
}

// A failure a record causes by itself (its data, a limit), which sending it
// again never mends; its own statement's time-out counts too, but only
// where others went in meanwhile (else the server is slow, not the record).
// A lock, a shutdown, a right or a function missing is the server's: the
// record waits.
bool recordsOwnFailure(const LineDatabase::Result &result)
{
    return result.state.startsWith(QLatin1String("22"))
        || result.state.startsWith(QLatin1String("23"))
        || result.state.startsWith(QLatin1String("54"));
}

} // namespace

struct RecordShipper::Record {
    QByteArray line; // as the journal holds it, without its line end
    QString key; // the record's id; for a line that is no record, a hash of it
    bool derived = false; // the id is derived from the line
    QString day; // of its start, as written
    QString problem; // why it is no record the server could take
    QString file;
    qint64 lineNumber = 0;
    bool held = false; // not in a journal
};

RecordShipper::RecordShipper(const QString &conninfo, const QString &station,
                             const QString &journal)
    : database(
        conninfo,
        { QStringLiteral("zelor-k3-tester ") + station, ServerStatementTimeoutMs, LockTimeoutMs }),
      givenName(station), journal(journal)
{
}

RecordShipper::~RecordShipper() = default;

QString RecordShipper::markFile(const QString &journal)
{
    return journal + QStringLiteral(".shipped");
}

QStringList RecordShipper::journals(const QString &journal)
{
    const QFileInfo info(journal);
    QDir folder = info.dir();
    QStringList names = folder.entryList({ info.completeBaseName() + QStringLiteral("*.jsonl") },
                                         QDir::Files, QDir::Name);
    names.removeAll(info.fileName());
    QStringList paths;
    for (const QString &name : names)
        paths << folder.filePath(name);
    return paths << journal;
}

void RecordShipper::start()
{
    retry = new QTimer(this);
    retry->setInterval(RetryMs);
    connect(retry, &QTimer::timeout, this, &RecordShipper::ship);
    hourly = new QTimer(this);
    hourly->setInterval(ReconcileMs);
    connect(hourly, &QTimer::timeout, this, &RecordShipper::ship);
    hourly->start();
    loadMark();
    for (const refusedrecords::Entry &e : refusedrecords::read(journal)) {
        refused << e.key;
        lastRefusal = e.key + QStringLiteral(": ") + e.reason;
    }
    ship();
}

void RecordShipper::journalGrew()
{
    if (!sinceFailure.isValid() || sinceFailure.elapsed() >= RetryGapMs)
        ship();
    else
        tell(lastError);
}

void RecordShipper::finish()
{
    // Over the connection it has; at the end it never starts to connect.
    if (database.isOpen())
        ship();
    retry->stop();
    hourly->stop();
    database.close();
    thread()->quit();
}

void RecordShipper::hold(const QByteArray &line)
{
    held << line;
    ship();
}

void RecordShipper::ship()
{
    QString error;
    bool ok = connected(&error) && notSending.isEmpty();
    // The hourly timer may fire a little early: a check it finds nearly due
    // is due.
    if (ok
        && (checkedConnection != database.connections() || !sinceCheck.isValid()
            || sinceCheck.hasExpired(ReconcileMs - RetryMs)))
        ok = inSync(&error);
    if (ok && (!vouchForMark() || otherJournals() != mark.others))
        needScan = true;
    if (ok && needScan)
        ok = reconcile(&error);
    for (bool more = ok; more;)
        ok = sendNew(&error, &more) == Sent::Done;
    if (!notSending.isEmpty() && error.isEmpty()) {
        retry->stop();
        tell(QString());
        return;
    }
    if (!ok) {
        tell(error);
        sinceFailure.start();
        retry->start();
        return;
    }
    sinceFailure.invalidate();
    tell(QString());
    retry->stop();
}

// Connected to a verified server (or one the string asked for less of);
// the station's name is its login's.
bool RecordShipper::connected(QString *error)
{
    if (!database.open()) {
        *error = database.error();
        return false;
    }
    if (database.connections() == checkedConnection)
        return true;
    station = database.user();
    notSending = !givenName.isEmpty() && givenName != station
        ? QStringLiteral("this station is named %1 but logs in to the line database as %2: "
                         "a station's records go in under its own login's name; name the "
                         "station %2, or give it the login %1")
              .arg(givenName, station)
        : database.unverified();
    DebugTrace() << "line database: connected as" << station << ";"
                 << (database.weakness().isEmpty() ? QStringLiteral("TLS, server verified")
                                                   : database.weakness());
    if (!notSending.isEmpty())
        DebugTrace() << "line database: nothing sent:" << notSending;
    return true;
}

// Asks the server whether it still has what the mark says it has: the
// same database, the station's count of runs, the last ids stored. Where
// it differs, every journal is looked up.
bool RecordShipper::inSync(QString *error)
{
    const LineDatabase::Result has = database.exec(Has, { arrayOf(mark.lastIds) });
    if (!has.ok || has.rows.isEmpty()) {
        *error = has.ok ? QStringLiteral("the line database has no schema") : has.error;
        if (!has.ok && !networkTrouble(has))
            needScan = true;
        return false;
    }
    const QStringList &row = has.rows[0];
    const QStringList stored = row.value(0).split(QLatin1Char(','), Qt::SkipEmptyParts);
    retainedFrom = row.value(2);
    instance = row.value(3);
    const bool same = instance == mark.database && row.value(1).toLongLong() == mark.records
        && std::all_of(mark.lastIds.begin(), mark.lastIds.end(),
                       [&](const QString &id) { return stored.contains(id); });
    if (!same) {
        DebugTrace() << "line database: it does not have what the station last sent it "
                        "(another database, a restore, a purge, a truncate); every journal is "
                        "looked up";
        needScan = true;
    }
    checkedConnection = database.connections();
    sinceCheck.start();
    return true;
}

// Every journal read a slice at a time: the ids the server lacks are sent.
// The mark is then where the current journal was read to.
bool RecordShipper::reconcile(QString *error)
{
    Mark next;
    qint64 count = mark.records;
    for (const QString &file : journals(journal)) {
        qint64 offset = 0, lineNumber = 0;
        while (true) {
            QList<Record> slice = readRecords(file, &offset, &lineNumber, SliceRecords,
                                              file == journal ? &next : nullptr);
            if (slice.isEmpty())
                break;
            QStringList ids;
            for (const Record &r : slice)
                if (r.problem.isEmpty())
                    ids << r.key;
            const LineDatabase::Result has = database.exec(Has, { arrayOf(ids) });
            if (!has.ok || has.rows.isEmpty()) {
                *error = has.error;
                return false;
            }
            const QStringList storedList
                = has.rows[0].value(0).split(QLatin1Char(','), Qt::SkipEmptyParts);
            const QSet<QString> stored(storedList.begin(), storedList.end());
            count = has.rows[0].value(1).toLongLong();
            retainedFrom = has.rows[0].value(2);
            QStringList inIds;
            for (const Record &r : slice)
                if (stored.contains(r.key))
                    inIds << r.key;
            slice.removeIf([&](const Record &r) { return stored.contains(r.key); });
            qint64 added = 0;
            if (send(slice, error, &added, &count, &inIds) != Sent::Done)
                return false;
            next.lastIds = lastOf(next.lastIds + inIds);
        }
        if (file != journal) // as big as when read: a torn last line stays torn
            next.others.insert(QFileInfo(file).fileName(), QFileInfo(file).size());
    }
    next.records = count;
    needScan = false;
    saveMark(next);
    return inSync(error);
}

// The current journal's new records, then the held ones, a batch of them.
RecordShipper::Sent RecordShipper::sendNew(QString *error, bool *more)
{
    Mark through = mark;
    QList<Record> batch
        = readRecords(journal, &through.offset, &through.lines, BatchRecords, &through);
    qsizetype fromHeld = 0;
    for (const QByteArray &line : held) {
        if (batch.size() >= BatchRecords)
            break;
        Record r = recordOf(line.trimmed());
        r.file = QStringLiteral("held");
        r.held = true;
        batch << r;
        ++fromHeld;
    }
    *more = !batch.isEmpty();
    if (batch.isEmpty())
        return Sent::Done;
    qint64 stored = 0, count = mark.records;
    QStringList ids;
    const Sent sent = send(batch, error, &stored, &count, &ids);
    if (sent != Sent::Done) {
        *more = false;
        return sent;
    }
    held.erase(held.begin(), held.begin() + fromHeld);
    if (mark.records >= 0 && count != mark.records + stored) {
        DebugTrace() << "line database: it counts" << count << "runs of this station, not"
                     << mark.records + stored << "; every journal is looked up";
        needScan = true;
    }
    through.records = count;
    through.lastIds = lastOf(mark.lastIds + ids);
    saveMark(through);
    if (needScan) {
        *more = false;
        return reconcile(error) ? Sent::Done : Sent::Failed;
    }
    return Sent::Done;
}

// `records` sent in batches of BatchRecords and BatchBytes; what each
// outcome says is done. A batch the server fails for a reason that is not
// the network's is sent a record at a time.
RecordShipper::Sent RecordShipper::send(QList<Record> records, QString *error, qint64 *stored,
                                        qint64 *count, QStringList *ids)
{
    // Records of a day before the line's retention limit were purged: not
    // sent again. A record without a day of its own goes, for the server to
    // say why.
    const QDate limit = QDate::fromString(retainedFrom, Qt::ISODate);
    records.removeIf([&](const Record &r) {
        const QDate day = QDate::fromString(r.day, Qt::ISODate);
        return refused.contains(r.key)
            || (r.problem.isEmpty() && limit.isValid() && day.isValid() && day < limit);
    });
    while (!records.isEmpty()) {
        QList<Record> batch;
        qint64 bytes = 0;
        while (!records.isEmpty() && batch.size() < BatchRecords
               && (batch.isEmpty() || bytes + records.first().line.size() <= BatchBytes)) {
            bytes += records.first().line.size();
            batch << records.takeFirst();
        }
        QList<Record> sendable;
        for (const Record &r : batch) {
            if (r.problem.isEmpty())
                sendable << r;
            else if (!setAside(r, r.problem, error))
                return Sent::Stopped;
        }
        if (sendable.isEmpty())
            continue;
        LineDatabase::Result result;
        if (!submit(sendable, &result)) {
            if (networkTrouble(result)) {
                *error = result.error;
                return Sent::Failed;
            }
            needScan = true;
            const Sent alone = sendAlone(sendable, error, stored, count, ids);
            if (alone != Sent::Done)
                return alone;
            continue;
        }
        for (const QStringList &row : result.rows) {
            const Record &r = sendable.value(row.value(0).toInt() - 1);
            if (!settle(r, row, stored, ids, error))
                return Sent::Stopped;
            *count = row.value(4).toLongLong();
        }
    }
    return Sent::Done;
}

// Each record alone, after their batch failed: one that keeps failing for a
// reason of its own is set aside with the server's reason.
RecordShipper::Sent RecordShipper::sendAlone(const QList<Record> &records, QString *error,
                                             qint64 *stored, qint64 *count, QStringList *ids)
{
    QList<QPair<Record, LineDatabase::Result>> failed;
    bool anyWent = false;
    for (const Record &record : records) {
        LineDatabase::Result result;
        if (!submit({ record }, &result)) {
            if (networkTrouble(result)) {
                *error = result.error;
                return Sent::Failed;
            }
            failed << qMakePair(record, result);
            continue;
        }
        anyWent = true;
        failures.remove(record.key);
        for (const QStringList &row : result.rows) {
            if (!settle(record, row, stored, ids, error))
                return Sent::Stopped;
            *count = row.value(4).toLongLong();
        }
    }
    Sent sent = Sent::Done;
    for (const auto &[record, result] : std::as_const(failed)) {
        const bool own
            = recordsOwnFailure(result) || (anyWent && result.state == QLatin1String("57014"));
        if (!own || ++failures[record.key] < Tries) {
            *error = result.error;
            sent = Sent::Failed;
            continue;
        }
        failures.remove(record.key);
        if (!setAside(record,
                      QStringLiteral("failed %1 times alone: %2 (SQLSTATE %3)")
                          .arg(Tries)
                          .arg(result.error, result.state),
                      error))
            return Sent::Stopped;
    }
    return sent;
}

bool RecordShipper::submit(const QList<Record> &records, LineDatabase::Result *result)
{
    QStringList lines, derived;
    for (const Record &r : records) {
        lines << QString::fromUtf8(r.line);
        derived << (r.derived ? r.key : QString());
    }
    *result = database.exec(Submit, { arrayOf(lines), arrayOf(derived) });
    return result->ok;
}

// What the server said of one record: stored, already stored, of a day
// before the line's retention limit, or refused (set aside).
bool RecordShipper::settle(const Record &record, const QStringList &row, qint64 *stored,
                           QStringList *ids, QString *error)
{
    const QString outcome = row.value(2);
    if (outcome == QLatin1String("stored")) {
        ++*stored;
        *ids << record.key;
    }
    if (outcome != QLatin1String("refused"))
        return true;
    return setAside(record, row.value(3), error);
}

// Kept beside the journal for the line's owner, once; counted in the
// status. False, the record waiting, when it cannot be kept.
bool RecordShipper::setAside(const Record &record, const QString &reason, QString *error)
{
    if (refused.contains(record.key))
        return true;
    const refusedrecords::Entry entry { record.key,
                                        reason,
                                        QDateTime::currentDateTime().toString(Qt::ISODate),
                                        record.line.left(MaxRecordBytes),
                                        QFileInfo(record.file).fileName(),
                                        record.lineNumber };
    if (!refusedrecords::append(journal, entry)) {
        *error = QStringLiteral("cannot keep a refused record in %1: it waits (%2)")
                     .arg(refusedrecords::fileOf(journal), reason);
        return false;
    }
    refused << record.key;
    lastRefusal = record.key + QStringLiteral(": ") + reason;
    DebugTrace() << "line database: refused, set aside (zelor-k3-report --refused):" << lastRefusal;
    return true;
}

// What the station itself must know of a record: its id (or why it is no
// record) and its day. The rest is the server's to check.
RecordShipper::Record RecordShipper::recordOf(const QByteArray &text)
{
    Record r;
    r.line = text;
    QJsonParseError parsed;
    const QJsonDocument document
        = text.size() > MaxRecordBytes ? QJsonDocument() : QJsonDocument::fromJson(text, &parsed);
    const QJsonObject o = document.object();
    const QUuid id(o.value(QLatin1String("id")).toString());
    if (text.size() > MaxRecordBytes)
        r.problem = QStringLiteral("over %1 bytes").arg(MaxRecordBytes);
    else if (!document.isObject())
        r.problem = QStringLiteral("not a record: not JSON: ") + parsed.errorString();
    // A record without a valid id of its own is known by one derived from
    // its line, as the report knows it.
    r.derived = r.problem.isEmpty() && id.isNull();
    r.key = !r.problem.isEmpty() ? QString::fromLatin1(hashOf(text))
        : r.derived              ? derivedId(text)
                                 : id.toString(QUuid::WithoutBraces);
    r.day = o.value(QLatin1String("start")).toString().left(10);
    return r;
}

// Up to `most` records (and BatchBytes) of `file` from `offset`, each with
// its line number; `through`, when given, follows the lines read. Only
// whole lines: one still being written waits.
QList<RecordShipper::Record> RecordShipper::readRecords(const QString &file, qint64 *offset,
                                                        qint64 *lineNumber, int most, Mark *through)
{
    QList<Record> records;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly) || !in.seek(*offset))
        return records;
    qint64 bytes = 0;
    while (records.size() < most && bytes < BatchBytes) {
        const qint64 start = in.pos();
        const QByteArray line = in.readLine();
        if (!line.endsWith('\n'))
            break;
        *offset = in.pos();
        ++*lineNumber;
        if (through) {
            if (start == 0)
                through->journalStart = hashOf(line);
            through->offset = *offset;
            through->lines = *lineNumber;
            through->lastStart = start;
            through->lastLine = hashOf(line);
        }
        const QByteArray text = line.trimmed();
        if (text.isEmpty())
            continue;
        bytes += text.size();
        Record r = recordOf(text);
        r.file = file;
        r.lineNumber = *lineNumber;
        records << r;
    }
    return records;
}

// The journal is the one the mark was made on, up to the mark: its first
// line and the line before the mark are the same.
bool RecordShipper::vouchForMark()
{
    if (mark.offset == 0)
        return true;
    QFile file(journal);
    const bool same = file.open(QIODevice::ReadOnly) && file.size() >= mark.offset
        && firstLineHash(file) == mark.journalStart && file.seek(mark.lastStart)
        && hashOf(file.read(mark.offset - mark.lastStart)) == mark.lastLine;
    if (!same)
        DebugTrace() << "line database: the journal is not the one the mark was made on "
                        "(replaced, cut, rotated or restored); every journal is looked up";
    return same;
}

QHash<QString, qint64> RecordShipper::otherJournals() const
{
    QHash<QString, qint64> others;
    for (const QString &file : journals(journal))
        if (file != journal)
            others.insert(QFileInfo(file).fileName(), QFileInfo(file).size());
    return others;
}

void RecordShipper::loadMark()
{
    QFile file(markFile(journal));
    const QJsonObject o = file.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(file.readAll()).object()
        : QJsonObject();
    mark = {};
    mark.offset = qMax<qint64>(0, o.value(QLatin1String("offset")).toInteger());
    mark.lastStart
        = qBound<qint64>(0, o.value(QLatin1String("lastStart")).toInteger(), mark.offset);
    mark.lines = qMax<qint64>(0, o.value(QLatin1String("lines")).toInteger());
    mark.journalStart = o.value(QLatin1String("journalStart")).toString().toLatin1();
    mark.lastLine = o.value(QLatin1String("lastLine")).toString().toLatin1();
    mark.database = o.value(QLatin1String("database")).toString();
    mark.records = o.value(QLatin1String("records")).toInteger(-1);
    for (const QJsonValue &id : o.value(QLatin1String("lastIds")).toArray())
        if (!QUuid(id.toString()).isNull()) // a garbled mark asks nothing it cannot
            mark.lastIds << QUuid(id.toString()).toString(QUuid::WithoutBraces);
    const QJsonObject others = o.value(QLatin1String("others")).toObject();
    for (auto it = others.begin(); it != others.end(); ++it)
        mark.others.insert(it.key(), it.value().toInteger());
}

void RecordShipper::saveMark(const Mark &next)
{
    mark = next;
    mark.database = instance;
    QJsonObject others;
    for (auto it = mark.others.cbegin(); it != mark.others.cend(); ++it)
        others.insert(it.key(), it.value());
    const QJsonObject o { { QStringLiteral("offset"), mark.offset },
                          { QStringLiteral("lastStart"), mark.lastStart },
                          { QStringLiteral("lines"), mark.lines },
                          { QStringLiteral("journalStart"),
                            QString::fromLatin1(mark.journalStart) },
                          { QStringLiteral("lastLine"), QString::fromLatin1(mark.lastLine) },
                          { QStringLiteral("database"), mark.database },
                          { QStringLiteral("records"), mark.records },
                          { QStringLiteral("lastIds"), QJsonArray::fromStringList(mark.lastIds) },
                          { QStringLiteral("others"), others } };
    QSaveFile file(markFile(journal));
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n') < 0 || !file.commit())
        DebugTrace() << "line database: cannot keep the mark in" << markFile(journal)
                     << "; records may be looked up again";
}

// Read a slice at a time: a journal of a year is not held in memory.
int RecordShipper::waiting() const
{
    qint64 lines = held.size();
    QFile file(journal);
    if (file.open(QIODevice::ReadOnly) && file.seek(mark.offset))
        while (!file.atEnd())
            lines += file.read(BatchBytes).count('\n');
    return int(lines);
}

void RecordShipper::tell(const QString &error)
{
    const int count = waiting();
    QString state = QStringLiteral("Line database: ");
    if (!notSending.isEmpty())
        state += QStringLiteral("not sending");
    else if (count > 0)
        state += QStringLiteral("%1 waiting").arg(count);
    else if (!error.isEmpty())
        state += QStringLiteral("not reached");
    else if (needScan)
        state += QStringLiteral("checking the records");
    else
        state += QStringLiteral("all records in");
    if (!refused.isEmpty() && notSending.isEmpty())
        state += QStringLiteral(", %1 refused").arg(refused.size());
    if (error != lastError && !error.isEmpty())
        DebugTrace() << "line database:" << error << "; records wait in the journal";
    if (error.isEmpty() && !lastError.isEmpty())
        DebugTrace() << "line database: reached again";
    lastError = error;
    QStringList detail;
    for (const QString &part :
         { notSending, error,
           !database.isOpen()                  ? QString()
               : database.weakness().isEmpty() ? QStringLiteral("TLS, the server verified")
                                               : database.weakness(),
           refused.isEmpty() ? QString() : QStringLiteral("last refused: ") + lastRefusal })
        if (!part.isEmpty())
            detail << part;
    if (state != lastState || !error.isEmpty() || !detail.isEmpty()) {
        lastState = state;
        emit stateChanged(state, detail.join(QLatin1Char('\n')));
    }
}

LineShipping::LineShipping(const LineConfig &config, const QString &journal)
    : thread(new QThread),
      shipper(new RecordShipper(config.conninfo, config.stationGiven ? config.station : QString(),
                                journal))
{
    shipper->moveToThread(thread);
    connect(thread, &QThread::started, shipper, &RecordShipper::start);
    connect(shipper, &RecordShipper::stateChanged, this, &LineShipping::stateChanged);
    DebugTrace() << "line database:" << LineDatabase::describe(config.conninfo) << "; station"
                 << config.station;
    thread->start();
}

LineShipping::~LineShipping()
{
    // After every record handed over so far, as events keep their order;
    // over the connection it has, never a new one. A statement still running
    // then is cancelled, and the connection closed as TLS wants it.
    shipper->stopConnecting();
    QMetaObject::invokeMethod(shipper, &RecordShipper::finish, Qt::QueuedConnection);
    if (!thread->wait(FinishWaitMs)) {
        shipper->interrupt();
        if (!thread->wait(StopWaitMs)) {
            // Held where nothing reaches (a name lookup): left to end with
            // the process. What it had not sent waits in the journal.
            DebugTrace() << "line database: still sending at exit; the rest waits in the journal";
            return;
        }
    }
    delete shipper;
    delete thread;
}

void LineShipping::recordWritten(const QByteArray &line, bool journaled)
{
    if (journaled)
        QMetaObject::invokeMethod(shipper, &RecordShipper::journalGrew, Qt::QueuedConnection);
    else
        QMetaObject::invokeMethod(
            shipper, [s = shipper, line] { s->hold(line); }, Qt::QueuedConnection);
}
