#include "linedb/linedatabase.h"

#include <libpq-fe.h>

#include <QDeadlineTimer>

#include <memory>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace {

// libpq's messages run over several lines; a trace takes one.
QString oneLine(const char *message)
{
    return QString::fromUtf8(message).simplified();
}

void ignoreNotice(void *, const char *) { }

// Waits in short slices, so that an interrupt is seen at once.
constexpr int SliceMs = 50;

bool ready(int socket, bool forWriting, int timeoutMs)
{
#ifdef _WIN32
    WSAPOLLFD wanted { SOCKET(socket), SHORT(forWriting ? POLLWRNORM : POLLRDNORM), 0 };
    return WSAPoll(&wanted, 1, timeoutMs) > 0;
#else
    pollfd wanted { socket, short(forWriting ? POLLOUT : POLLIN), 0 };
    return poll(&wanted, 1, timeoutMs) > 0;
#endif
}

int slice(const QDeadlineTimer &deadline)
{
    return int(qBound<qint64>(0, deadline.remainingTime(), qint64(SliceMs)));
}

QString option(pg_conn *connection, const char *keyword)
{
    QString value;
    PQconninfoOption *options = PQconninfo(connection);
    for (PQconninfoOption *o = options; o && o->keyword; ++o) {
        if (qstrcmp(o->keyword, keyword) == 0 && o->val)
            value = QString::fromUtf8(o->val);
    }
    PQconninfoFree(options);
    return value;
}

bool isSocketFolder(const QString &host)
{
    return host.startsWith(QLatin1Char('/')) || host.startsWith(QLatin1Char('@'));
}

// What a connection's TLS leaves unchecked; empty when it checks the
// server's certificate and name.
QString sslWeakness(pg_conn *connection)
{
    const QString mode = option(connection, "sslmode");
    if (isSocketFolder(QString::fromUtf8(PQhost(connection))))
        return QStringLiteral("a Unix socket (%1): no TLS, the server is not verified")
            .arg(QString::fromUtf8(PQhost(connection)));
    if (!PQsslInUse(connection))
        return QStringLiteral("sslmode=%1: records travel unencrypted").arg(mode);
    if (mode == QLatin1String("verify-full"))
        return QString();
    if (mode == QLatin1String("verify-ca"))
        return QStringLiteral("sslmode=verify-ca: the server's name is not checked");
    return QStringLiteral("sslmode=%1: the server's certificate is not checked").arg(mode);
}

template<typename F> void forEachOption(const QString &conninfo, F f)
{
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.toUtf8().constData(), &error);
    PQfreemem(error);
    if (!options)
        return;
    for (PQconninfoOption *o = options; o->keyword; ++o) {
        if (o->val && *o->val)
            f(QLatin1String(o->keyword), QString::fromUtf8(o->val));
    }
    PQconninfoFree(options);
}

} // namespace

LineDatabase::LineDatabase(const QString &conninfo, const Session &session)
    : conninfo(conninfo), session(session)
{
}

LineDatabase::~LineDatabase()
{
    close();
}

QString LineDatabase::refusal(const QString &conninfo)
{
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.toUtf8().constData(), &error);
    if (!options) {
        const QString why = QStringLiteral("the line database's connection string cannot be "
                                           "read: %1")
                                .arg(error ? oneLine(error) : QStringLiteral("out of memory"));
        PQfreemem(error);
        return why;
    }
    PQconninfoFree(options);
    bool password = false;
    forEachOption(conninfo, [&](const QString &key, const QString &) {
        password |= key == QLatin1String("password");
    });
    return password ? QStringLiteral("the line database's connection string holds a password: "
                                     "put it in the pgpass file (or a service file) instead")
                    : QString();
}

QString LineDatabase::describe(const QString &conninfo)
{
    static const QStringList shown
        = { QStringLiteral("service"), QStringLiteral("host"),   QStringLiteral("hostaddr"),
            QStringLiteral("port"),    QStringLiteral("dbname"), QStringLiteral("user"),
            QStringLiteral("sslmode") };
    QStringList parts;
    forEachOption(conninfo, [&](const QString &key, const QString &value) {
        if (shown.contains(key))
            parts << key + QLatin1Char('=') + value;
    });
    return parts.join(QLatin1Char(' '));
}

QString LineDatabase::login(const QString &conninfo)
{
    QString user;
    forEachOption(conninfo, [&](const QString &key, const QString &value) {
        if (key == QLatin1String("user"))
            user = value;
    });
    if (!user.isEmpty())
        return user;
    PQconninfoOption *defaults = PQconndefaults();
    for (PQconninfoOption *o = defaults; o && o->keyword; ++o) {
        if (qstrcmp(o->keyword, "user") == 0 && o->val)
            user = QString::fromUtf8(o->val);
    }
    PQconninfoFree(defaults);
    return user;
}

