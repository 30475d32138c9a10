#include "sockets/fixturestation.h"

#include "app/pluginstart.h"
#include "app/quitonsignal.h"
#include "shipping/linestatus.h"
#include "sockets/fixturewindow.h"
#include "sockets/sockettile.h"

#include <QApplication>
#include <QTimer>

namespace {

// Presses Start test `runs` times once the first probe has shown the
// fixture, each time after every socket has ended; then closes the window.
class FixtureDriver : public QObject {
public:
    FixtureDriver(FixtureWindow &window, int runs) : window(window), remaining(runs)
    {
        connect(&window, &FixtureWindow::probed, this, &FixtureDriver::next);
        connect(&window, &FixtureWindow::socketEnded, this, &FixtureDriver::next);
    }
    bool allPassed() const { return passed; }

private:
    void next()
    {
        if (!window.idle() || (started == 0 && !firstProbe()))
            return;
        if (started > 0) {
            passed = !window.sockets().isEmpty();
            for (const FixtureSocket &socket : window.sockets()) {
                const SocketTile *tile = window.tile(socket.key);
                passed = passed && tile && tile->stateText() == QLatin1String("PASSED");
            }
        }
        if (remaining == 0) {
            QTimer::singleShot(0, &window, &QWidget::close);
            return;
        }
        --remaining;
        ++started;
        QTimer::singleShot(0, &window, &FixtureWindow::startTest);
    }
    bool firstProbe() { return !std::exchange(probedOnce, true); }

    FixtureWindow &window;
    int remaining;
    int started = 0;
    bool probedOnce = false;
    bool passed = false;
};

} // namespace

int runFixture(QApplication &application, DeviceLibrary &library, const SocketSettings &sockets,
               int runs, const ArrivalWatch &watchArrivals)
{
    FixtureWindow window(library, sockets);
    if (PlugInStart::configured())
        window.armOnPlugIn(watchArrivals ? watchArrivals(window) : nullptr);
    const auto shipping = shipRecords(
        window, [&window](FixtureWindow::RecordSink sink) { window.setRecordSink(sink); },
        LineConfig::load());
    // Windows ends a session by ending the process right after this signal.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &window,
                     [&window] { window.logClosing(); });
    window.show();
    std::unique_ptr<FixtureDriver> driver;
    if (runs > 0)
        driver = std::make_unique<FixtureDriver>(window, runs);
    int exitCode = terminationRequested() ? 0 : application.exec();
    if (driver)
        exitCode = driver->allPassed() ? 0 : 1;
    return exitCode;
}
