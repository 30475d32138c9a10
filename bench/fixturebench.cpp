// Socket mode on emulated fixtures of 1, 2, 4 and 8 pairs, through libftdi1
// (the FT232R emulator) and D2XX (the D2XX double), at 1 ms a control
// transfer: the time from the click to the last verdict, on fresh chips and
// on programmed ones, the probe's own time, and the longest the window's
// event loop went without turning meanwhile.
//
// Usage: zelor-fixture-bench [--d2xx] [--sockets N]

#include "sockets/fixturewindow.h"
#include "tests/chipbench.h"
#include "tests/stationprobe.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

QByteArray fixture(int pairs)
{
    QByteArray chips, links;
    for (int i = 0; i < pairs; ++i) {
        for (int side = 0; side < 2; ++side) {
            const QByteArray name = "S" + QByteArray::number(i) + (side ? "B" : "A");
            chips += QByteArray(chips.isEmpty() ? "" : ",") + "{\"serial\":\"" + name
                + "\",\"ports\":[1," + QByteArray::number(2 * i + side + 1) + "]}";
        }
        links += QByteArray(links.isEmpty() ? "" : ",") + "[\"S" + QByteArray::number(i) + "A\",\"S"
            + QByteArray::number(i) + "B\"]";
    }
    return "{\"chips\":[" + chips + "],\"links\":[" + links + "],\"controlTransferUs\":1000}";
}

// The longest gap between two turns of the event loop while it lives.
class StallMeter {
public:
    StallMeter()
    {
        QObject::connect(&timer, &QTimer::timeout,
                         [this] { longest = std::max(longest, since.restart()); });
        since.start();
        timer.start(1);
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer timer;
    QElapsedTimer since;
    qint64 longest = 0;
};

qint64 waitIdle(FixtureWindow &window)
{
    QElapsedTimer clock;
    clock.start();
    while (!window.idle())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return clock.elapsed();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const bool d2xx = arguments.contains(QStringLiteral("--d2xx"));
    if (d2xx && ChipBench::doublePath().isEmpty())
        qputenv("ZELOR_D2XX_DOUBLE", ZELOR_D2XX_DOUBLE_PATH);
    const int only = arguments.indexOf(QStringLiteral("--sockets"));
    const ChipBench &chips = ChipBench::of(d2xx ? Backend::D2xx : Backend::Libftdi);
    std::printf("%s: sockets, probe ms, first run ms, programmed run ms, longest stall ms\n",
                chips.name);
    for (int pairs : { 1, 2, 4, 8 }) {
        if (only >= 0 && arguments.value(only + 1).toInt() != pairs)
            continue;
        ScratchDirectory scratch;
        if (chips.load(fixture(pairs).constData()) != 0) {
            std::fprintf(stderr, "%s\n", chips.error());
            return 1;
        }
        const auto library = chips.library();
        FixtureWindow window(*library, SocketSettings {});
        const qint64 probeMs = waitIdle(window);
        StallMeter stalls;
        window.startTest();
        const qint64 firstMs = waitIdle(window);
        window.startTest();
        const qint64 programmedMs = waitIdle(window);
        std::printf("%d, %lld, %lld, %lld, %lld\n", pairs, qint64(probeMs), qint64(firstMs),
                    qint64(programmedMs), qint64(stalls.longestMs()));
        std::fflush(stdout);
    }
    return 0;
}
