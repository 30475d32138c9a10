// Where the station's time goes, against the limit the serial line sets:
// at 1,000,000 baud and 10 bits a byte, 2 x 6400 bytes take 128 ms.
//
// Google Benchmark times the repeated measurements (it chooses the number of
// iterations and reports mean times); the start-up comparison runs child
// processes of this program. One table sums it all up.

#include "app/mw.h"
#include "app/mwform.h"
#include "device/sim/simulateddevicelibrary.h"
#include "tests/stationprobe.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

namespace {

constexpr double PhysicalLimitMs = 128.0;

// Run-time figures gathered by the benchmarks, for the table.
std::map<std::string, double> &figures()
{
    static std::map<std::string, double> values;
    return values;
}

// The station as the operator has it: a shown window whose refresh timer
// runs. Each benchmark builds its own, on its own bench.
struct Station {
    SimulatedDeviceLibrary library;
    MW window;
    QPushButton *button;

    explicit Station(const SimScenario &scenario) : library(scenario), window(library)
    {
        window.show();
        button = window.findChild<QPushButton *>(QStringLiteral("startTest"));
        QCoreApplication::processEvents();
    }
};

void BM_RunVirtualClock(benchmark::State &state)
{
    Station station(SimScenario::passingPair());
    for (auto _ : state)
        station.button->click();
    state.SetLabel("whole passing run, virtual clock");
}
BENCHMARK(BM_RunVirtualClock)->Unit(benchmark::kMillisecond);

// The parts of a passing run: its 11 log lines (with their event
// processing), and the device steps called directly.
void BM_RunLogLines(benchmark::State &state)
{
    Station station(SimScenario::passingPair());
    QTextEdit *log = station.window.findChild<QTextEdit *>(QStringLiteral("log"));
    for (auto _ : state) {
        log->clear();
        for (int i = 0; i < 11; ++i)
            station.window.logMessage(QStringLiteral("Programming devices... OK"));
    }
}
BENCHMARK(BM_RunLogLines)->Unit(benchmark::kMillisecond);

void BM_RunEventProcessing(benchmark::State &state)
{
    Station station(SimScenario::passingPair());
    for (auto _ : state) {
        for (int i = 0; i < 11; ++i)
            QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_RunEventProcessing)->Unit(benchmark::kMillisecond);

void BM_RunDeviceSteps(benchmark::State &state)
{
    // Discovery, EEPROM and transfer steps log nothing when they pass; the
    // open and close steps' lines are counted with the log lines above.
    Station station(SimScenario::passingPair());
    StationProbe probe(station.window);
    station.window.findDevices();
    station.window.openDevices();
    for (auto _ : state) {
        station.window.findDevices();
        for (DeviceHandle handle : probe.handleList())
            station.window.programDescription(handle);
        station.window.testTransfer(0, 1);
        station.window.testTransfer(1, 0);
    }
    station.window.closeDevices();
}
BENCHMARK(BM_RunDeviceSteps)->Unit(benchmark::kMillisecond);

void BM_RunRealTime(benchmark::State &state)
{
    SimScenario scenario = SimScenario::passingPair();
    scenario.realTime = true;
    Station station(scenario);
    for (auto _ : state)
        station.button->click();
}
BENCHMARK(BM_RunRealTime)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_FindDevices(benchmark::State &state)
{
    SimScenario scenario;
    for (int i = 0; i < state.range(0); ++i)
        scenario.devices.append(SimDeviceSpec::withSerial("FT" + QByteArray::number(1000 + i)));
    Station station(scenario);
    for (auto _ : state)
        benchmark::DoNotOptimize(station.window.findDevices());
}
BENCHMARK(BM_FindDevices)->Arg(2)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

void BM_LogMessage(benchmark::State &state)
{
    Station station(SimScenario {});
    {
        QFile file(QStringLiteral("TestingLog.txt"));
        file.open(QIODevice::ReadWrite);
        file.resize(state.range(0) * 1024 * 1024);
    }
    QTextEdit *log = station.window.findChild<QTextEdit *>(QStringLiteral("log"));
    int lines = 0;
    for (auto _ : state) {
        station.window.logMessage(QStringLiteral("Testing device TX/RX... OK"));
        if (++lines % 50 == 0) { // a run's worth of lines, then the view is cleared
            state.PauseTiming();
            log->clear();
            state.ResumeTiming();
        }
    }
    state.SetLabel(std::to_string(state.range(0)) + " MB log file");
    QFile::remove(QStringLiteral("TestingLog.txt"));
}
BENCHMARK(BM_LogMessage)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

// The longest the event loop is kept from a 1 ms timer while the window idles
// with its refresh running, over five seconds.
void BM_IdleStall(benchmark::State &state)
{
    Station station(SimScenario::passingPair());
    for (auto _ : state) {
        QElapsedTimer clock;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        qint64 last = 0, worst = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            worst = std::max(worst, now - last - 1000000);
            last = now;
        });
        clock.start();
        ticker.start(1);
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        figures()["idle stall"] = double(worst) / 1e6;
        state.counters["worst_lateness_ms"] = double(worst) / 1e6;
    }
}
BENCHMARK(BM_IdleStall)->Iterations(1)->Unit(benchmark::kMillisecond);

// Collects the mean time per iteration of every benchmark, in milliseconds.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const double seconds
                = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            std::string name = run.benchmark_name();
            name = name.substr(0, name.find("/iterations:"));
            figures()[name] = seconds * 1e3;
        }
    }
};

