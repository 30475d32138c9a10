#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

struct pg_conn;

// What the server is told of a session. A time-out of 0 is none, whatever
// the database's own setting.
struct LineSession {
    QString applicationName = QStringLiteral("zelor-k3-report");
    int statementTimeoutMs = 0;
    int lockTimeoutMs = 0;
};

// One connection to the line database through libpq, kept and reused, with
// time-outs of our own so that no network trouble holds its caller for long:
// connecting at most ConnectTimeoutS (start-up and TLS included), each
// statement at most its deadline, a dead peer found by TCP keep-alives. A
// statement still running at its deadline is cancelled on the server before
// the connection is given up. Without `sslmode` in the connection string the
// server's certificate and name are checked (verify-full). Every statement is
// sent with its parameters apart (PQexecParams), never pasted into its text.
// Not for use from two threads at once, but for interrupt().
class LineDatabase {
public:
    static constexpr int ConnectTimeoutS = 5;
    static constexpr int StatementTimeoutMs = 15000;
    // For statements that take as long as they take: the report's, the schema's.
    static constexpr int NoDeadline = -1;
    // How long a cancelled statement's answer is waited for.
    static constexpr int CancelWaitMs = 1000;

    using Session = LineSession;

    struct Result {
        bool ok = false;
        QList<QStringList> rows; // text; a null QString for SQL NULL
        QString error;
        QString state; // SQLSTATE of the error, when the server gave one
    };

    explicit LineDatabase(const QString &conninfo, const Session &session = Session());
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    // Why a connection string is not used: malformed, or holding a password
    // (passwords belong in the pgpass or service file). Empty when fine.
    static QString refusal(const QString &conninfo);
    // The string's host, port, database and user, for traces; never a password.
    static QString describe(const QString &conninfo);
    // The login the string names, else libpq's default (PGUSER, the
    // system's user name); empty when not known before connecting.
    static QString login(const QString &conninfo);

    // Connects unless connected; false with error() when that fails.
    bool open();
    bool isOpen() const { return connection != nullptr; }
    void close();
    QString error() const { return lastError; }
    // Of the open connection: the login it arrived by; what its TLS does not
    // check (empty for verify-full); how many connections were made so far.
    QString user() const;
    QString weakness() const { return sslWeakness; }
    // Why the open connection is not to be trusted with records: its server
    // is not verified and the connection string does not ask for less.
    // Empty when it is verified, or the string asked.
    QString unverified() const;
    int connections() const { return made; }

    // From any thread, at the end: stopConnecting() gives up connecting at
    // once and makes no new connection, a statement in flight goes on;
    // interrupt() also cancels that statement, waits at most CancelWaitMs for
    // the server to say so, and sends no other.
    void stopConnecting() { noConnecting = true; }
    void interrupt()
    {
        noConnecting = true;
        interrupted = true;
    }

    // A null QString in `params` is SQL NULL. A failure that leaves the
    // connection unusable closes it.
    Result exec(const QString &sql, const QStringList &params = {},
                int timeoutMs = StatementTimeoutMs);
    // Statements sent together (libpq's pipeline mode), so that the server
    // runs each while the rows of the one before are read. Each row goes to
    // its statement's `each` as libpq holds it (text; a null view for SQL
    // NULL), not kept. The first error ends them all.
    using EachRow = std::function<void(const QList<QByteArrayView> &)>;
    struct Statement {
        QString sql;
        QStringList params;
        EachRow each;
    };
    Result execAll(const QList<Statement> &statements, int timeoutMs);
    // A script of our own (several statements, no parameters), such as the
    // schema, run to its end however long it takes.
    Result runScript(const QString &script);

private:
    bool connect();
    bool setUpSession();
    Result finish(bool sent, int timeoutMs);
    bool send(const QByteArray &sql, const QList<QByteArray> &params, const QStringList &raw);
    bool waitForResult(int timeoutMs);
    bool cancel();
    Result collect(const EachRow &each); // rows kept unless `each` takes them

    QString conninfo;
    Session session;
    pg_conn *connection = nullptr;
    QString lastError;
    QString sslWeakness;
    int made = 0;
    std::atomic<bool> noConnecting { false };
    std::atomic<bool> interrupted { false };
};
