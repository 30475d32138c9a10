#include "device/backendchoice.h"

#include "device/d2xx/d2xxdevicelibrary.h"
#include "log/debugtrace.h"

#include <QWidget>

#ifdef Q_OS_WIN
#include "device/d2xx/devicechange.h"
#endif
#ifdef ZELOR_WITH_LIBFTDI
#include "device/ftdi/ftdidevicelibrary.h"
#include "device/ftdi/usbhotplug.h"

#include <libftdi1/ftdi.h>
#endif

namespace {

// A library this build does not have: it finds nothing and says so.
class MissingDeviceLibrary : public DeviceLibrary {
public:
    explicit MissingDeviceLibrary(const QString &why) : why(why) { DebugTrace() << why; }
    QString problem() const override { return why; }
    DeviceStatus createDeviceInfoList(quint32 *) override { return Failed; }
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *, quint32, quint32 *) override
    {
        return Failed;
    }
    DeviceStatus open(const char *, quint32, DeviceHandle *) override { return Failed; }
    DeviceStatus setBaudRate(DeviceHandle, quint32) override { return Failed; }
    DeviceStatus setDataCharacteristics(DeviceHandle, quint8, quint8, quint8) override
    {
        return Failed;
    }
    DeviceStatus setTimeouts(DeviceHandle, quint32, quint32) override { return Failed; }
    DeviceStatus eepromRead(DeviceHandle, EepromData *) override { return Failed; }
    DeviceStatus eepromProgram(DeviceHandle, EepromData *) override { return Failed; }
    DeviceStatus write(DeviceHandle, const void *, quint32, quint32 *) override { return Failed; }
    DeviceStatus read(DeviceHandle, void *, quint32, quint32 *) override { return Failed; }
    DeviceStatus close(DeviceHandle) override { return Failed; }

private:
    static constexpr DeviceStatus Failed = DeviceStatusCode::DeviceNotFound;
    QString why;
};

ChosenBackend d2xxBackend(const QString &fileName)
{
    auto library = std::make_unique<D2xxDeviceLibrary>(fileName);
    const QString name = library->name();
    ChosenBackend chosen { std::move(library), name };
#ifdef Q_OS_WIN
    chosen.watchArrivals
        = [](QWidget &window) -> ArrivalNotices * { return DeviceChangeNotices::start(window); };
#endif
    return chosen;
}

ChosenBackend libftdi()
{
#ifdef ZELOR_WITH_LIBFTDI
    ChosenBackend chosen { std::make_unique<FtdiDeviceLibrary>(),
                           QStringLiteral("libftdi1 ")
                               + QString::fromLatin1(ftdi_get_library_version().version_str) };
    chosen.watchArrivals
        = [](QWidget &window) -> ArrivalNotices * { return UsbHotplug::start(&window); };
    return chosen;
#else
    return { std::make_unique<MissingDeviceLibrary>(QStringLiteral(
                 "This build of the station has no libftdi1 backend: unset ZELOR_DEVICE_LIBRARY "
                 "or set it to d2xx.")),
             QStringLiteral("libftdi1 (not in this build)") };
#endif
}

} // namespace

ChosenBackend chooseBackend(const QString &choice)
{
    if (choice == QLatin1String("libftdi1"))
        return libftdi();
    if (choice == QLatin1String("d2xx"))
        return d2xxBackend(D2xxDeviceLibrary::platformLibrary());
    if (!choice.isEmpty())
        return d2xxBackend(choice);
#ifdef Q_OS_WIN
    return d2xxBackend(D2xxDeviceLibrary::platformLibrary());
#else
    return libftdi();
#endif
}
