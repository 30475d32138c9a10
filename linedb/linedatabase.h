#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct pg_conn;

// One connection to the line database through libpq, with time-outs of our
// own so that no network trouble holds its caller for long: connecting at
// most ConnectTimeoutS (libpq's connect_timeout, the whole start-up
// included), each statement at most StatementTimeoutMs, a dead peer found by
// TCP keep-alives. Every statement is sent with its parameters apart
// (PQexecParams), never pasted into its text. Not for use from two threads
// at once.
class LineDatabase {
public:
    static constexpr int ConnectTimeoutS = 5;
    static constexpr int StatementTimeoutMs = 15000;

    struct Result {
        bool ok = false;
        QList<QStringList> rows; // text; a null QString for SQL NULL
        QString error;
        QString state; // SQLSTATE of the error, when the server gave one
    };

    explicit LineDatabase(const QString &conninfo);
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    // Why a connection string is not used: malformed, or holding a password
    // (passwords belong in the pgpass or service file). Empty when fine.
    static QString refusal(const QString &conninfo);
    // The string's host, port, database and user, for traces; never a password.
    static QString describe(const QString &conninfo);

    // Connects unless connected; false with error() when that fails.
    bool open();
    bool isOpen() const { return connection != nullptr; }
    void close();
    QString error() const { return lastError; }

    // A null QString in `params` is SQL NULL. A failure that leaves the
    // connection unusable closes it.
    Result exec(const QString &sql, const QStringList &params = {},
                int timeoutMs = StatementTimeoutMs);
    // A script of our own (several statements, no parameters), such as the
    // schema.
    Result runScript(const QString &script, int timeoutMs = StatementTimeoutMs);

private:
    Result finish(bool sent, int timeoutMs);
    bool send(const QByteArray &sql, const QList<QByteArray> &params, const QStringList &raw);
    bool waitForResult(int timeoutMs);
    Result collect();

    QString conninfo;
    pg_conn *connection = nullptr;
    QString lastError;
};
