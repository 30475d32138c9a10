#include "device/displaytext.h"
#include "procedure/failurecodes.h"
#include "procedure/pairsteps.h"
#include "procedure/runrecord.h"

namespace {
constexpr quint32 BaudRate = 1000000;
constexpr quint32 ReadTimeoutMs = 500;
constexpr quint32 WriteTimeoutMs = 500;
} // namespace

QString PairSteps::openDevices()
{
    // A refresh inside logMessage may replace serialList, so its size is
    // read again before every pass.
    for (int i = 0; i < serialList.size(); ++i) {
        const QString serial = serialList.at(i);
        const QByteArray serialBytes = serial.toLatin1();
        DeviceHandle handle = nullptr;
        const bool byLocation = locationList.size() == serialList.size();
        // D2XX's convention: the location itself stands in the pointer.
        const char *which = byLocation
            ? reinterpret_cast<const char *>(quintptr(locationList.at(i)))
            : serialBytes.constData();
        if (library.open(which, byLocation ? OpenByLocation : OpenBySerialNumber, &handle)
            != DeviceStatusCode::Ok) {
            testPassed = false;
            logMessage(QStringLiteral("Opening device serial ") + displayText(serial)
                       + QStringLiteral(" FAILED"));
            continue;
        }
        handleList.append(handle);
        if (record)
            record->opened(serial, handle);
        logMessage(QStringLiteral("Opening device serial ") + displayText(serial)
                   + QStringLiteral(" OK"));
        if (!configureDevice(handle))
            return QStringLiteral("FAIL");
    }
    return QStringLiteral("OK");
}

bool PairSteps::configureDevice(DeviceHandle handle)
{
    if (library.setBaudRate(handle, BaudRate) != DeviceStatusCode::Ok) {
        recordFailure(FailureCode::SetBaudRateFailed);
        logMessage(QStringLiteral("Setting device params failed"));
        return false;
    }
    if (library.setDataCharacteristics(handle, WordLength8, StopBits1, ParityNone)
        != DeviceStatusCode::Ok) {
        recordFailure(FailureCode::SetDataCharacteristicsFailed);
        logMessage(QStringLiteral("Setting device params failed"));
        return false;
    }
    if (library.setTimeouts(handle, ReadTimeoutMs, WriteTimeoutMs) != DeviceStatusCode::Ok) {
        recordFailure(FailureCode::SetTimeoutsFailed);
        logMessage(QStringLiteral("Setting device timeout params failed"));
        return false;
    }
    return true;
}

QString PairSteps::closeDevices()
{
    for (int i = 0; i < handleList.size(); ++i) {
        if (library.close(handleList.at(i)) != DeviceStatusCode::Ok) {
            logMessage(QStringLiteral("Error closing device ") + QString::number(i));
            testPassed = false;
        }
    }
    handleList.clear();
    serialList.clear();
    locationList.clear();
    return QStringLiteral("OK");
}
