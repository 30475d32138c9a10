#include "shipping/recordshipper.h"

#include "shipping/lineconfig.h"
#include "log/debugtrace.h"
#include "report/yieldreport.h"

#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

// The runs and their records, in one statement: both or neither.
const QString Insert = QStringLiteral(
    "WITH sent (id, station, started, day, verdict, fail_code, duration_ms, pair, record) AS "
    "(VALUES %1), "
    "runs AS (INSERT INTO zelor_runs (id, station, started, day, verdict, fail_code, duration_ms, "
    "pair) SELECT id, station, started, day, verdict, fail_code, duration_ms, pair FROM sent "
    "ON CONFLICT (id) DO NOTHING RETURNING id) "
    "INSERT INTO zelor_records (id, record) SELECT sent.id, sent.record FROM sent "
    "JOIN runs ON runs.id = sent.id");
constexpr int InsertColumns = 9;

// The placeholders of the `rows`th row: ($1::uuid, $2, ...).
QString insertRow(int row)
{
    static const char *const types[InsertColumns]
        = { "::uuid", "", "::timestamptz", "::date", "", "::integer", "::float8", "", "::jsonb" };
    QStringList values;
    for (int c = 0; c < InsertColumns; ++c)
        values << QStringLiteral("$%1%2").arg(row * InsertColumns + c + 1).arg(types[c]);
    return QLatin1Char('(') + values.join(QStringLiteral(", ")) + QLatin1Char(')');
}

// A statement that failed for a record's own content, not for the server or
// the connection.
bool refusedForContent(const LineDatabase::Result &result)
{
    return result.state.startsWith(QLatin1String("22")); // data exception
}

} // namespace

struct RecordShipper::Pending {
    yieldreport::Run run;
    QByteArray line;
    bool held = false; // not in the journal
};

RecordShipper::RecordShipper(const QString &conninfo, const QString &journal)
    : database(conninfo), journal(journal)
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
    QFile file(markFile(journal));
    if (file.open(QIODevice::ReadOnly))
        mark = qMax<qint64>(0, file.readAll().trimmed().toLongLong());
    ship();
}

void RecordShipper::journalGrew()
{
    if (!sinceFailure.isValid() || sinceFailure.elapsed() >= RetryGapMs)
        ship();
    else
        tell(1, lastError); // one more waiting
}

void RecordShipper::finish()
{
    // Over the connection it has; at the end it never starts to connect.
    if (database.isOpen())
        ship();
    thread()->quit();
}

void RecordShipper::hold(const QByteArray &line)
{
    held << line;
    ship();
}

