#include "shipping/recordshipper.h"

#include "log/debugtrace.h"
#include "report/runrecords.h"
#include "shipping/lineconfig.h"
#include "shipping/refusedrecords.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

// The runs and their records, in one statement: both or neither. The server
// fills the station (the login), the arrival and the time received.
const QString Insert = QStringLiteral(
    "WITH sent (id, started, day, verdict, fail_code, duration_ms, pair, record) AS "
    "(VALUES %1), "
    "runs AS (INSERT INTO zelor_runs (id, started, day, verdict, fail_code, duration_ms, pair) "
    "SELECT id, started, day, verdict, fail_code, duration_ms, pair FROM sent "
    "ON CONFLICT (id) DO NOTHING RETURNING id) "
    "INSERT INTO zelor_records (id, record) SELECT sent.id, sent.record FROM sent "
    "JOIN runs ON runs.id = sent.id");
constexpr int InsertColumns = 8;

// The placeholders of the `rows`th row: ($1::uuid, $2::timestamptz, ...).
QString insertRow(int row)
{
    static const char *const types[InsertColumns]
        = { "::uuid", "::timestamptz", "::date", "", "::integer", "::float8", "", "::jsonb" };
    QStringList values;
    for (int c = 0; c < InsertColumns; ++c)
        values << QStringLiteral("$%1%2").arg(row * InsertColumns + c + 1).arg(types[c]);
    return QLatin1Char('(') + values.join(QStringLiteral(", ")) + QLatin1Char(')');
}

// A refusal for a record's own content (a data exception, a check), which
// sending it again cannot mend; anything else is the server's or the
// connection's and passes.
bool refusedForContent(const LineDatabase::Result &result)
{
    return result.state.startsWith(QLatin1String("22"))
        || result.state.startsWith(QLatin1String("23"));
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

} // namespace

struct RecordShipper::Pending {
    yieldreport::Run run;
    QByteArray line;
    bool held = false; // not in the journal
};

RecordShipper::RecordShipper(const QString &conninfo, const QString &station,
                             const QString &journal)
    : database(
        conninfo,
        { QStringLiteral("zelor-k3-tester ") + station, ServerStatementTimeoutMs, LockTimeoutMs }),
      station(station), journal(journal)
{
}

RecordShipper::~RecordShipper() = default;

QString RecordShipper::markFile(const QString &journal)
{
    return journal + QStringLiteral(".shipped");
}

void RecordShipper::start()
{
    retry = new QTimer(this);
    retry->setInterval(RetryMs);
    connect(retry, &QTimer::timeout, this, &RecordShipper::ship);
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
    database.close();
    thread()->quit();
}

void RecordShipper::hold(const QByteArray &line)
{
    held << line;
    ship();
}

// Connected, as the station itself, to a database whose id is known.
bool RecordShipper::connected()
{
    if (!database.open())
        return false;
    if (database.connections() == checkedConnection)
        return true;
    const QString login = database.user();
    wrongLogin = login == station
        ? QString()
        : QStringLiteral("this station is named %1 but logs in to the line database as %2: "
                         "a station's records go in under its own login's name; name the "
                         "station %2, or give it the login %1")
              .arg(station, login);
    if (!database.weakness().isEmpty())
        DebugTrace() << "line database: connected;" << database.weakness();
    const LineDatabase::Result id
        = database.exec(QStringLiteral("SELECT instance::text FROM zelor_schema"));
    if (!id.ok || id.rows.isEmpty()) // an older schema: its owner runs --create-schema again
        return false;
    instance = id.rows[0].value(0);
    if (mark.offset > 0 && !lastSentStillThere())
        return false;
    checkedConnection = database.connections();
    return true;
}

// The database is the one the mark was made with and has the last record
// sent (it may be restored from a backup): else every record is looked up
// again. False when the database cannot say.
bool RecordShipper::lastSentStillThere()
{
    bool there = mark.database == instance;
    if (there && !mark.lastId.isEmpty() && !refused.contains(mark.lastId)) {
        const LineDatabase::Result last = database.exec(
            QStringLiteral("SELECT 1 FROM zelor_runs WHERE id = $1::uuid"), { mark.lastId });
        if (!last.ok)
            return false;
        there = !last.rows.isEmpty();
    }
    if (!there) {
        DebugTrace() << "line database: not the database the mark was made with, or it "
                        "lacks the last record sent; every record is looked up again";
        saveMark({});
    }
    return true;
}