// Less than a verified server only where the string itself asks for it: a
// weaker sslmode, or a socket folder as its host. A socket that PGHOST or a
// service file names, or an sslmode from elsewhere, is not asked for here.
QString LineDatabase::unverified() const
{
    if (!connection || sslWeakness.isEmpty())
        return QString();
    bool weakerMode = false, socketHost = false;
    forEachOption(conninfo, [&](const QString &key, const QString &value) {
        if (key == QLatin1String("sslmode"))
            weakerMode = value != QLatin1String("verify-full");
        if (key == QLatin1String("host"))
            for (const QString &host : value.split(QLatin1Char(',')))
                socketHost |= isSocketFolder(host.trimmed());
    });
    const bool socket = isSocketFolder(QString::fromUtf8(PQhost(connection)));
    if (socket ? socketHost : weakerMode)
        return QString();
    return socket ? QStringLiteral("the server was reached through a Unix socket (%1) that the "
                                   "connection string does not name (PGHOST or a service file): "
                                   "it is not verified, nothing is sent; name a host, or the "
                                   "socket folder in the string itself")
                        .arg(QString::fromUtf8(PQhost(connection)))
                  : QStringLiteral("%1, which the connection string does not ask for: nothing is "
                                   "sent")
                        .arg(sslWeakness);
}

QString LineDatabase::user() const
{
    return connection ? QString::fromUtf8(PQuser(connection)) : QString();
}

bool LineDatabase::open()
{
    if (connection && PQstatus(connection) == CONNECTION_OK)
        return true;
    close();
    if (noConnecting) {
        lastError = QStringLiteral("stopped");
        return false;
    }
    if (!connect() || !setUpSession()) {
        close();
        return false;
    }
    ++made;
    sslWeakness = ::sslWeakness(connection);
    lastError.clear();
    return true;
}

// Ours before the string: what it says overrides them (a weaker sslmode
// included); the encoding after it.
bool LineDatabase::connect()
{
    const QByteArray expanded = conninfo.toUtf8();
    const QByteArray application = session.applicationName.left(63).toUtf8();
    const char *const keys[] = { "sslmode",
                                 "keepalives",
                                 "keepalives_idle",
                                 "keepalives_interval",
                                 "keepalives_count",
                                 "application_name",
                                 "dbname",
                                 "client_encoding",
                                 nullptr };
    const char *const values[]
        = { "verify-full",        "1",    "10",   "5", "3", application.constData(),
            expanded.constData(), "UTF8", nullptr };
    connection = PQconnectStartParams(keys, values, 1);
    const QDeadlineTimer deadline(ConnectTimeoutS * 1000);
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (connection && PQstatus(connection) != CONNECTION_BAD && polling != PGRES_POLLING_OK
           && polling != PGRES_POLLING_FAILED) {
        if (noConnecting) {
            lastError = QStringLiteral("stopped while connecting");
            return false;
        }
        if (deadline.hasExpired()) {
            lastError
                = QStringLiteral("connecting: timeout expired after %1 s").arg(ConnectTimeoutS);
            return false;
        }
        if (ready(PQsocket(connection), polling == PGRES_POLLING_WRITING, slice(deadline)))
            polling = PQconnectPoll(connection);
    }
    if (!connection || PQstatus(connection) != CONNECTION_OK) {
        lastError
            = connection ? oneLine(PQerrorMessage(connection)) : QStringLiteral("out of memory");
        return false;
    }
    PQsetNoticeProcessor(connection, ignoreNotice, nullptr);
    return true;
}

// The server's own time-outs for the session, below our deadline: no
// statement we gave up on stays waiting there.
bool LineDatabase::setUpSession()
{
    const QByteArray sql = "SELECT set_config('statement_timeout', $1, false), "
                           "set_config('lock_timeout', $2, false)";
    const QStringList raw { QString::number(session.statementTimeoutMs),
                            QString::number(session.lockTimeoutMs) };
    const Result result
        = finish(send(sql, { raw[0].toUtf8(), raw[1].toUtf8() }, raw), StatementTimeoutMs);
    if (!result.ok)
        lastError = result.error;
    return result.ok;
}

void LineDatabase::close()
{
    if (connection)
        PQfinish(connection);
    connection = nullptr;
}

LineDatabase::Result LineDatabase::exec(const QString &sql, const QStringList &params,
                                        int timeoutMs)
{
    Result result;
    if (interrupted || !open()) {
        result.error = interrupted ? QStringLiteral("stopped") : lastError;
        return result;
    }
    QList<QByteArray> encoded;
    for (const QString &p : params)
        encoded << p.toUtf8();
    return finish(send(sql.toUtf8(), encoded, params), timeoutMs);
}

LineDatabase::Result LineDatabase::execAll(const QList<Statement> &statements, int timeoutMs)
{
    Result result;
    if (interrupted || !open()) {
        result.error = interrupted ? QStringLiteral("stopped") : lastError;
        return result;
    }
    bool sent = PQenterPipelineMode(connection);
    for (const Statement &statement : statements) {
        QList<QByteArray> encoded;
        for (const QString &p : statement.params)
            encoded << p.toUtf8();
        sent = sent && send(statement.sql.toUtf8(), encoded, statement.params);
    }
    sent = sent && PQpipelineSync(connection);
    if (!sent) {
        result.error = oneLine(PQerrorMessage(connection));
        close();
        return result;
    }
    for (const Statement &statement : statements) {
        result = waitForResult(timeoutMs) ? collect(statement.each)
                                          : Result { false, {}, lastError, {} };
        if (!result.ok) { // what is left of the pipeline goes with the connection
            close();
            return result;
        }
    }
    PGresult *sync = waitForResult(timeoutMs) ? PQgetResult(connection) : nullptr;
    result.ok = sync && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
    PQclear(sync);
    if (!result.ok || !PQexitPipelineMode(connection)) {
        result.ok = false;
        result.error = oneLine(PQerrorMessage(connection));
        close();
    }
    return result;
}

