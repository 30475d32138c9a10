// The EEPROM description step fed by a library that fills the record with
// fuzzed contents: whatever it reads, the station writes back exactly what it
// read but the description, or writes nothing.

#include "app/mw.h"
#include "fuzzstation.h"

#include <array>

namespace {

struct ReadBack {
    EepromData record;
    std::array<QByteArray, 4> strings; // as the station must hand them back
    std::array<char *, 4> buffers;
};

class FuzzedEepromLibrary : public DeviceLibrary {
public:
    FuzzInput *input = nullptr;
    ReadBack lastRead {};
    bool programmed = false;

    DeviceStatus eepromRead(DeviceHandle, EepromData *data) override
    {
        FUZZ_REQUIRE(data->signature1 == EepromSignature1 && data->signature2 == EepromSignature2
                     && data->version == EepromDataVersion);
        lastRead.buffers
            = { data->manufacturer, data->manufacturerId, data->description, data->serialNumber };
        const int sizes[] = { EepromManufacturerSize, EepromManufacturerIdSize,
                              EepromDescriptionSize, EepromSerialNumberSize };
        for (int i = 0; i < 4; ++i) {
            const int length = input->take<quint8>() % (sizes[i] + 1); // may fill the buffer
            input->takeBytes(lastRead.buffers[i], size_t(length));
            if (length < sizes[i])
                lastRead.buffers[i][length] = '\0';
            lastRead.strings[i]
                = QByteArray(lastRead.buffers[i], int(qstrnlen(lastRead.buffers[i], sizes[i])));
        }
        // Scribble over the whole record, now and then over its pointers too.
        const EepromData given = *data;
        input->takeBytes(data, sizeof *data);
        if (input->take<quint8>() % 8 != 0)
            std::memcpy(&data->manufacturer, &given.manufacturer, 4 * sizeof(char *));
        lastRead.record = *data;
        return input->take<quint8>() % 4 == 0 ? 0 : 1;
    }

    DeviceStatus eepromProgram(DeviceHandle, EepromData *data) override
    {
        programmed = true;
        const std::array<char *, 4> pointers
            = { data->manufacturer, data->manufacturerId, data->description, data->serialNumber };
        FUZZ_REQUIRE(pointers == lastRead.buffers);
        FUZZ_REQUIRE(QByteArray(data->description) == "ZELOR-K3");
        for (int i : { 0, 1, 3 })
            FUZZ_REQUIRE(QByteArray(pointers[i]) == lastRead.strings[i]);
        // Every other field goes back exactly as read.
        EepromData expected = lastRead.record;
        std::memcpy(&expected.manufacturer, &data->manufacturer, 4 * sizeof(char *));
        FUZZ_REQUIRE(std::memcmp(&expected, data, sizeof expected) == 0);
        return input->take<quint8>() & 1;
    }

    DeviceStatus createDeviceInfoList(quint32 *count) override
    {
        *count = 0;
        return 0;
    }
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *, quint32, quint32 *count) override
    {
        *count = 0;
        return 0;
    }
    DeviceStatus open(const char *, quint32, DeviceHandle *) override { return 1; }
    DeviceStatus setBaudRate(DeviceHandle, quint32) override { return 1; }
    DeviceStatus setDataCharacteristics(DeviceHandle, quint8, quint8, quint8) override { return 1; }
    DeviceStatus setTimeouts(DeviceHandle, quint32, quint32) override { return 1; }
    DeviceStatus write(DeviceHandle, const void *, quint32, quint32 *) override { return 1; }
    DeviceStatus read(DeviceHandle, void *, quint32, quint32 *) override { return 1; }
    DeviceStatus close(DeviceHandle) override { return 1; }
};

FuzzedEepromLibrary *library;
MW *window;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startHeadlessApplication();
    library = new FuzzedEepromLibrary;
    window = new MW(*library);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    library->input = &input;
    library->programmed = false;
    const QString result = window->programDescription(reinterpret_cast<DeviceHandle>(0x1000));
    if (result == QLatin1String("FT_EE_Read FAILED!"))
        FUZZ_REQUIRE(!library->programmed);
    else
        FUZZ_REQUIRE(library->programmed);
    return 0;
}
