#include "linedb/linedatabase.h"

#include <libpq-fe.h>

#include <QDeadlineTimer>

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

bool readable(int socket, int timeoutMs)
{
#ifdef _WIN32
    WSAPOLLFD wanted { SOCKET(socket), POLLRDNORM, 0 };
    return WSAPoll(&wanted, 1, timeoutMs) > 0;
#else
    pollfd wanted { socket, POLLIN, 0 };
    return poll(&wanted, 1, timeoutMs) > 0;
#endif
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

LineDatabase::LineDatabase(const QString &conninfo) : conninfo(conninfo) { }

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

bool LineDatabase::open()
{
    if (connection && PQstatus(connection) == CONNECTION_OK)
        return true;
    close();
    // Ours first: what the connection string says overrides them.
    const QByteArray timeout = QByteArray::number(ConnectTimeoutS);
    const QByteArray expanded = conninfo.toUtf8();
    const char *const keys[]
        = { "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
            "keepalives_count", "application_name", "dbname",          nullptr };
    const char *const values[] = { timeout.constData(),  "1",    "10", "5", "3", "zelor-k3-tester",
                                   expanded.constData(), nullptr };
    connection = PQconnectdbParams(keys, values, 1);
    if (PQstatus(connection) != CONNECTION_OK) {
        lastError = oneLine(PQerrorMessage(connection));
        close();
        return false;
    }
    PQsetNoticeProcessor(connection, ignoreNotice, nullptr);
    lastError.clear();
    return true;
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
    if (!open()) {
        result.error = lastError;
        return result;
    }
    QList<QByteArray> encoded;
    for (const QString &p : params)
        encoded << p.toUtf8();
    return finish(send(sql.toUtf8(), encoded, params), timeoutMs);
}

LineDatabase::Result LineDatabase::runScript(const QString &script, int timeoutMs)
{
    Result result;
    if (!open()) {
        result.error = lastError;
        return result;
    }
    const bool sent = PQsendQuery(connection, script.toUtf8().constData());
    if (!sent)
        lastError = oneLine(PQerrorMessage(connection));
    return finish(sent, timeoutMs);
}

LineDatabase::Result LineDatabase::finish(bool sent, int timeoutMs)
{
    if (!sent || !waitForResult(timeoutMs)) {
        Result result;
        result.error = lastError;
        close(); // a statement left half way: the connection is not trusted again
        return result;
    }
    Result result = collect();
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
        if (!readable(PQsocket(connection), int(deadline.remainingTime()))
            && deadline.hasExpired()) {
            lastError = QStringLiteral("no answer from the line database within %1 s")
                            .arg(timeoutMs / 1000.0);
            return false;
        }
    }
}

LineDatabase::Result LineDatabase::collect()
{
    Result result;
    result.ok = true;
    while (PGresult *r = PQgetResult(connection)) {
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_TUPLES_OK) {
            for (int row = 0; row < PQntuples(r); ++row) {
                QStringList values;
                for (int column = 0; column < PQnfields(r); ++column)
                    values << (PQgetisnull(r, row, column)
                                   ? QString()
                                   : QString::fromUtf8(PQgetvalue(r, row, column)));
                result.rows << values;
            }
        } else if (status != PGRES_COMMAND_OK && result.ok) {
            result.ok = false;
            result.error = oneLine(PQresultErrorMessage(r));
            const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            result.state = state ? QString::fromLatin1(state) : QString();
        }
        PQclear(r);
    }
    lastError = result.error;
    return result;
}
