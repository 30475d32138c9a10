// The scenario parser, and a bench built from whatever it accepts.

#include "device/sim/simulationscenario.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SimScenario scenario;
    QString error;
    const QByteArray json(reinterpret_cast<const char *>(data), int(size));
    if (!parseSimScenario(json, &scenario, &error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    SimulatedDeviceLibrary library(scenario);
    dumpSimEeproms(library);
    return 0;
}