// --- start-up: child processes ---------------------------------------------

long peakResidentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Shows the window, and at its first paint prints the peak memory and quits.
int startupChild(int argc, char **argv, const QByteArray &which)
{
    QApplication application(argc, argv);
    std::unique_ptr<SimulatedDeviceLibrary> library;
    std::unique_ptr<QMainWindow> window;
    if (which == "station") {
        library = std::make_unique<SimulatedDeviceLibrary>(SimScenario {});
        window = std::make_unique<MW>(*library);
    } else {
        window = std::make_unique<QMainWindow>();
        window->resize(466, 537);
        if (which == "text") // a window with text has to load the fonts too
            window->setCentralWidget(new QLabel(QStringLiteral("Log")));
    }
    struct FirstPaint : QObject {
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint && !seen) {
                seen = true;
                QTimer::singleShot(0, [] {
                    std::printf("painted %ld\n", peakResidentKb());
                    std::fflush(stdout);
                    QCoreApplication::quit();
                });
            }
            return false;
        }
        bool seen = false;
    } filter;
    window->installEventFilter(&filter);
    window->show();
    return application.exec();
}

struct Startup {
    double ms;
    double peakKb;
};

Startup measureStartup(const QString &which)
{
    std::vector<double> times, memory;
    for (int i = 0; i < 11; ++i) {
        QProcess child;
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(),
                    { QStringLiteral("--startup"), which });
        child.waitForReadyRead(10000);
        const double elapsed = double(clock.nsecsElapsed()) / 1e6;
        const QByteArray line = child.readAll().trimmed();
        child.waitForFinished(10000);
        if (!line.startsWith("painted "))
            continue;
        times.push_back(elapsed);
        memory.push_back(line.mid(8).toDouble());
    }
    if (times.empty())
        return { -1, -1 };
    std::sort(times.begin(), times.end());
    std::sort(memory.begin(), memory.end());
    return { times[times.size() / 2], memory[memory.size() / 2] };
}

void printTable(const Startup &station, const Startup &bare, const Startup &text)
{
    auto f = [](const char *name) {
        const auto it = figures().find(name);
        return it == figures().end() ? -1.0 : it->second;
    };
    const double run = f("BM_RunVirtualClock");
    const double logLines = f("BM_RunLogLines");
    const double events = f("BM_RunEventProcessing");
    const double steps = f("BM_RunDeviceSteps");
    std::printf("\n%-52s %12s %14s %8s  %s\n", "figure", "measured", "limit/baseline", "ratio",
                "target");
    auto row
        = [](const char *name, double value, const char *unit, double against, const char *target) {
              std::printf("%-52s %9.3f %-2s %11.3f %-2s %7.3f  %s\n", name, value, unit, against,
                          unit, against > 0 ? value / against : 0.0, target);
          };
    row("run, virtual clock (station's own overhead)", run, "ms", PhysicalLimitMs,
        "< 0.010 (1.3 ms)");
    row("  of which 11 log lines: file, view, repaint", logLines - events, "ms", run, "share");
    row("  of which event processing when idle (11 passes)", events, "ms", run, "share");
    row("  of which device steps and traces, no log lines", steps, "ms", run, "share");
    row("  of which the rest: banner, button, view clearing", run - logLines - steps, "ms", run,
        "share");
    row("run, real time", f("BM_RunRealTime"), "ms", PhysicalLimitMs, "< 1.05");
    row("findDevices, 2 devices", f("BM_FindDevices/2") * 1e3, "us", 100, "");
    row("findDevices, 8 devices", f("BM_FindDevices/8") * 1e3, "us", 100, "");
    row("findDevices, 32 devices", f("BM_FindDevices/32") * 1e3, "us", 100, "< 1 (0.1 ms)");
    row("longest idle event-loop stall", f("idle stall"), "ms", 5, "< 1 (5 ms)");
    const double log1 = f("BM_LogMessage/1") * 1e3;
    row("logMessage, 1 MB log file", log1, "us", log1, "");
    row("logMessage, 100 MB log file", f("BM_LogMessage/100") * 1e3, "us", log1,
        "about 1 (no growth)");
    row("start-up to first paint vs bare QMainWindow", station.ms, "ms", bare.ms, "< 1.2");
    row("peak resident memory vs bare QMainWindow", station.peakKb / 1024, "MB", bare.peakKb / 1024,
        "< 1.2");
    row("start-up vs QMainWindow with one text label", station.ms, "ms", text.ms, "(fonts loaded)");
    row("peak memory vs QMainWindow with one text label", station.peakKb / 1024, "MB",
        text.peakKb / 1024, "(fonts loaded)");
}

void dropTraces(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        qt_message_output(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    if (argc == 3 && QByteArray(argv[1]) == "--startup")
        return startupChild(argc, argv, argv[2]);

    QApplication application(argc, argv);
    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    // Debug traces go to stderr as in the station; they are part of its cost,
    // but would bury this program's table.
    if (qEnvironmentVariableIsSet("ZELOR_BENCH_QUIET_TRACES"))
        qInstallMessageHandler(dropTraces);

    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const Startup station = measureStartup(QStringLiteral("station"));
    const Startup bare = measureStartup(QStringLiteral("bare"));
    const Startup text = measureStartup(QStringLiteral("text"));
    printTable(station, bare, text);
    return 0;
}
