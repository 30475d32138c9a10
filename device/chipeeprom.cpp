#include "device/chipeeprom.h"

#include "log/debugtrace.h"

#include <cstring>

using ft232rimage::Image;

namespace {

bool validHeader(const EepromData *data)
{
    return data && data->signature1 == EepromSignature1 && data->signature2 == EepromSignature2
        && data->version == EepromDataVersion && data->manufacturer && data->manufacturerId
        && data->description && data->serialNumber;
}

bool stringsTerminated(const EepromData &data)
{
    return std::memchr(data.manufacturer, 0, EepromManufacturerSize)
        && std::memchr(data.manufacturerId, 0, EepromManufacturerIdSize)
        && std::memchr(data.description, 0, EepromDescriptionSize)
        && std::memchr(data.serialNumber, 0, EepromSerialNumberSize);
}

std::vector<int> differingWords(const Image &from, const Image &to)
{
    std::vector<int> words;
    for (int i = 0; i < ft232rimage::Words; ++i) {
        if (ft232rimage::word(from, i) != ft232rimage::word(to, i))
            words.push_back(i);
    }
    return words;
}

} // namespace

const Image *ChipEeprom::image()
{
    if (!cached) {
        Image read;
        for (int i = 0; i < ft232rimage::Words; ++i) {
            quint16 value = 0;
            if (!access.readWord(i, &value))
                return nullptr;
            read[size_t(2 * i)] = quint8(value);
            read[size_t(2 * i + 1)] = quint8(value >> 8);
        }
        cached = read;
    }
    return &*cached;
}

DeviceStatus ChipEeprom::read(EepromData *data)
{
    if (!validHeader(data))
        return DeviceStatusCode::InvalidParameter;
    const Image *image = this->image();
    QString why;
    if (!image || !ft232rimage::read(*image, data, &why)) {
        DebugTrace() << "EEPROM read failed:" << (image ? why : QStringLiteral("no answer"));
        return DeviceStatusCode::EepromReadFailed;
    }
    return DeviceStatusCode::Ok;
}

DeviceStatus ChipEeprom::program(const EepromData *data)
{
    if (!validHeader(data) || !stringsTerminated(*data))
        return DeviceStatusCode::InvalidParameter;
    const Image *image = this->image();
    if (!image)
        return DeviceStatusCode::EepromReadFailed;
    Image edited;
    QString why;
    if (!ft232rimage::edit(*image, *data, &edited, &why)) {
        DebugTrace() << "EEPROM not written:" << why;
        return DeviceStatusCode::EepromWriteFailed;
    }
    return write(edited);
}

bool ChipEeprom::writeWords(const Image &image, const std::vector<int> &words)
{
    for (int i : words) {
        if (!access.writeWord(i, ft232rimage::word(image, i)))
            return false;
    }
    return true;
}

bool ChipEeprom::holds(const Image &image, const std::vector<int> &words)
{
    for (int i : words) {
        quint16 value = 0;
        if (!access.readWord(i, &value) || value != ft232rimage::word(image, i))
            return false;
    }
    return true;
}

QString ChipEeprom::wordsText(const std::vector<int> &words)
{
    QString text;
    for (int i : words) {
        quint16 value = 0;
        text += access.readWord(i, &value)
            ? QStringLiteral("%1=%2 ")
                  .arg(i, 2, 16, QLatin1Char('0'))
                  .arg(value, 4, 16, QLatin1Char('0'))
            : QStringLiteral("%1=? ").arg(i, 2, 16, QLatin1Char('0'));
    }
    return text.trimmed();
}

DeviceStatus ChipEeprom::write(const Image &edited)
{
    const Image before = *cached;
    const std::vector<int> words = differingWords(before, edited);
    if (words.empty())
        return DeviceStatusCode::Ok;
    cached.reset(); // unknown until read back
    const bool prepared = access.prepareWrite();
    const bool written = prepared && writeWords(edited, words) && holds(edited, words);
    if (written) {
        cached = edited;
    } else if (prepared) {
        DebugTrace() << "EEPROM write failed; words" << wordsText(words) << "hold"
                     << "; restoring the old words";
        const bool restored = writeWords(before, words) && holds(before, words);
        if (restored)
            cached = before;
        DebugTrace() << (restored ? "EEPROM restored:" : "EEPROM not restored, now holds:")
                     << wordsText(words);
    }
    const DeviceStatus finished = access.finishWrite();
    return written ? finished : DeviceStatusCode::EepromWriteFailed;
}
