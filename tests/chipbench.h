#pragma once

// The emulated FT232R bench under either real-chip backend: the FT232R
// emulator behind a fake libusb-1.0 for libftdi1, the D2XX double for D2XX.
// Both take the same bench file and answer the same questions, so a test or
// a benchmark runs the same rows through both.

#include "d2xxdouble/d2xxdouble.h"
#include "device/d2xx/d2xxdevicelibrary.h"
#include "device/ftdi/ftdidevicelibrary.h"
#include "ft232remulator.h"

#include <QLibrary>
#include <QtGlobal>

#include <memory>

enum class Backend { Libftdi, D2xx };

struct ChipBench {
    Backend backend;
    const char *name;
    int (*load)(const char *json);
    const char *(*error)();
    int (*eeprom)(const char *name, unsigned char image[128]);
    int (*line)(const char *name, int *baud, int *bits, int *stopBits, int *parity);
    int (*latency)(const char *name);
    int (*settings)(const char *name, int *flowControl, int *eventChar, int *errorChar,
                    int *eepromWriteLatency);
    int (*counters)(const char *name, int *controlTransfers, int *wordsRead, int *wordsWritten);
    int (*openHandles)();
    void (*unplug)(const char *name);
    void (*plug)(const char *name);
    // What the bench's unplug fault `unplugAfter` counts: control transfers
    // under libftdi1, D2XX calls under D2XX.
    int (*calls)(const char *name);
    const char *unplugAfter;

    // The D2XX double, from ZELOR_D2XX_DOUBLE.
    static QString doublePath() { return qEnvironmentVariable("ZELOR_D2XX_DOUBLE"); }

    static const ChipBench &of(Backend backend)
    {
        static const ChipBench emulator = { Backend::Libftdi,         "libftdi1",
                                            ft232r_emulator_load,     ft232r_emulator_error,
                                            ft232r_emulator_eeprom,   ft232r_emulator_line,
                                            ft232r_emulator_latency,  ft232r_emulator_settings,
                                            ft232r_emulator_counters, ft232r_emulator_open_handles,
                                            ft232r_emulator_unplug,   ft232r_emulator_plug,
                                            controlTransfers,         "unplugAfterControl" };
        return backend == Backend::Libftdi ? emulator : d2xxDouble();
    }

    std::unique_ptr<DeviceLibrary> library() const
    {
        if (backend == Backend::Libftdi)
            return std::make_unique<FtdiDeviceLibrary>();
        return std::make_unique<D2xxDeviceLibrary>(doublePath());
    }

private:
    static int controlTransfers(const char *name)
    {
        int control = 0, read = 0, written = 0;
        ft232r_emulator_counters(name, &control, &read, &written);
        return control;
    }

    template<typename F> static F resolved(QLibrary &library, const char *symbol)
    {
        auto function = reinterpret_cast<F>(library.resolve(symbol));
        if (!function)
            qFatal("the D2XX double %s lacks %s", qPrintable(library.fileName()), symbol);
        return function;
    }

    static const ChipBench &d2xxDouble()
    {
        static QLibrary library(doublePath());
        static const ChipBench bench
            = { Backend::D2xx,
                "D2XX",
                resolved<decltype(&d2xx_double_load)>(library, "d2xx_double_load"),
                resolved<decltype(&d2xx_double_error)>(library, "d2xx_double_error"),
                resolved<decltype(&d2xx_double_eeprom)>(library, "d2xx_double_eeprom"),
                resolved<decltype(&d2xx_double_line)>(library, "d2xx_double_line"),
                resolved<decltype(&d2xx_double_latency)>(library, "d2xx_double_latency"),
                resolved<decltype(&d2xx_double_settings)>(library, "d2xx_double_settings"),
                resolved<decltype(&d2xx_double_counters)>(library, "d2xx_double_counters"),
                resolved<decltype(&d2xx_double_open_handles)>(library, "d2xx_double_open_handles"),
                resolved<decltype(&d2xx_double_unplug)>(library, "d2xx_double_unplug"),
                resolved<decltype(&d2xx_double_plug)>(library, "d2xx_double_plug"),
                resolved<decltype(&d2xx_double_calls)>(library, "d2xx_double_calls"),
                "unplugAfterCall" };
        return bench;
    }
};
