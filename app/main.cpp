#include "app/mw.h"
#include "app/quitonsignal.h"
#include "device/ftdi/ftdidevicelibrary.h"
#include "procedure/runrecord.h"

#include <libftdi1/ftdi.h>

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    quitOnTerminationSignals();
    RunRecord::setBackend(QStringLiteral("libftdi1 ")
                          + QString::fromLatin1(ftdi_get_library_version().version_str));
    FtdiDeviceLibrary library;
    int exitCode;
    {
        MW window(library);
        window.show();
        exitCode = terminationRequested() ? 0 : application.exec();
    }
    return exitCode;
}
