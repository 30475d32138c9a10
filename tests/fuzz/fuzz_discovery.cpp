// Discovery, opening and closing fed by a library that returns fuzzed
// counts, statuses and record bytes.

#include "app/mw.h"
#include "app/mwform.h"
#include "fuzzstation.h"

#include <QTextEdit>

namespace {

class FuzzedLibrary : public DeviceLibrary {
public:
    FuzzInput *input = nullptr;

    DeviceStatus createDeviceInfoList(quint32 *count) override
    {
        const auto mode = input->take<quint8>();
        if (mode & 1)
            *count = (mode & 2) ? input->take<quint32>() : input->take<quint8>() % 8;
        return (mode & 4) ? input->take<quint8>() : 0;
    }
    DeviceStatus getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                   quint32 *count) override
    {
        quint32 written = 0;
        while (written < capacity && input->remaining() > 0 && input->take<quint8>() & 1)
            input->takeBytes(&list[written++], sizeof(DeviceInfoRecord));
        const auto mode = input->take<quint8>();
        *count = (mode & 1) ? input->take<quint32>() : written;
        return (mode & 2) ? input->take<quint8>() : 0;
    }
    DeviceStatus open(const char *serial, quint32, DeviceHandle *handle) override
    {
        // A serial number fills at most its 16-byte field.
        FUZZ_REQUIRE(std::strlen(serial) <= 16);
        *handle = reinterpret_cast<DeviceHandle>(quintptr(0x1000 + ++opened));
        return input->take<quint8>() % 3 == 0;
    }
    DeviceStatus setBaudRate(DeviceHandle, quint32) override { return status(); }
    DeviceStatus setDataCharacteristics(DeviceHandle, quint8, quint8, quint8) override
    {
        return status();
    }
    DeviceStatus setTimeouts(DeviceHandle, quint32, quint32) override { return status(); }
    DeviceStatus eepromRead(DeviceHandle, EepromData *) override { return 1; }
    DeviceStatus eepromProgram(DeviceHandle, EepromData *) override { return 1; }
    DeviceStatus write(DeviceHandle, const void *, quint32, quint32 *) override { return 1; }
    DeviceStatus read(DeviceHandle, void *, quint32, quint32 *) override { return 1; }
    DeviceStatus close(DeviceHandle) override { return status(); }

private:
    DeviceStatus status() { return input->take<quint8>() % 5 == 0; }
    quint32 opened = 0;
};

FuzzedLibrary *library;
MW *window;

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c != QLatin1Char('\n') && (c.unicode() < 0x20 || c.unicode() == 0x7F);
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startHeadlessApplication();
    library = new FuzzedLibrary;
    window = new MW(*library);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    library->input = &input;
    const QString result = window->findDevices();
    const QString view
        = window->findChild<QTextEdit *>(QStringLiteral("devicesconnected"))->toPlainText();
    // A device can never add a line of its own to what the station shows.
    FUZZ_REQUIRE(!hasControlCharacters(result));
    FUZZ_REQUIRE(!hasControlCharacters(view));
    window->openDevices();
    window->closeDevices();
    return 0;
}
