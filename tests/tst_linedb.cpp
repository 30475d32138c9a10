// The line database on a real PostgreSQL server of the test's own
// (pgserver.sh, TLS with a CA of its own): run records shipped by the station
// and by its simulated bench as separate programs, the server stopped, silent
// or refusing, a station killed while it sends, the roles, the schema, and
// the line-wide report against the report on the same records files.

#include "linedb/linedatabase.h"
#include "shipping/linestatus.h"
#include "procedure/runrecord.h"
#include "stationprobe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimeZone>
#include <QUuid>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port nobody listens on, or, with `listening`, one that takes connections
// into its backlog and never answers them.
int tcpPort(int *listening = nullptr)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(s, reinterpret_cast<sockaddr *>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &size);
    if (listening) {
        listen(s, 1);
        *listening = s;
    } else {
        ::close(s);
    }
    return ntohs(address.sin_port);
}

QList<QByteArray> journalLines()
{
    QFile file(RunRecord::FileName);
    file.open(QIODevice::ReadOnly);
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// The station on a simulated bench, shipping to the line database.
struct Station {
    SimulatedDeviceLibrary library;
    MW window;
    std::unique_ptr<LineShipping> shipping;

    Station(const LineConfig &config, const SimScenario &scenario = SimScenario::passingPair())
        : library(scenario), window(library)
    {
        StationProbe(window).stopRefresh();
        shipping = shipRecords(window, config);
    }
    void run(int times)
    {
        for (int i = 0; i < times; ++i) {
            window.findDevices();
            StationProbe(window).form()->startTest->click();
        }
    }
    QLabel *state() { return window.statusBar()->findChild<QLabel *>("lineDatabase"); }
};

// The longest the event loop went without running a 5 ms timer while it lived.
class StallWatch {
public:
    StallWatch()
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout,
                         [this] { longest = qMax(longest, clock.restart()); });
        timer.start(5);
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 longest = 0;
};

} // namespace

class TestLineDb : public QObject {
    Q_OBJECT

    QTemporaryDir serverDir;
    int port = 0;
    std::unique_ptr<LineDatabase> owner;
    std::unique_ptr<ScratchDirectory> scratch;

