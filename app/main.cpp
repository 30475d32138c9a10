#include "app/dllsearch.h"
#include "app/mw.h"
#include "app/pluginstart.h"
#include "app/quitonsignal.h"
#include "device/backendchoice.h"
#include "procedure/runrecord.h"
#include "shipping/linestatus.h"
#include "sockets/fixturestation.h"
#include "sockets/socketsettings.h"

#include <QApplication>
#include <QLabel>
#include <QStatusBar>

int main(int argc, char *argv[])
{
    restrictDllSearch();
    QApplication application(argc, argv);
    quitOnTerminationSignals();
    const ChosenBackend backend = chooseBackend(qEnvironmentVariable("ZELOR_DEVICE_LIBRARY"));
    RunRecord::setBackend(backend.name);
    const SocketSettings sockets = SocketSettings::load();
    if (sockets.enabled)
        return runFixture(application, *backend.library, sockets, 0, backend.watchArrivals);
    int exitCode;
    {
        MW window(*backend.library);
        if (!sockets.problem.isEmpty()) {
            window.logMessage(sockets.problem);
            window.statusBar()->addWidget(new QLabel(sockets.problem));
        }
        const auto shipping = shipRecords(window, LineConfig::load());
        if (PlugInStart::configured()) {
            auto *plugIn = new PlugInStart(window, *backend.library); // the window's
            plugIn->listenTo(backend.watchArrivals(window));
        }

        // Windows ends a session by ending the process right after this signal.
        QObject::connect(&application, &QCoreApplication::aboutToQuit, &window,
                         [&window] { window.logClosing(); });
        window.show();
        exitCode = terminationRequested() ? 0 : application.exec();
    }
    return exitCode;
}