// The journal is the one the mark was made on, up to the mark: its first
// line and the line before the mark are the same. Else every record is
// looked up again.
void RecordShipper::vouchForMark()
{
    if (mark.offset == 0)
        return;
    QFile file(journal);
    bool same = file.open(QIODevice::ReadOnly) && file.size() >= mark.offset
        && firstLineHash(file) == mark.journalStart && file.seek(mark.lastStart)
        && hashOf(file.read(mark.offset - mark.lastStart)) == mark.lastLine;
    if (!same) {
        DebugTrace() << "line database: the journal is not the one the mark was made on "
                        "(replaced, cut or restored); every record is looked up again";
        saveMark({});
    }
}

// The next records the database may lack: journal lines from the mark, then
// the held ones; `through` is the mark after them. Lines that are no record
// (a line torn by a kill) are set aside.
QList<RecordShipper::Pending> RecordShipper::pendingRecords(Mark *through)
{
    QList<Pending> pending;
    QFile file(journal);
    if (file.open(QIODevice::ReadOnly) && file.seek(through->offset)) {
        while (pending.size() < BatchSize) {
            const qint64 start = file.pos();
            const QByteArray line = file.readLine();
            if (!line.endsWith('\n')) // none, or one still being written
                break;
            if (start == 0)
                through->journalStart = hashOf(line);
            through->offset = file.pos();
            through->lastStart = start;
            through->lastLine = hashOf(line);
            if (line.trimmed().isEmpty())
                continue;
            QStringList problems;
            const QList<yieldreport::Run> runs = yieldreport::parse(line, journal, &problems);
            if (runs.isEmpty()) {
                setAside(QString::fromLatin1(hashOf(line.trimmed())), line.trimmed(),
                         QStringLiteral("not a record: ") + problems.value(0));
                continue;
            }
            through->lastId = runs.first().id;
            pending << Pending { runs.first(), line.trimmed(), false };
        }
    }
    for (const QByteArray &line : held) {
        if (pending.size() >= BatchSize)
            break;
        QStringList problems;
        const QList<yieldreport::Run> runs
            = yieldreport::parse(line, QStringLiteral("held"), &problems);
        pending << Pending { runs.value(0), line.trimmed(), true };
    }
    return pending;
}

void RecordShipper::ship()
{
    while (true) {
        QString error;
        Mark through = mark;
        QList<Pending> batch;
        if (!connected()) {
            error = database.error();
        } else if (!wrongLogin.isEmpty()) {
            retry->stop();
            tell(QString());
            return;
        } else {
            vouchForMark();
            through = mark;
            batch = pendingRecords(&through);
            if (!batch.isEmpty())
                sendBatch(batch, &error);
        }
        if (!error.isEmpty()) {
            tell(error);
            sinceFailure.start();
            retry->start();
            return;
        }
        sinceFailure.invalidate();
        const auto heldInBatch
            = std::count_if(batch.begin(), batch.end(), [](const Pending &p) { return p.held; });
        held.erase(held.begin(), held.begin() + heldInBatch);
        if (through.offset != mark.offset)
            saveMark(through);
        if (batch.isEmpty()) {
            tell(QString());
            retry->stop();
            return;
        }
    }
}

// Asks which of the batch's records the database has, and inserts the rest
// in one statement, each id once. A batch refused for its content is split
// until the record refused is found; that one is set aside, the rest sent.
bool RecordShipper::sendBatch(const QList<Pending> &batch, QString *error)
{
    QStringList ids;
    QList<Pending> unique;
    for (const Pending &p : batch) {
        if (!p.run.id.isEmpty() && !ids.contains(p.run.id)) {
            ids << p.run.id;
            unique << p;
        }
    }
    if (unique.isEmpty())
        return true;
    const LineDatabase::Result have = database.exec(
        QStringLiteral("SELECT id::text FROM zelor_runs WHERE id = ANY($1::uuid[])"),
        { QLatin1Char('{') + ids.join(QLatin1Char(',')) + QLatin1Char('}') });
    if (!have.ok) {
        *error = have.error;
        return false;
    }
    QSet<QString> present;
    for (const QStringList &row : have.rows)
        present << row.value(0);
    unique.removeIf([&](const Pending &p) { return present.contains(p.run.id); });
    QList<QList<Pending>> parts { unique };
    while (!parts.isEmpty()) {
        const QList<Pending> part = parts.takeFirst();
        LineDatabase::Result result;
        if (part.isEmpty() || insert(part, &result))
            continue;
        if (!refusedForContent(result)) {
            *error = result.error;
            return false;
        }
        if (part.size() == 1) {
            setAside(part[0].run.id, part[0].line, result.error);
            continue;
        }
        parts.prepend(part.mid(part.size() / 2));
        parts.prepend(part.first(part.size() / 2));
    }
    return true;
}