    QString conninfo(const QString &user, const QString &ca = QStringLiteral("ca.crt")) const
    {
        return QStringLiteral("host=localhost port=%1 dbname=postgres user=%2 "
                              "sslmode=verify-full sslrootcert=%3/%4")
            .arg(QString::number(port), user, serverDir.path(), ca);
    }
    LineConfig config(const QString &user, const QString &station = QStringLiteral("bench-1"))
    {
        return { conninfo(user), station, QString() };
    }
    bool server(const QString &command)
    {
        QProcess process;
        process.setWorkingDirectory(serverDir.path()); // one the server's user may enter
        process.start(QFINDTESTDATA("pgserver.sh"), { command, serverDir.path() });
        return process.waitForFinished(60000) && process.exitCode() == 0;
    }
    // As the database's owner; once more after a restart broke the connection.
    LineDatabase::Result sql(const QString &statement, const QStringList &params = {})
    {
        LineDatabase::Result result = owner->exec(statement, params);
        return result.ok ? result : owner->exec(statement, params);
    }
    int rows() { return sql(QStringLiteral("SELECT count(*) FROM zelor_runs")).rows[0][0].toInt(); }
    static QByteArray program(const char *variable, const QStringList &arguments, int *code,
                              const QProcessEnvironment &environment = {})
    {
        QProcess process;
        if (!environment.isEmpty())
            process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable(variable), arguments);
        process.waitForFinished(60000);
        *code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return process.readAllStandardOutput();
    }
    QByteArray report(const QStringList &arguments, int *code)
    {
        return program("ZELOR_REPORT_EXECUTABLE", arguments, code);
    }
    void writeIni(const QString &station, const QString &database = QString())
    {
        QFile ini(LineConfig::IniFile);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[records]\nstation=" + station.toUtf8() + "\n");
        if (!database.isEmpty())
            ini.write("database=\"" + database.toUtf8() + "\"\n");
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("zelor.trace.debug=false"));
        port = tcpPort();
        QVERIFY(
            QProcess::execute(QFINDTESTDATA("pgserver.sh"),
                              { QStringLiteral("init"), serverDir.path(), QString::number(port) })
            == 0);
        const QString pgpass = serverDir.filePath(QStringLiteral("pgpass"));
        qputenv("PGPASSFILE", pgpass.toUtf8());
        owner = std::make_unique<LineDatabase>(conninfo(QStringLiteral("owner")));
        // The schema, twice: the second changes nothing.
        for (int i = 0; i < 2; ++i) {
            int code = -1;
            const QByteArray out
                = report({ QStringLiteral("--database"), conninfo(QStringLiteral("owner")),
                           QStringLiteral("--create-schema") },
                         &code);
            QCOMPARE(code, 0);
            QCOMPARE(out, QByteArray("The line database's schema is in place.\n"));
        }
        QCOMPARE(sql(QStringLiteral("SELECT count(*), min(version) FROM zelor_schema")).rows,
                 (QList<QStringList> { { "1", "1" } }));
        // The stations' group as docs/line-database.md sets it up, a station
        // of it, one with the wrong password in its pgpass line, and one
        // that may only look ids up.
        for (const char *statement : {
                 "CREATE ROLE zelor_station NOLOGIN",
                 "GRANT INSERT ON zelor_runs, zelor_records TO zelor_station",
                 "GRANT SELECT (id) ON zelor_runs TO zelor_station",
                 "CREATE ROLE bench LOGIN PASSWORD 'bench-secret' IN ROLE zelor_station",
                 "CREATE ROLE forgetful LOGIN PASSWORD 'right' IN ROLE zelor_station",
                 "CREATE ROLE lookonly LOGIN PASSWORD 'look-secret'",
                 "GRANT SELECT (id) ON zelor_runs TO lookonly",
             })
            QVERIFY2(sql(QLatin1String(statement)).ok, statement);
        QFile file(pgpass);
        QVERIFY(file.open(QIODevice::Append));
        for (const char *entry :
             { "bench:bench-secret", "forgetful:wrong", "lookonly:look-secret" })
            file.write(QStringLiteral("localhost:%1:*:%2\n").arg(port).arg(entry).toUtf8());
    }
    void cleanupTestCase()
    {
        owner.reset();
        server(QStringLiteral("stop"));
    }
    void init()
    {
        scratch = std::make_unique<ScratchDirectory>();
        QVERIFY(sql(QStringLiteral("TRUNCATE zelor_runs, zelor_records")).ok);
    }
    void cleanup() { scratch.reset(); }

    // Every field, the record as written, over TLS; the station's role can
    // add records and look ids up, never change or delete one.
    void recordsArriveWholeOverTls()
    {
        Station station(config(QStringLiteral("bench")),
                        pairWith({ fault(SimOperation::EepromProgram, "FTD4E5F6", 2) }));
        station.run(2);
        QTRY_COMPARE(rows(), 2);
        QTRY_COMPARE(station.state()->text(), QStringLiteral("Line database: all records in"));
        const QList<QByteArray> lines = journalLines();
        QCOMPARE(lines.size(), 2);
        for (const QByteArray &line : lines) {
            const QJsonObject record = json(line);
            const LineDatabase::Result row = sql(
                QStringLiteral("SELECT station, started = $2::timestamptz, day::text, verdict, "
                               "fail_code, duration_ms, pair, record::text FROM zelor_runs "
                               "JOIN zelor_records USING (id) WHERE id = $1::uuid"),
                { record.value("id").toString(), record.value("start").toString() });
            QCOMPARE(row.rows.size(), 1);
            const QStringList r = row.rows[0];
            QCOMPARE(r[0], QStringLiteral("bench-1"));
            QCOMPARE(r[1], QStringLiteral("t"));
            QCOMPARE(r[2], record.value("start").toString().left(10));
            QCOMPARE(r[3], record.value("verdict").toString());
            QCOMPARE(r[4].toInt(), record.value("failCode").toInt());
            QCOMPARE(r[5].toDouble(), record.value("durationMs").toDouble());
            QCOMPARE(r[6], QStringLiteral("FTA1B2C3\nFTD4E5F6"));
            QCOMPARE(json(r[7].toUtf8()), record);
        }
        QCOMPARE(json(lines[1]).value("failCode").toInt(), 3);
        QCOMPARE(sql(QStringLiteral("SELECT s.version FROM pg_stat_ssl s JOIN pg_stat_activity a "
                                    "USING (pid) WHERE a.usename = 'bench'"))
                     .rows.value(0)
                     .value(0),
                 QStringLiteral("TLSv1.3"));
        LineDatabase bench(conninfo(QStringLiteral("bench")));
        for (const char *statement :
             { "UPDATE zelor_runs SET verdict = 'PASSED'", "DELETE FROM zelor_runs",
               "UPDATE zelor_records SET record = '{}'", "DELETE FROM zelor_records" })
            QVERIFY2(bench.exec(QLatin1String(statement)).error.contains("permission denied"),
                     statement);
        QCOMPARE(rows(), 2);
    }

    // Ten runs with the server stopped: as quick as without a database, then
    // every record in once, in order, when it is back.
    void serverStoppedForTenRuns()
    {
        QList<double> alone;
        {
            Station station({});
            station.run(10);
            for (const QByteArray &line : journalLines())
                alone << json(line).value("durationMs").toDouble();
            QFile::remove(RunRecord::FileName);
        }
        QVERIFY(server(QStringLiteral("stop")));
        QList<double> shipping;
        {
            const SimScenario failingThird
                = pairWith({ fault(SimOperation::Read, "FTD4E5F6", 150) });
            Station station(config(QStringLiteral("bench")), failingThird);
            station.run(10);
            for (const QByteArray &line : journalLines())
                shipping << json(line).value("durationMs").toDouble();
            QTRY_COMPARE(station.state()->text(), QStringLiteral("Line database: 10 waiting"));
            QVERIFY2(station.state()->toolTip().contains("Connection refused"),
                     qPrintable(station.state()->toolTip()));
            QVERIFY(server(QStringLiteral("start")));
            QTRY_COMPARE_WITH_TIMEOUT(station.state()->text(),
                                      QStringLiteral("Line database: all records in"), 20000);
        }
        // A run on the virtual clock takes about a millisecond; the margin is
        // for a busy machine (tests run side by side), not for the database:
        // connecting takes up to 5 s.
        QVERIFY2(*std::max_element(shipping.begin(), shipping.end())
                     <= *std::max_element(alone.begin(), alone.end()) + 50,
                 qPrintable(QStringLiteral("%1 against %2")
                                .arg(*std::max_element(shipping.begin(), shipping.end()))
                                .arg(*std::max_element(alone.begin(), alone.end()))));
        QStringList inJournal, inDatabase;
        for (const QByteArray &line : journalLines())
            inJournal << json(line).value("id").toString() + json(line).value("verdict").toString();
        for (const QStringList &row : sql(QStringLiteral("SELECT id::text || verdict FROM "
                                                         "zelor_runs ORDER BY arrival"))
                                          .rows)
            inDatabase << row[0];
        QCOMPARE(inDatabase, inJournal);
        QVERIFY(inJournal.join(',').contains("FAILED"));
    }

    // A server that takes the connection and never answers holds neither
    // the window nor the runs nor the station's end.
    void silentServerHoldsNothing()
    {
        int listening = -1;
        const int silent = tcpPort(&listening);
        LineConfig quiet = config(QStringLiteral("bench"));
        quiet.conninfo
            = QStringLiteral("host=127.0.0.1 port=%1 dbname=postgres user=bench").arg(silent);
        QElapsedTimer closing;
        {
            StallWatch watch;
            Station station(quiet);
            station.run(5);
            QCOMPARE(journalLines().size(), 5);
            QTRY_VERIFY_WITH_TIMEOUT(station.state()->toolTip().contains("timeout expired"), 15000);
            QCOMPARE(station.state()->text(), QStringLiteral("Line database: 5 waiting"));
            QVERIFY2(watch.longestMs() < 250, qPrintable(QString::number(watch.longestMs())));
            closing.start();
        }
        QVERIFY2(closing.elapsed() < LineShipping::StopWaitMs + 1000,
                 qPrintable(QString::number(closing.elapsed())));
        ::close(listening);
    }

    // Refused, each with a clear trace: the runs pass, the records wait.
    void refusedConnectionsAreTracedAndRunsGoOn_data()
    {
        QTest::addColumn<QString>("conninfo");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("trace");
        QTest::newRow("wrong password")
            << conninfo(QStringLiteral("forgetful")) << "Line database: 1 waiting"
            << "password authentication failed for user \"forgetful\"";
        QTest::newRow("wrong certificate")
            << conninfo(QStringLiteral("bench"), QStringLiteral("wrong-ca.crt"))
            << "Line database: 1 waiting"
            << "certificate verify failed";
        QTest::newRow("a role that may not insert")
            << conninfo(QStringLiteral("lookonly")) << "Line database: 1 waiting"
            << "permission denied for table zelor_";
        QTest::newRow("a password in the connection string")
            << conninfo(QStringLiteral("bench")) + QStringLiteral(" password=bench-secret")
            << "Line database: not used"
            << "holds a password";
    }
    void refusedConnectionsAreTracedAndRunsGoOn()
    {
        QFETCH(QString, conninfo);
        QFETCH(QString, state);
        QFETCH(QString, trace);
        QLoggingCategory::setFilterRules(QStringLiteral("zelor.trace.debug=true"));
        TraceCapture traces;
        qputenv("ZELOR_RECORDS_DATABASE", conninfo.toUtf8());
        const LineConfig refused = LineConfig::load();
        qunsetenv("ZELOR_RECORDS_DATABASE");
        Station station(refused);
        station.run(1);
        QCOMPARE(withoutDates(logFileLines()).last(), QStringLiteral("TEST PASSED"));
        QTRY_COMPARE_WITH_TIMEOUT(station.state()->text(), state, 10000);
        QTRY_VERIFY2(traces.lines().join('\n').contains(trace),
                     qPrintable(traces.lines().join('\n')));
        QVERIFY(!traces.lines().join('\n').contains("secret"));
        QVERIFY(!logFileBytes().contains("secret"));
        QCOMPARE(rows(), 0);
        QLoggingCategory::setFilterRules(QStringLiteral("zelor.trace.debug=false"));
    }

    // Killed while the server takes its time over an insert: the next start
    // sends what the database lacks, and nothing twice.
    void stationKilledWhileSendingLosesNothing()
    {
        QVERIFY(owner
                    ->runScript(QStringLiteral(
                        "CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS "
                        "$$ BEGIN PERFORM pg_sleep(2); RETURN NEW; END $$; "
                        "CREATE TRIGGER slow BEFORE INSERT ON zelor_runs FOR EACH ROW "
                        "EXECUTE FUNCTION slow()"))
                    .ok);
        writeIni(QStringLiteral("bench-9"), conninfo(QStringLiteral("bench")));
        QProcess station;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        station.setProcessEnvironment(environment);
        station.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), { "--runs", "3" });
        QTRY_VERIFY_WITH_TIMEOUT(
            sql(QStringLiteral("SELECT 1 FROM pg_stat_activity WHERE state = 'active' "
                               "AND query LIKE '%INSERT INTO zelor_records%' "
                               "AND pid <> pg_backend_pid()"))
                    .rows.size()
                == 1,
            10000);
        station.kill();
        station.waitForFinished();
        QVERIFY(
            owner
                ->runScript(QStringLiteral("DROP TRIGGER slow ON zelor_runs; DROP FUNCTION slow()"))
                .ok);
        int code = -1;
        program("ZELOR_SIM_EXECUTABLE", { "--runs", "1" }, &code, environment);
        QCOMPARE(code, 0);
        QCOMPARE(journalLines().size(), 4);
        QTRY_COMPARE(rows(), 4);
        QCOMPARE(sql(QStringLiteral("SELECT count(DISTINCT record->>'run') FROM zelor_records"))
                     .rows[0][0],
                 QStringLiteral("3")); // runs 1 to 3, then run 1 of the second start
    }

    // Two stations, one database: a pair counts at the station it was first
    // tested on, line-wide.
    void twoStationsOneDatabase()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ZELOR_RECORDS_DATABASE"),
                           conninfo(QStringLiteral("bench")));
        for (const auto &[name, runs] :
             { std::pair { "bench-A", "2" }, std::pair { "bench-B", "3" } }) {
            const QString folder = scratch->path() + QLatin1Char('/') + QLatin1String(name);
            QDir().mkpath(folder);
            QDir::setCurrent(folder);
            writeIni(QLatin1String(name));
            int code = -1;
            program("ZELOR_SIM_EXECUTABLE", { "--runs", runs }, &code, environment);
            QCOMPARE(code, 0);
        }
        QTRY_COMPARE(rows(), 5);
        int code = -1;
        const QStringList text
            = QString::fromUtf8(report({ "--database", conninfo("owner") }, &code)).split('\n');
        QCOMPARE(code, 0);
        QVERIFY2(text.filter(QRegularExpression("^  bench-A  runs 2, passed 2 \\(100.0 %\\), "
                                                "first-pass yield 1 of 1 pairs"))
                         .size()
                     == 1,
                 qPrintable(text.join('\n')));
        QVERIFY(text.filter(QRegularExpression("^  bench-B  runs 3, passed 3 \\(100.0 %\\), "
                                               "first-pass yield 0 of 0 pairs"))
                    .size()
                == 1);
    }

    // The database's figures, counted in SQL, are the records files' figures
    // counted in the program, for every filter; the CSV has the same rows.
    // The same records through files and through the database, the
    // database's figures from the summaries it keeps as runs arrive: the
    // hand-worked records, runs whose middle cycle times lie far apart, and
    // generated days of a line with retests on the next day and at other
    // stations, arriving out of order.
    void reportFromTheDatabaseMatchesTheFiles_data()
    {
        QTest::addColumn<QString>("records");
        QTest::addColumn<int>("copies"); // how many times the files report reads them
        QTest::addColumn<QStringList>("arguments");
        const QString handWorked = QStringLiteral("records.jsonl");
        QTest::newRow("all") << handWorked << 1 << QStringList {};
        QTest::newRow("since a day") << handWorked << 1 << QStringList { "--since", "2026-12-02" };
        QTest::newRow("until a time")
            << handWorked << 1 << QStringList { "--until", "2026-12-01T07:30:00Z" };
        QTest::newRow("until a day") << handWorked << 1 << QStringList { "--until", "2026-12-01" };
        QTest::newRow("one station") << handWorked << 1 << QStringList { "--station", "bench-1" };
        QTest::newRow("nothing") << handWorked << 1 << QStringList { "--since", "2027-01-01" };
        QTest::newRow("a file given twice") << handWorked << 2 << QStringList {};
        QTest::newRow("csv") << handWorked << 1 << QStringList { "--csv" };
        QTest::newRow("html") << handWorked << 1 << QStringList { "--html", "-" };
        QTest::newRow("middle cycle times far apart")
            << "cycle-times" << 1 << QStringList { "--station", "bench-1" };
        const QString line = QStringLiteral("generated");
        QTest::newRow("line") << line << 1 << QStringList {};
        QTest::newRow("line, since a day") << line << 1 << QStringList { "--since", "2026-11-04" };
        QTest::newRow("line, until a day") << line << 1 << QStringList { "--until", "2026-11-05" };
        QTest::newRow("line, one station's days")
            << line << 1 << QStringList { "--station",  "bench-2", "--since",
                                          "2026-11-03", "--until", "2026-11-06" };
        QTest::newRow("line, a shift")
            << line << 1
            << QStringList { "--since", "2026-11-04T06:00:00Z", "--until", "2026-11-05T14:00:00Z" };
        QTest::newRow("line, html") << line << 2 << QStringList { "--html", "-" };
    }
    void reportFromTheDatabaseMatchesTheFiles()
    {
        QFETCH(QString, records);
        QFETCH(int, copies);
        QFETCH(QStringList, arguments);
        const QString file = QDir::current().absoluteFilePath(QStringLiteral("records.jsonl"));
        if (records == QLatin1String("records.jsonl"))
            QVERIFY(QFile::copy(QFINDTESTDATA("data/records.jsonl"), file));
        else
            QVERIFY(writeRecords(file,
                                 records == QLatin1String("generated") ? generatedLine()
                                                                       : farApartCycleTimes()));
        QVERIFY(QFile::copy(file, RunRecord::FileName));
        {
            LineShipping shipping(config(QStringLiteral("bench")), RunRecord::FileName);
            QSignalSpy states(&shipping, &LineShipping::stateChanged);
            QTRY_VERIFY_WITH_TIMEOUT(
                !states.isEmpty() && states.last().first() == "Line database: all records in",
                30000);
        }
        int fromFile = -1, fromDatabase = -1;
        QStringList files;
        for (int i = 0; i < copies; ++i)
            files << file;
        QStringList expected = QString::fromUtf8(report(arguments + files, &fromFile)).split('\n');
        QStringList got
            = QString::fromUtf8(report(arguments + QStringList { "--database", conninfo("owner") },
                                       &fromDatabase))
                  .split('\n');
        QCOMPARE(fromDatabase, 0);
        QCOMPARE(fromFile, 0);
        if (arguments.contains("--csv")) { // the database orders by start
            expected.sort();
            got.sort();
        }
        for (QStringList *page : { &expected, &got }) // where the records came from
            page->removeIf([](const QString &line) { return line.contains("Sources: "); });
        QCOMPARE(got, expected);
    }

    static QJsonObject generatedRecord(int run, const QDateTime &start, const QString &station,
                                       const QString &pair, bool passed, int code, double ms)
    {
        QJsonArray chips;
        if (!pair.isEmpty())
            chips = { QJsonObject { { "serial", "A" + pair } },
                      QJsonObject { { "serial", "B" + pair } } };
        const QString text = start.toString(Qt::ISODateWithMs);
        return {
            { "schema", 1 },
            { "id",
              QUuid::createUuidV5(QUuid(), QString::number(run)).toString(QUuid::WithoutBraces) },
            { "station", station },
            { "run", run },
            { "start", text },
            { "end", text },
            { "durationMs", ms },
            { "version", "1.0.0" },
            { "host", station },
            { "backend", "simulated bench" },
            { "chips", chips },
            { "steps", QJsonArray() },
            { "verdict", passed ? "PASSED" : "FAILED" },
            { "failCode", passed ? 0 : code }
        };
    }
    static bool writeRecords(const QString &name, const QList<QJsonObject> &records)
    {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (const QJsonObject &record : records)
            file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
        return true;
    }
    // Passed runs of 100.4, 868.6, 100.5 and 900.49 ms at one station: 100.5
    // is 101 ms, half up.
    static QList<QJsonObject> farApartCycleTimes()
    {
        QList<QJsonObject> records;
        const QDateTime start
            = QDateTime::fromString("2026-12-01T08:00:00.000+01:00", Qt::ISODateWithMs);
        int run = 0;
        for (double ms : { 100.4, 868.6, 100.5, 900.49 }) {
            ++run;
            records << generatedRecord(run, start.addSecs(run * 60), "bench-1",
                                       QStringLiteral("P%1").arg(run), true, 0, ms);
        }
        return records;
    }
    // Eight days of three stations in three time zones; a failed pair is
    // tested again at the next station or the next day; each day's records
    // arrive in reverse, after the next day's.
    static QList<QJsonObject> generatedLine()
    {
        QRandomGenerator random(30);
        const char *const stations[] = { "bench-1", "bench-2", "bench-3" };
        const int offsets[] = { 3600, 0, -5 * 3600 };
        QList<QList<QJsonObject>> days(8);
        QStringList retest;
        int run = 0;
        for (int day = 0; day < 8; ++day) {
            for (int i = 0; i < 30; ++i) {
                for (int s = 0; s < 3; ++s) {
                    ++run;
                    const QDateTime start
                        = QDateTime(QDate(2026, 11, 1 + day), QTime(8, 0), QTimeZone(offsets[s]))
                              .addSecs(i * 600 + s * 7)
                              .toOffsetFromUtc(offsets[s]);
                    const QString pair = run % 23 == 0           ? QString()
                        : !retest.isEmpty() && random.bounded(3) ? retest.takeFirst()
                                                                 : QString::number(run);
                    const bool passed = !pair.isEmpty() && random.bounded(100) >= 15 + 10 * s;
                    if (!passed && !pair.isEmpty() && random.bounded(4))
                        retest << pair;
                    const double ms = passed ? 440 + random.bounded(40.0) : random.bounded(2000.0);
                    days[day] << generatedRecord(run, start, stations[s], pair, passed,
                                                 1 + random.bounded(8), ms);
                }
            }
        }
        QList<QJsonObject> records;
        for (int day = 0; day < 8; day += 2)
            records << days[day + 1] << QList<QJsonObject>(days[day].rbegin(), days[day].rend());
        return records;
    }
};

QTEST_MAIN(TestLineDb)
#include "tst_linedb.moc"
