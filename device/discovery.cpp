#include "app/mw.h"
#include "app/mwform.h"
#include "device/devicelist.h"
#include "device/displaytext.h"
#include "log/debugtrace.h"
#include "procedure/failurecodes.h"

#include <QTextEdit>

#include <algorithm>
#include <vector>

namespace {

// More records than any USB host can attach; bounds the buffer when a
// library reports a nonsensical count.
constexpr quint32 MaxListedDevices = 1024;

} // namespace

std::vector<DeviceInfoRecord> listDevices(DeviceLibrary &library)
{
    quint32 count = 0;
    if (library.createDeviceInfoList(&count) != DeviceStatusCode::Ok)
        count = 0;
    const quint32 capacity = std::min(count, MaxListedDevices);
    std::vector<DeviceInfoRecord> records(capacity, DeviceInfoRecord {});
    quint32 listed = capacity;
    if (library.getDeviceInfoList(records.data(), capacity, &listed) != DeviceStatusCode::Ok)
        listed = 0;
    records.resize(std::min(listed, capacity));
    return records;
}

namespace {

QString serialOf(const DeviceInfoRecord &record)
{
    return latin1Field(record.serialNumber, sizeof record.serialNumber);
}

} // namespace

QString listingLine(const DeviceInfoRecord &record)
{
    const QString description = latin1Field(record.description, sizeof record.description);
    return QStringLiteral("Connected ") + displayText(description) + QStringLiteral(" serial ")
        + displayText(serialOf(record)) + QStringLiteral(" \n");
}

QString MW::findDevices()
{
    serialList.clear();
    const std::vector<DeviceInfoRecord> records = listDevices(library);
    const auto ft232rCount = std::count_if(records.begin(), records.end(), isFt232r);

    QString result;
    if (ft232rCount == 0) {
        recordFailure(FailureCode::NoFt232rDevice);
        result = QStringLiteral("No FT232R or FT245R devices found.");
        form->devicesconnected->setPlainText(result);
    } else if (ft232rCount == 2) {
        QString listing;
        for (const DeviceInfoRecord &record : records) {
            DebugTrace() << qint64(record.deviceId);
            // Only the chips under test go on to be opened and programmed;
            // a bystander of another type is listed but left alone.
            if (isFt232r(record))
                serialList.append(serialOf(record));
            listing += listingLine(record);
        }
        form->devicesconnected->setPlainText(listing);
        result = QStringLiteral("OK ") + listing;
    } else {
        recordFailure(FailureCode::DeviceCountNotTwo);
        form->devicesconnected->setPlainText(
            QString::number(ft232rCount)
            + QStringLiteral(" devices connected. Exactly 2 required."));
        result = QStringLiteral("Connected device count not 2. Found ")
            + QString::number(ft232rCount) + QStringLiteral(" devices!");
    }
    // The operator looks here first when no chip shows.
    const QString problem = library.problem();
    if (!problem.isEmpty())
        form->devicesconnected->append(problem);
    return result;
}
