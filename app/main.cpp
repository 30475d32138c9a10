#include "app/mw.h"
#include "app/quitonsignal.h"
#include "device/ftdi/ftdidevicelibrary.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    quitOnTerminationSignals();
    FtdiDeviceLibrary library;
    int exitCode;
    {
        MW window(library);
        window.show();
        exitCode = application.exec();
    }
    return exitCode;
}
