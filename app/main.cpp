#include "app/dllsearch.h"
#include "app/mw.h"
#include "app/pluginstart.h"
#include "app/quitonsignal.h"
#include "device/backendchoice.h"
#include "shipping/linestatus.h"
#include "procedure/runrecord.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    restrictDllSearch();
    QApplication application(argc, argv);
    quitOnTerminationSignals();
    const ChosenBackend backend = chooseBackend(qEnvironmentVariable("ZELOR_DEVICE_LIBRARY"));
    RunRecord::setBackend(backend.name);
    int exitCode;
    {
        MW window(*backend.library);
        const auto shipping = shipRecords(window, LineConfig::load());
        if (PlugInStart::configured())
            new PlugInStart(window, *backend.library); // the window's

        // Windows ends a session by ending the process right after this signal.
        QObject::connect(&application, &QCoreApplication::aboutToQuit, &window,
                         [&window] { window.logClosing(); });
        window.show();
        exitCode = terminationRequested() ? 0 : application.exec();
    }
    return exitCode;
}
