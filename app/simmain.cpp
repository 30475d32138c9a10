// The station on a simulated bench, for demos, training and end-to-end
// tests. Options: --scenario FILE, --runs N, --dump-eeprom FILE.

#include "app/dllsearch.h"
#include "app/mw.h"
#include "app/pluginstart.h"
#include "app/quitonsignal.h"
#include "device/sim/simulateddevicelibrary.h"
#include "device/sim/simulationscenario.h"
#include "procedure/runrecord.h"
#include "shipping/linestatus.h"
#include "sockets/fixturestation.h"
#include "sockets/socketsettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int UsageError = 2;
const QString HelpRequested = QStringLiteral("help");

struct Options {
    SimScenario scenario = SimScenario::passingPair();
    int runs = 0; // 0: interactive
    QString dumpPath;
};

int usageError(const QString &message)
{
    std::fprintf(stderr, "zelor-k3-tester-sim: %s\n", qPrintable(message));
    return UsageError;
}

// Returns an empty string on success, else the message for stderr.
QString parseOptions(const QStringList &arguments, Options *options)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption scenario(QStringLiteral("scenario"),
                                      QStringLiteral("The simulated bench, a JSON scenario file."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption runs(QStringLiteral("runs"),
                                  QStringLiteral("Press Start test N times, then quit."),
                                  QStringLiteral("N"));
    const QCommandLineOption dump(QStringLiteral("dump-eeprom"),
                                  QStringLiteral("At exit, write every device's EEPROM as JSON."),
                                  QStringLiteral("FILE"));
    parser.setApplicationDescription(
        QStringLiteral("The ZELOR-K3 Tester on a simulated bench, for demos, training and tests."));
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") },
                                  QStringLiteral("Show these options and quit."));
    parser.addOptions({ help, scenario, runs, dump });
    if (!parser.parse(arguments))
        return parser.errorText();
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QLatin1String("<executable_name>"),
                                                        QLatin1String("zelor-k3-tester-sim"))),
                   stdout);
        return HelpRequested;
    }
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
    if (parser.isSet(runs)) {
        bool ok = false;
        options->runs = parser.value(runs).toInt(&ok);
        if (!ok || options->runs < 1)
            return QStringLiteral("--runs takes a whole number of at least 1, not \"%1\"")
                .arg(parser.value(runs));
    }
    QString error;
    if (parser.isSet(scenario)
        && !loadSimScenario(parser.value(scenario), &options->scenario, &error))
        return error;
    options->dumpPath = parser.value(dump);
    return QString();
}

// Presses Start test `runs` times through the button, each time after the
// previous run has ended, once the first refresh has listed the devices;
// then closes the window.
class RunDriver : public QObject {
public:
    RunDriver(MW &window, int runs) : window(window), remaining(runs)
    {
        connect(&poll, &QTimer::timeout, this, &RunDriver::step);
        poll.start(20);
    }

    bool lastRunPassed() const { return passed; }

private:
    void step()
    {
        auto *devices = window.findChild<QTextEdit *>(QStringLiteral("devicesconnected"));
        if (devices->toPlainText().isEmpty())
            return; // the first refresh has not happened yet
        if (remaining == 0) {
            poll.stop();
            window.close();
            return;
        }
        window.findChild<QPushButton *>(QStringLiteral("startTest"))->click();
        --remaining;
        passed = window.findChild<QLabel *>(QStringLiteral("passed"))->text()
            == QLatin1String("PASSED");
        poll.start(0);
    }

    MW &window;
    int remaining;
    bool passed = false;
    QTimer poll;
};

} // namespace

int main(int argc, char *argv[])
{
    restrictDllSearch();
    // Options first: --help and mistakes need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    Options options;
    const QString error = parseOptions(arguments, &options);
    if (error == HelpRequested)
        return 0;
    if (!error.isEmpty())
        return usageError(error);
    QApplication application(argc, argv);
    quitOnTerminationSignals();
    RunRecord::setBackend(QStringLiteral("simulated bench"));

    SimulatedDeviceLibrary library(options.scenario);
    const SocketSettings sockets = SocketSettings::load();
    int exitCode;
    if (sockets.enabled) {
        exitCode = runFixture(application, library, sockets, options.runs);
    } else {
        MW window(library);
        if (!sockets.problem.isEmpty()) {
            window.logMessage(sockets.problem);
            window.statusBar()->addWidget(new QLabel(sockets.problem));
        }
        const auto shipping = shipRecords(window, LineConfig::load());
        if (PlugInStart::configured())
            new PlugInStart(window, library); // the window's

        // Windows ends a session by ending the process right after this signal.
        QObject::connect(&application, &QCoreApplication::aboutToQuit, &window,
                         [&window] { window.logClosing(); });
        window.show();
        std::unique_ptr<RunDriver> driver;
        if (options.runs > 0)
            driver = std::make_unique<RunDriver>(window, options.runs);
        exitCode = terminationRequested() ? 0 : application.exec();
        if (driver)
            exitCode = driver->lastRunPassed() ? 0 : 1;
    }
    if (!options.dumpPath.isEmpty()) {
        QFile dump(options.dumpPath);
        if (!dump.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || dump.write(dumpSimEeproms(library)) < 0 || !dump.flush()) {
            std::fprintf(stderr, "zelor-k3-tester-sim: cannot write %s\n",
                         qPrintable(options.dumpPath));
            return UsageError;
        }
    }
    return exitCode;
}
