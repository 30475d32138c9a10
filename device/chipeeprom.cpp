#include "device/chipeeprom.h"

#include "log/debugtrace.h"

#include <QStringList>

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

// The words of every row that differs between the two images, each row's
// even word before its odd word, rows in ascending order.
std::vector<int> rowsThatDiffer(const Image &from, const Image &to)
{
    std::vector<int> words;
    for (int even = 0; even < ft232rimage::Words; even += 2) {
        if (ft232rimage::word(from, even) != ft232rimage::word(to, even)
            || ft232rimage::word(from, even + 1) != ft232rimage::word(to, even + 1)) {
            words.push_back(even);
            words.push_back(even + 1);
        }
    }
    return words;
}

QString wordValues(const Image &image, const std::vector<int> &words)
{
    QStringList values;
    for (int i : words)
        values += QStringLiteral("%1=%2")
                      .arg(i, 2, 16, QLatin1Char('0'))
                      .arg(ft232rimage::word(image, i), 4, 16, QLatin1Char('0'));
    return values.join(QLatin1Char(' '));
}

} // namespace

std::optional<Image> ChipEeprom::readImage()
{
    Image read;
    for (int i = 0; i < ft232rimage::Words; ++i) {
        quint16 value = 0;
        if (!access.readWord(i, &value))
            return std::nullopt;
        read[size_t(2 * i)] = quint8(value);
        read[size_t(2 * i + 1)] = quint8(value >> 8);
    }
    return read;
}

const Image *ChipEeprom::image()
{
    if (!cached)
        cached = readImage();
    return cached ? &*cached : nullptr;
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
    const std::vector<int> words = rowsThatDiffer(before, edited);
    restored = EepromAfterRestore::NoRestore;
    if (words.empty())
        return DeviceStatusCode::Ok;
    cached.reset(); // unknown until read back
    const bool prepared = access.prepareWrite();
    const bool written = prepared && writeWords(edited, words) && holds(edited, words);
    if (written)
        cached = edited;
    else if (prepared)
        restore(before, edited, words);
    else
        DebugTrace() << "EEPROM not written: the chip could not be prepared";
    const DeviceStatus finished = access.finishWrite();
    return written ? finished : DeviceStatusCode::EepromWriteFailed;
}

// Writes the old rows back, then reads the whole image once: a chip left
// with neither image is never passed over in silence.
void ChipEeprom::restore(const Image &before, const Image &edited, const std::vector<int> &words)
{
    DebugTrace() << "EEPROM write failed; words" << wordsText(words) << "hold"
                 << "; restoring the old rows";
    writeWords(before, words);
    cached = readImage();
    if (!cached) {
        restored = EepromAfterRestore::Unreadable;
        DebugTrace() << "EEPROM after restoring: cannot be read";
    } else if (*cached == before) {
        restored = EepromAfterRestore::OldImage;
        DebugTrace() << "EEPROM restored: the chip holds its old image";
    } else if (*cached == edited) {
        restored = EepromAfterRestore::NewImage;
        DebugTrace() << "EEPROM after restoring: the chip holds the new image";
    } else {
        restored = EepromAfterRestore::Neither;
        DebugTrace() << "EEPROM not restored: the chip holds neither image; differing from the old:"
                     << wordValues(*cached, rowsThatDiffer(before, *cached));
    }
}
