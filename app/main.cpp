#include "app/mw.h"
#include "device/simulateddevicelibrary.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Until the station has a backend for real chips it runs on a simulated
    // cross-wired pair.
    SimulatedDeviceLibrary library(SimScenario::passingPair());
    int exitCode;
    {
        MW window(library);
        window.show();
        exitCode = application.exec();
    }
    return exitCode;
}
