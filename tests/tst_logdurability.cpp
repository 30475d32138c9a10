// The log file when things go wrong around it: the file vanishing, turning
// into a directory or filling the disk in the middle of a run, and the
// station being killed at any moment.

#include "app/quitonsignal.h"
#include "stationprobe.h"

#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>

#include <csignal>

namespace {

const QString LogName = QStringLiteral("TestingLog.txt");
const QString NotSaved
    = QStringLiteral(" (error opening file TestingLog.txt for writing, log not saved.)");

enum class Trouble { Deleted, Directory, DiskFull };

void breakLogFile(Trouble trouble)
{
    QFile::remove(LogName);
    if (trouble == Trouble::Directory)
        QDir().mkdir(LogName);
    else if (trouble == Trouble::DiskFull)
        QFile::link(QStringLiteral("/dev/full"), LogName);
}

void mendLogFile()
{
    QDir().rmdir(LogName);
    QFile::remove(LogName);
}

// The view's lines with every not-saved note folded back into its line.
QStringList shownLines(const QStringList &paragraphs)
{
    QStringList lines;
    for (int i = 0; i < paragraphs.size(); ++i) {
        if (paragraphs[i].endsWith(NotSaved) && i + 1 < paragraphs.size()
            && paragraphs[i + 1] + NotSaved == paragraphs[i])
            continue; // its plain twin follows
        lines << paragraphs[i];
    }
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Trouble)

class TestLogDurability : public QObject {
    Q_OBJECT

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    void troubleMidRunLosesNoLineFromTheView_data()
    {
        QTest::addColumn<Trouble>("trouble");
        QTest::addColumn<int>("from"); // lines of the run logged before the trouble
        QTest::addColumn<int>("until"); // ... and before it is mended
        for (auto [name, trouble] : { std::pair { "deleted", Trouble::Deleted },
                                      std::pair { "directory", Trouble::Directory },
                                      std::pair { "disk full", Trouble::DiskFull } }) {
#ifdef Q_OS_WIN
            if (trouble == Trouble::DiskFull)
                continue; // no /dev/full to point the log at
#endif
            QTest::newRow(qPrintable(QStringLiteral("%1, lines 2 to 5").arg(QLatin1String(name))))
                << trouble << 2 << 5;
            QTest::newRow(qPrintable(QStringLiteral("%1, to the end").arg(QLatin1String(name))))
                << trouble << 1 << 99;
        }
    }
    void troubleMidRunLosesNoLineFromTheView()
    {
        QFETCH(Trouble, trouble);
        QFETCH(int, from);
        QFETCH(int, until);
        SimulatedDeviceLibrary library;
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();

        // Runs between every two lines of the run, inside logMessage.
        int linesLogged = 0;
        QTimer everyLine;
        connect(&everyLine, &QTimer::timeout, &window, [&] {
            ++linesLogged;
            if (linesLogged == from)
                breakLogFile(trouble);
            if (linesLogged == until && trouble != Trouble::Deleted)
                mendLogFile();
        });
        everyLine.start(0);
        probe.form()->startTest->click();
        everyLine.stop();

        // Every line of the run is in the view, each once as a plain line.
        const QStringList run = withoutDates(shownLines(probe.viewParagraphs()));
        QCOMPARE(run.size(), 11);
        QCOMPARE(run.first(), QStringLiteral("Test run 1 started <date>"));
        QCOMPARE(run.last(), QStringLiteral("TEST PASSED"));
        QCOMPARE(probe.form()->passed->text(), QStringLiteral("PASSED"));

        // A deleted file is simply made again by the next line.
        const int resumesAfter = trouble == Trouble::Deleted ? from : until;
        const int notSaved = int(probe.viewParagraphs().filter(NotSaved).size());
        QCOMPARE(notSaved, std::min(resumesAfter, 11) - from);
        if (resumesAfter < 11) {
            QCOMPARE(withoutDates(logFileLines()), run.mid(resumesAfter));
        } else {
            mendLogFile();
            window.logMessage(QStringLiteral("after"));
            QCOMPARE(logFileLines(), QStringList { QStringLiteral("after") });
        }
    }

    void killedAtAnyMomentLeavesWholeLines()
    {
        const QString program = qEnvironmentVariable("ZELOR_SIM_EXECUTABLE");
        for (int attempt = 0; attempt < 5; ++attempt) {
            QFile::remove(LogName);
            QProcess process;
            process.setStandardErrorFile(QProcess::nullDevice());
            process.start(program, { QStringLiteral("--runs"), QStringLiteral("100000") });
            QVERIFY(process.waitForStarted());
            // Runs under way, however slow the build, then a random moment.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(LogName).size() > 2000, 30000);
            QTest::qWait(QRandomGenerator::global()->bounded(500));
            process.kill(); // SIGKILL, or TerminateProcess on Windows
            QVERIFY(process.waitForFinished());

            const QByteArray bytes = logFileBytes();
            QVERIFY2(bytes.endsWith("\r\n"), bytes.right(80).constData());
            const QStringList lines = withoutDates(logFileLines());
            QVERIFY(lines.size() > 1);
            QCOMPARE(lines.first(), QStringLiteral("Starting app <date>"));
            // After the start line, passing runs back to back, the last one
            // cut between two lines.
            for (int i = 1; i < lines.size(); ++i) {
                const int run = (i - 1) / 11 + 1;
                const QString expected = passingRunLog(run)[(i - 1) % 11];
                QCOMPARE(lines[i], expected);
            }
        }
    }

#ifndef Q_OS_WIN // Windows ends a window program's session through its window
    // A kill, Ctrl-C or logout closes the station as its window would.
    void terminationSignalClosesTheStation_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void terminationSignalClosesTheStation()
    {
        QFETCH(int, signal);
        QProcess process;
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), QStringList());
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(LogName).size() > 0, 30000);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(withoutDates(logFileLines()).mid(0, 2),
                 (QStringList { QStringLiteral("Starting app <date>"),
                                QStringLiteral("Closing app <date>") }));
    }

    // A signal while start-up processes events, before the loop runs: the
    // program learns of it and does not start a loop nobody would end.
    void signalBeforeTheEventLoopIsKept()
    {
        quitOnTerminationSignals();
        QVERIFY(!terminationRequested());
        ::raise(SIGTERM);
        QTRY_VERIFY(terminationRequested());
    }
#endif

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestLogDurability)
#include "tst_logdurability.moc"