LineDatabase::Result LineDatabase::runScript(const QString &script)
{
    Result result;
    if (!open()) {
        result.error = lastError;
        return result;
    }
    const bool sent = PQsendQuery(connection, script.toUtf8().constData());
    if (!sent)
        lastError = oneLine(PQerrorMessage(connection));
    // Only the first statement's answer is waited for here; collect() waits
    // for the others.
    return finish(sent, NoDeadline);
}

LineDatabase::Result LineDatabase::finish(bool sent, int timeoutMs)
{
    if (!sent || !waitForResult(timeoutMs)) {
        Result result;
        result.error = lastError;
        // Kept when the statement was cancelled and the connection is idle
        // again; a statement left half way is not trusted again.
        if (interrupted || PQstatus(connection) != CONNECTION_OK || PQisBusy(connection)
            || PQtransactionStatus(connection) != PQTRANS_IDLE)
            close();
        return result;
    }
    Result result = collect({});
    if (PQstatus(connection) != CONNECTION_OK)
        close();
    return result;
}

bool LineDatabase::send(const QByteArray &sql, const QList<QByteArray> &params,
                        const QStringList &raw)
{
    std::vector<const char *> values;
    for (qsizetype i = 0; i < params.size(); ++i)
        values.push_back(raw[i].isNull() ? nullptr : params[i].constData());
    if (!PQsendQueryParams(connection, sql.constData(), int(values.size()), nullptr, values.data(),
                           nullptr, nullptr, 0)) {
        lastError = oneLine(PQerrorMessage(connection));
        return false;
    }
    return true;
}

bool LineDatabase::waitForResult(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (!PQconsumeInput(connection)) {
            lastError = oneLine(PQerrorMessage(connection));
            return false;
        }
        if (!PQisBusy(connection))
            return true;
        if (interrupted || deadline.hasExpired()) {
            const QString why = interrupted
                ? QStringLiteral("stopped")
                : QStringLiteral("no answer from the line database within %1 s")
                      .arg(timeoutMs / 1000.0);
            lastError = cancel() ? why + QStringLiteral("; the statement was cancelled")
                                 : why + QStringLiteral("; cancelling the statement failed");
            return false;
        }
        ready(PQsocket(connection), false, slice(deadline));
    }
}

// Asks the server to cancel the statement in flight, and waits a little for
// its answer. libpq's cancel opens a connection of its own and waits for the
// server without a time-out of its own, so it runs on a thread of its own:
// a server that does not answer holds that thread only.
bool LineDatabase::cancel()
{
    PGcancel *request = PQgetCancel(connection);
    if (!request)
        return false;
    std::thread([request] {
        char error[256];
        PQcancel(request, error, sizeof error);
        PQfreeCancel(request);
    }).detach();
    const QDeadlineTimer deadline(CancelWaitMs);
    while (PQconsumeInput(connection) && PQisBusy(connection) && !deadline.hasExpired())
        ready(PQsocket(connection), false, slice(deadline));
    if (PQisBusy(connection))
        return false;
    while (PGresult *r = PQgetResult(connection)) // "canceling statement due to user request"
        PQclear(r);
    return true;
}

namespace {

QStringList texts(const QList<QByteArrayView> &views)
{
    QStringList values;
    for (QByteArrayView view : views)
        values << (view.isNull() ? QString() : QString::fromUtf8(view));
    return values;
}

} // namespace

LineDatabase::Result LineDatabase::collect(const EachRow &each)
{
    Result result;
    bool answered = false;
    result.ok = true;
    QList<QByteArrayView> views;
    while (PGresult *r = PQgetResult(connection)) {
        answered = true;
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_TUPLES_OK) {
            for (int row = 0; row < PQntuples(r); ++row) {
                views.clear();
                for (int column = 0; column < PQnfields(r); ++column)
                    views << (PQgetisnull(r, row, column)
                                  ? QByteArrayView()
                                  : QByteArrayView(PQgetvalue(r, row, column),
                                                   PQgetlength(r, row, column)));
                if (each)
                    each(views);
                else
                    result.rows << texts(views);
            }
        } else if (status != PGRES_COMMAND_OK && result.ok) {
            result.ok = false;
            result.error = oneLine(PQresultErrorMessage(r));
            const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            result.state = state ? QString::fromLatin1(state) : QString();
        }
        PQclear(r);
    }
    if (!answered) { // never taken for a statement that did its work
        result.ok = false;
        result.error = oneLine(PQerrorMessage(connection));
    }
    lastError = result.error;
    return result;
}
