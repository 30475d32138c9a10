#include "device/displaytext.h"
#include "log/debugtrace.h"
#include "procedure/failurecodes.h"
#include "procedure/pairsteps.h"
#include "procedure/runrecord.h"

#include <cstring>

namespace {

const char NewDescription[] = "ZELOR-K3"; // with its NUL, 9 bytes

// The caller's side of one EEPROM read and program: the record and the
// four string buffers it points to.
struct EepromRecord {
    char manufacturer[EepromManufacturerSize] = {};
    char manufacturerId[EepromManufacturerIdSize] = {};
    char description[EepromDescriptionSize] = {};
    char serialNumber[EepromSerialNumberSize] = {};
    EepromData data {};

    EepromRecord()
    {
        data.signature1 = EepromSignature1;
        data.signature2 = EepromSignature2;
        data.version = EepromDataVersion;
        pointAtBuffers();
    }
    EepromRecord(const EepromRecord &) = delete;
    EepromRecord &operator=(const EepromRecord &) = delete;

    void pointAtBuffers()
    {
        data.manufacturer = manufacturer;
        data.manufacturerId = manufacturerId;
        data.description = description;
        data.serialNumber = serialNumber;
    }

    // A library that pointed the strings elsewhere during the read may have
    // left them anywhere: such a read is not trusted, and the pointers it
    // left are never followed.
    bool pointersKept() const
    {
        return data.manufacturer == manufacturer && data.manufacturerId == manufacturerId
            && data.description == description && data.serialNumber == serialNumber;
    }

    // A string that fills its buffer without a terminator cannot be written
    // back unchanged, so such a record is not fit to be programmed.
    bool stringsTerminated() const
    {
        return std::memchr(manufacturer, '\0', sizeof manufacturer)
            && std::memchr(manufacturerId, '\0', sizeof manufacturerId)
            && std::memchr(description, '\0', sizeof description)
            && std::memchr(serialNumber, '\0', sizeof serialNumber);
    }
};

} // namespace

QString PairSteps::programDescription(DeviceHandle handle)
{
    EepromRecord eeprom;
    if (library.eepromRead(handle, &eeprom.data) != DeviceStatusCode::Ok || !eeprom.pointersKept()
        || !eeprom.stringsTerminated()) {
        recordFailure(FailureCode::EepromReadFailed);
        return QStringLiteral("FT_EE_Read FAILED!");
    }
    const QString description = latin1Field(eeprom.description, sizeof eeprom.description);
    DebugTrace() << displayText(description);
    if (record)
        record->descriptionRead(handle, description);

    std::memcpy(eeprom.description, NewDescription, sizeof NewDescription);
    DebugTrace() << "programming";
    const DeviceStatus status = library.eepromProgram(handle, &eeprom.data);
    DebugTrace() << "programmed";
    if (record) {
        record->programmed(handle, status == DeviceStatusCode::Ok);
        const EepromAfterRestore restored = library.eepromAfterRestore(handle);
        if (status != DeviceStatusCode::Ok && restored != EepromAfterRestore::NoRestore)
            record->eepromAfterRestore(handle, restored);
    }
    if (status != DeviceStatusCode::Ok) {
        recordFailure(FailureCode::EepromProgramFailed);
        logMessage(QStringLiteral("Programming of description FAILED"));
        return QStringLiteral("Programming of description FAILED");
    }
    return QStringLiteral("OK");
}