// The next records the database may lack: journal lines from the mark, then
// the held ones; `through` is where the journal's part of them ends. Lines
// that are not records (a line torn by a kill) are passed over.
QList<RecordShipper::Pending> RecordShipper::pendingRecords(qint64 *through)
{
    QList<Pending> pending;
    QFile file(journal);
    *through = mark;
    if (file.open(QIODevice::ReadOnly)) {
        if (file.size() < mark) // replaced or cut: from its start again
            *through = mark = 0;
        file.seek(mark);
        while (pending.size() < BatchSize) {
            const QByteArray line = file.readLine();
            if (!line.endsWith('\n')) // none, or one still being written
                break;
            *through = file.pos();
            QStringList problems;
            const QList<yieldreport::Run> runs = yieldreport::parse(line, journal, &problems);
            if (runs.isEmpty() && !line.trimmed().isEmpty())
                DebugTrace() << "line database: not a record, not sent:" << problems.value(0);
            if (!runs.isEmpty())
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
        qint64 through = mark;
        const QList<Pending> batch = pendingRecords(&through);
        const auto heldInBatch
            = std::count_if(batch.begin(), batch.end(), [](const Pending &p) { return p.held; });
        QString error;
        if (!batch.isEmpty() && !sendBatch(batch, &error)) {
            tell(1, error);
            sinceFailure.start();
            retry->start();
            return;
        }
        sinceFailure.invalidate();
        held.erase(held.begin(), held.begin() + heldInBatch);
        if (through != mark)
            saveMark(through);
        if (batch.isEmpty()) {
            tell(0, QString());
            retry->stop();
            return;
        }
    }
}

// Asks which of the batch's records the database has, and inserts the rest
// in one statement. A record the server refuses for its content is sent
// alone, traced and passed over: it stays in the journal.
bool RecordShipper::sendBatch(const QList<Pending> &batch, QString *error)
{
    QStringList ids;
    for (const Pending &p : batch)
        ids << p.run.id;
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
    QStringList rows, params;
    for (const Pending &p : batch) {
        if (present.contains(p.run.id) || p.run.id.isEmpty()) // held, and not a record
            continue;
        rows << insertRow(int(rows.size()));
        params << p.run.id << p.run.station << p.run.start << p.run.day()
               << (p.run.passed ? QStringLiteral("PASSED") : QStringLiteral("FAILED"))
               << QString::number(p.run.failCode) << QString::number(p.run.durationMs, 'g', 17)
               << (p.run.pair().isEmpty() ? QString() : p.run.pair()) << QString::fromUtf8(p.line);
    }
    if (rows.isEmpty())
        return true;
    const LineDatabase::Result inserted
        = database.exec(Insert.arg(rows.join(QStringLiteral(", "))), params);
    if (inserted.ok)
        return true;
    if (!refusedForContent(inserted)) {
        *error = inserted.error;
        return false;
    }
    if (batch.size() == 1) {
        DebugTrace() << "line database: record" << batch.first().run.id
                     << "refused, not sent:" << inserted.error;
        return true;
    }
    for (const Pending &p : batch) {
        if (!present.contains(p.run.id) && !sendBatch({ p }, error))
            return false;
    }
    return true;
}

void RecordShipper::saveMark(qint64 offset)
{
    mark = offset;
    QSaveFile file(markFile(journal));
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(offset) + '\n') < 0
        || !file.commit())
        DebugTrace() << "line database: cannot keep the mark in" << markFile(journal)
                     << "; records may be looked up again";
}

void RecordShipper::tell(int waiting, const QString &error)
{
    QString state;
    if (!waiting) {
        state = QStringLiteral("Line database: all records in");
    } else {
        qint64 lines = held.size();
        QFile file(journal);
        if (file.open(QIODevice::ReadOnly) && file.seek(mark))
            lines += file.readAll().count('\n');
        state = QStringLiteral("Line database: %1 waiting").arg(qMax<qint64>(lines, 1));
    }
    if (error != lastError && !error.isEmpty())
        DebugTrace() << "line database:" << error << "; records wait in the journal";
    if (error.isEmpty() && !lastError.isEmpty())
        DebugTrace() << "line database: reached again";
    lastError = error;
    if (state != lastState || !error.isEmpty()) {
        lastState = state;
        emit stateChanged(state, error);
    }
}

LineShipping::LineShipping(const LineConfig &config, const QString &journal)
    : thread(new QThread), shipper(new RecordShipper(config.conninfo, journal))
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
    // After every record handed over so far, as events keep their order.
    QMetaObject::invokeMethod(shipper, &RecordShipper::finish, Qt::QueuedConnection);
    if (thread->wait(StopWaitMs)) {
        delete shipper;
        delete thread;
        return;
    }
    // Held up by the network: left to end with the process. What it had
    // not sent waits in the journal for the next start.
    DebugTrace() << "line database: still sending at exit; the rest waits in the journal";
}

void LineShipping::recordWritten(const QByteArray &line, bool journaled)
{
    if (journaled)
        QMetaObject::invokeMethod(shipper, &RecordShipper::journalGrew, Qt::QueuedConnection);
    else
        QMetaObject::invokeMethod(
            shipper, [s = shipper, line] { s->hold(line); }, Qt::QueuedConnection);
}