bool RecordShipper::insert(const QList<Pending> &batch, LineDatabase::Result *result)
{
    QStringList rows, params;
    for (const Pending &p : batch) {
        rows << insertRow(int(rows.size()));
        params << p.run.id << p.run.start << p.run.day()
               << (p.run.passed ? QStringLiteral("PASSED") : QStringLiteral("FAILED"))
               << QString::number(p.run.failCode) << QString::number(p.run.durationMs, 'g', 17)
               << (p.run.pair().isEmpty() ? QString() : p.run.pair()) << QString::fromUtf8(p.line);
    }
    *result = database.exec(Insert.arg(rows.join(QStringLiteral(", "))), params);
    return result->ok;
}

// Kept beside the journal for the line's owner, once; counted in the status.
void RecordShipper::setAside(const QString &key, const QByteArray &line, const QString &reason)
{
    if (refused.contains(key))
        return;
    refused << key;
    lastRefusal = key + QStringLiteral(": ") + reason;
    DebugTrace() << "line database: refused, set aside (zelor-k3-report --refused):" << lastRefusal;
    if (!refusedrecords::append(
            journal, { key, reason, QDateTime::currentDateTime().toString(Qt::ISODate), line }))
        DebugTrace() << "line database: cannot keep the refused record in"
                     << refusedrecords::fileOf(journal);
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
    mark.lastId = o.value(QLatin1String("lastId")).toString();
    mark.journalStart = o.value(QLatin1String("journalStart")).toString().toLatin1();
    mark.lastLine = o.value(QLatin1String("lastLine")).toString().toLatin1();
    mark.database = o.value(QLatin1String("database")).toString();
}

void RecordShipper::saveMark(const Mark &next)
{
    mark = next;
    mark.database = instance;
    const QJsonObject o { { QStringLiteral("offset"), mark.offset },
                          { QStringLiteral("lastStart"), mark.lastStart },
                          { QStringLiteral("lastId"), mark.lastId },
                          { QStringLiteral("journalStart"),
                            QString::fromLatin1(mark.journalStart) },
                          { QStringLiteral("lastLine"), QString::fromLatin1(mark.lastLine) },
                          { QStringLiteral("database"), mark.database } };
    QSaveFile file(markFile(journal));
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n') < 0 || !file.commit())
        DebugTrace() << "line database: cannot keep the mark in" << markFile(journal)
                     << "; records may be looked up again";
}

int RecordShipper::waiting() const
{
    qint64 lines = held.size();
    QFile file(journal);
    if (file.open(QIODevice::ReadOnly) && file.seek(mark.offset))
        lines += file.readAll().count('\n');
    return int(lines);
}

void RecordShipper::tell(const QString &error)
{
    const int count = waiting();
    QString state = QStringLiteral("Line database: ");
    if (!wrongLogin.isEmpty())
        state += QStringLiteral("not sending");
    else if (count > 0)
        state += QStringLiteral("%1 waiting").arg(count);
    else if (!error.isEmpty())
        state += QStringLiteral("not reached");
    else
        state += QStringLiteral("all records in");
    if (!refused.isEmpty() && wrongLogin.isEmpty())
        state += QStringLiteral(", %1 refused").arg(refused.size());
    if (error != lastError && !error.isEmpty())
        DebugTrace() << "line database:" << error << "; records wait in the journal";
    if (error.isEmpty() && !lastError.isEmpty())
        DebugTrace() << "line database: reached again";
    if (!wrongLogin.isEmpty() && state != lastState)
        DebugTrace() << "line database: nothing sent:" << wrongLogin;
    lastError = error;
    QStringList detail;
    for (const QString &part :
         { wrongLogin, error, database.isOpen() ? database.weakness() : QString(),
           refused.isEmpty() ? QString() : QStringLiteral("last refused: ") + lastRefusal })
        if (!part.isEmpty())
            detail << part;
    if (state != lastState || !error.isEmpty() || !detail.isEmpty()) {
        lastState = state;
        emit stateChanged(state, detail.join(QLatin1Char('\n')));
    }
}

LineShipping::LineShipping(const LineConfig &config, const QString &journal)
    : thread(new QThread), shipper(new RecordShipper(config.conninfo, config.station, journal))
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
