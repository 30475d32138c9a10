// The real-chip station on an emulated FT232R pair, through libftdi1 (the
// FT232R emulator) and through FTDI's D2XX (the D2XX double): what one
// passing run costs on the USB bus, and a soak of many runs in one process
// for memory and file descriptors.
//
// Usage: zelor-emulator-bench [--soak RUNS] [--d2xx]

#include "app/mw.h"
#include "app/mwform.h"
#include "tests/chipbench.h"
#include "tests/stationprobe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include <cstdio>

namespace {

const char *const Chips[] = { "FTGXSYWJ", "FTD4E5F6" };

QByteArray benchJson(double controlUs)
{
    return "{ \"chips\": [ { \"serial\": \"FTGXSYWJ\", \"image\": \"" + factoryImage().toHex()
        + "\" }, { \"serial\": \"FTD4E5F6\" } ], \"links\": [ [ \"FTGXSYWJ\", \"FTD4E5F6\" ] ], "
          "\"controlTransferUs\": "
        + QByteArray::number(controlUs) + " }";
}

long statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int openFileDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

struct Counts {
    int control = 0, wordsRead = 0, wordsWritten = 0, calls = 0;
};

Counts countsOf(const ChipBench &bench, const char *chip)
{
    Counts c;
    bench.counters(chip, &c.control, &c.wordsRead, &c.wordsWritten);
    c.calls = bench.calls(chip);
    return c;
}

const ChipBench &loaded(Backend backend, double controlUs)
{
    const ChipBench &bench = ChipBench::of(backend);
    if (bench.load(benchJson(controlUs).constData()) != 0)
        qFatal("bench: %s", bench.error());
    return bench;
}

// Clicks "Start test" once; true when the run passed.
bool runOnce(MW &window, StationProbe &probe)
{
    window.findDevices();
    probe.form()->startTest->click();
    return probe.form()->passed->text() == QLatin1String("PASSED");
}

void reportOneRun(Backend backend, double controlUs, const char *label)
{
    const ChipBench &bench = loaded(backend, controlUs);
    const auto library = bench.library();
    MW window(*library);
    StationProbe probe(window);
    probe.stopRefresh();
    // The first run changes the description; the second finds it done.
    for (const char *run : { "first", "second" }) {
        const Counts before[2] = { countsOf(bench, Chips[0]), countsOf(bench, Chips[1]) };
        QElapsedTimer clock;
        clock.start();
        const bool passed = runOnce(window, probe);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        for (int i = 0; i < 2; ++i) {
            const Counts after = countsOf(bench, Chips[i]);
            const QByteArray calls = backend == Backend::D2xx
                ? QByteArray::number(after.calls - before[i].calls)
                : QByteArray("-");
            std::printf("| %s | %s | %s | %s | %d | %s | %d | %d | %.0f ms | %s |\n", bench.name,
                        label, run, Chips[i], after.control - before[i].control, calls.constData(),
                        after.wordsRead - before[i].wordsRead,
                        after.wordsWritten - before[i].wordsWritten, ms,
                        passed ? "PASSED" : "FAILED");
        }
    }
}

int soak(Backend backend, int runs)
{
    const auto library = loaded(backend, 0).library();
    MW window(*library);
    StationProbe probe(window);
    probe.stopRefresh();
    int failures = 0;
    long rssAt100 = 0;
    int fdsAt100 = 0;
    QElapsedTimer clock;
    clock.start();
    for (int run = 1; run <= runs; ++run) {
        failures += runOnce(window, probe) ? 0 : 1;
        if (run == std::min(100, runs)) {
            rssAt100 = statusField("VmRSS:");
            fdsAt100 = openFileDescriptors();
        }
    }
    const long rss = statusField("VmRSS:");
    const int fds = openFileDescriptors();
    std::printf("soak: %d runs in %.1f s, %d failed; resident %ld KiB at run 100, %ld KiB at run "
                "%d (%+ld KiB); file descriptors %d and %d\n",
                runs, double(clock.elapsed()) / 1000, failures, rssAt100, rss, runs, rss - rssAt100,
                fdsAt100, fds);
    return failures == 0 && rss - rssAt100 <= 1024 && fds == fdsAt100 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScratchDirectory scratch; // the station's log goes to a scratch folder
    const QStringList arguments = app.arguments();
    const int soakAt = int(arguments.indexOf(QStringLiteral("--soak")));
    if (ChipBench::doublePath().isEmpty())
        qputenv("ZELOR_D2XX_DOUBLE", ZELOR_D2XX_DOUBLE_PATH);
    if (soakAt > 0)
        return soak(arguments.contains(QStringLiteral("--d2xx")) ? Backend::D2xx : Backend::Libftdi,
                    arguments.value(soakAt + 1).toInt());
    std::printf(
        "| backend | control transfer | run | chip | control transfers | D2XX calls | EEPROM "
        "words read | EEPROM words written | whole run | verdict |\n"
        "|---|---|---|---|---|---|---|---|---|---|\n");
    for (Backend backend : { Backend::Libftdi, Backend::D2xx }) {
        reportOneRun(backend, 1000, "1 ms (default)");
        reportOneRun(backend, 125, "0.125 ms");
    }
    return 0;
}
