#include "device/ftdi/ft232rimage.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ft232rimage {

namespace {

constexpr int PointerBase = 0x0E; // (offset | 0x80, length) of manufacturer, product, serial
constexpr int FirstStringOffset = 0x18;
constexpr quint8 StringDescriptor = 0x03;
// FTDI's tools end the strings with 02 03 and a byte whose bit 0 says "not
// plug and play".
constexpr quint8 TailMarker[2] = { 0x02, 0x03 };

// A flag or small number held in some bits of one byte.
struct BitField {
    quint8 EepromData::*field;
    int byte;
    quint8 mask;
};

const BitField BitFields[] = {
    { &EepromData::useExtOsc, 0x00, 0x02 },    { &EepromData::highDriveIOs, 0x00, 0x04 },
    { &EepromData::rIsD2XX, 0x00, 0x08 },      { &EepromData::pullDownEnable, 0x0A, 0x04 },
    { &EepromData::serNumEnable, 0x0A, 0x08 }, { &EepromData::invertTXD, 0x0B, 0x01 },
    { &EepromData::invertRXD, 0x0B, 0x02 },    { &EepromData::invertRTS, 0x0B, 0x04 },
    { &EepromData::invertCTS, 0x0B, 0x08 },    { &EepromData::invertDTR, 0x0B, 0x10 },
    { &EepromData::invertDSR, 0x0B, 0x20 },    { &EepromData::invertDCD, 0x0B, 0x40 },
    { &EepromData::invertRI, 0x0B, 0x80 },     { &EepromData::cbus0, 0x14, 0x0F },
    { &EepromData::cbus1, 0x14, 0xF0 },        { &EepromData::cbus2, 0x15, 0x0F },
    { &EepromData::cbus3, 0x15, 0xF0 },        { &EepromData::cbus4, 0x16, 0x0F },
};

struct WideBitField {
    quint16 EepromData::*field;
    int byte;
    quint8 mask;
};

const WideBitField WideBitFields[] = {
    { &EepromData::selfPowered, 0x08, 0x40 },
    { &EepromData::remoteWakeup, 0x08, 0x20 },
};

int shiftOf(quint8 mask)
{
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    return shift;
}

quint8 bits(const Image &image, int byte, quint8 mask)
{
    return quint8((image[size_t(byte)] & mask) >> shiftOf(mask));
}

bool setBits(Image *image, int byte, quint8 mask, int value)
{
    if (value < 0 || value > (mask >> shiftOf(mask)))
        return false;
    quint8 &b = (*image)[size_t(byte)];
    b = quint8((b & ~mask) | ((value << shiftOf(mask)) & mask));
    return true;
}

void setWord(Image *image, int index, quint16 value)
{
    (*image)[size_t(2 * index)] = quint8(value);
    (*image)[size_t(2 * index + 1)] = quint8(value >> 8);
}

// One of the three string descriptors, as the image lays it out.
struct Descriptor {
    int slot; // 0 manufacturer, 1 product, 2 serial number
    quint8 pointerFlags; // the pointer's bits above the offset, kept as found
    int offset;
    int length; // 0: absent
};

Descriptor descriptor(const Image &image, int slot)
{
    const quint8 pointer = image[size_t(PointerBase + 2 * slot)];
    return { slot, quint8(pointer & 0x80), pointer & 0x7F,
             image[size_t(PointerBase + 2 * slot + 1)] };
}

bool readString(const Image &image, int slot, QByteArray *text, QString *why)
{
    const Descriptor d = descriptor(image, slot);
    text->clear();
    if (d.length == 0)
        return true;
    if (d.length < 2 || d.length % 2 || d.offset + d.length > Bytes - 2
        || image[size_t(d.offset)] != d.length || image[size_t(d.offset + 1)] != StringDescriptor) {
        *why = QStringLiteral("string descriptor %1 is malformed").arg(slot);
        return false;
    }
    for (int i = d.offset + 2; i < d.offset + d.length; i += 2)
        text->append(char(image[size_t(i)]));
    return true;
}

bool readStrings(const Image &image, QByteArray strings[3], QString *why)
{
    for (int slot = 0; slot < 3; ++slot) {
        if (!readString(image, slot, &strings[slot], why))
            return false;
    }
    return true;
}

int stringsEnd(const std::vector<Descriptor> &laid, int start)
{
    int end = start;
    for (const Descriptor &d : laid)
        end = std::max(end, d.offset + d.length);
    return end;
}

// The present descriptors in the order they lie, or false when they do not
// lie back to back (then they cannot be re-laid without guessing).
bool laidOut(const Image &image, std::vector<Descriptor> *laid, QString *why)
{
    laid->clear();
    for (int slot = 0; slot < 3; ++slot) {
        const Descriptor d = descriptor(image, slot);
        if (d.length)
            laid->push_back(d);
    }
    std::sort(laid->begin(), laid->end(),
              [](const Descriptor &a, const Descriptor &b) { return a.offset < b.offset; });
    for (size_t i = 1; i < laid->size(); ++i) {
        if ((*laid)[i].offset != (*laid)[i - 1].offset + (*laid)[i - 1].length) {
            *why = QStringLiteral("the string descriptors are not back to back");
            return false;
        }
    }
    return true;
}

// Where the tail 02 03 <flags> would be: right after the strings.
int tailOffset(const Image &image)
{
    std::vector<Descriptor> laid;
    QString ignored;
    if (!laidOut(image, &laid, &ignored))
        return -1;
    const int end = stringsEnd(laid, FirstStringOffset);
    return end + 2 < Bytes - 2 && image[size_t(end)] == TailMarker[0]
            && image[size_t(end + 1)] == TailMarker[1]
        ? end + 2
        : -1;
}

bool relayStrings(const QByteArray wanted[3], Image *image, QString *why)
{
    std::vector<Descriptor> laid;
    if (!laidOut(*image, &laid, why))
        return false;
    const int start = laid.empty() ? FirstStringOffset : laid.front().offset;
    const int oldEnd = stringsEnd(laid, start);
    for (int slot = 0; slot < 3; ++slot) {
        const bool present = std::any_of(laid.begin(), laid.end(),
                                         [&](const Descriptor &d) { return d.slot == slot; });
        if (!present && !wanted[slot].isEmpty())
            laid.push_back({ slot, 0x80, 0, 0 }); // a new string goes after the others
    }
    QByteArray strings;
    for (Descriptor &d : laid) {
        const QByteArray &text = wanted[d.slot];
        d.offset = start + int(strings.size());
        d.length = 2 + 2 * int(text.size());
        strings.append(char(d.length)).append(char(StringDescriptor));
        for (char c : text)
            strings.append(c).append('\0');
    }
    const int newEnd = start + int(strings.size());
    // What follows the strings moves with their end; what would fall off the
    // image must be free space.
    const int areaEnd = Bytes - 2;
    QByteArray after(reinterpret_cast<const char *>(image->data()) + oldEnd, areaEnd - oldEnd);
    const int room = areaEnd - newEnd;
    if (room < 0
        || after.mid(room).count('\0') != after.size() - std::min<int>(room, int(after.size()))) {
        *why = QStringLiteral("the strings do not fit the EEPROM");
        return false;
    }
    after = after.left(room);
    after.append(QByteArray(room - int(after.size()), '\0'));
    std::memcpy(image->data() + start, strings.constData(), size_t(strings.size()));
    std::memcpy(image->data() + newEnd, after.constData(), size_t(after.size()));
    for (const Descriptor &d : laid) {
        (*image)[size_t(PointerBase + 2 * d.slot)] = quint8(d.pointerFlags | d.offset);
        (*image)[size_t(PointerBase + 2 * d.slot + 1)] = quint8(d.length);
    }
    return true;
}

} // namespace

quint16 word(const Image &image, int index)
{
    return quint16(image[size_t(2 * index)] | image[size_t(2 * index + 1)] << 8);
}

quint16 checksum(const Image &image)
{
    quint16 sum = 0xAAAA;
    for (int i = 0; i < ChecksumWord; ++i) {
        sum ^= word(image, i);
        sum = quint16((sum << 1) | (sum >> 15));
    }
    return sum;
}

bool read(const Image &image, EepromData *data, QString *why)
{
    if (checksum(image) != word(image, ChecksumWord)) {
        *why = QStringLiteral("the checksum does not match");
        return false;
    }
    QByteArray strings[3];
    if (!readStrings(image, strings, why))
        return false;
    const int sizes[3] = { EepromManufacturerSize, EepromDescriptionSize, EepromSerialNumberSize };
    char *const buffers[3] = { data->manufacturer, data->description, data->serialNumber };
    for (int slot = 0; slot < 3; ++slot) {
        if (strings[slot].size() >= sizes[slot] || strings[slot].contains('\0')) {
            *why = QStringLiteral("string %1 does not fit its buffer").arg(slot);
            return false;
        }
        qstrcpy(buffers[slot], strings[slot].constData());
    }
    // D2XX gives the serial number's prefix as the manufacturer id.
    qstrncpy(data->manufacturerId, data->serialNumber, 3);
    data->vendorId = word(image, 1);
    data->productId = word(image, 2);
    data->maxPower = quint16(image[0x09] * 2);
    data->endpointSize = image[0x01];
    for (const BitField &f : BitFields)
        data->*f.field = bits(image, f.byte, f.mask);
    for (const WideBitField &f : WideBitFields)
        data->*f.field = bits(image, f.byte, f.mask);
    const int tail = tailOffset(image);
    data->pnp = tail < 0 || !(image[size_t(tail)] & 0x01) ? 1 : 0;
    return true;
}

bool edit(const Image &image, const EepromData &wanted, Image *edited, QString *why)
{
    char manufacturer[EepromManufacturerSize], manufacturerId[EepromManufacturerIdSize],
        description[EepromDescriptionSize], serialNumber[EepromSerialNumberSize];
    EepromData now = wanted;
    now.manufacturer = manufacturer;
    now.manufacturerId = manufacturerId;
    now.description = description;
    now.serialNumber = serialNumber;
    if (!read(image, &now, why))
        return false;
    Image out = image;
    bool ok = true;
    auto change = [&](auto current, auto value, auto apply) {
        if (current != value)
            ok = ok && apply(value);
    };
    change(now.vendorId, wanted.vendorId, [&](quint16 v) { return setWord(&out, 1, v), true; });
    change(now.productId, wanted.productId, [&](quint16 v) { return setWord(&out, 2, v), true; });
    change(now.maxPower, wanted.maxPower, [&](quint16 v) {
        return v % 2 == 0 && v / 2 <= 0xFF && (out[0x09] = quint8(v / 2), true);
    });
    for (const BitField &f : BitFields)
        change(now.*f.field, wanted.*f.field,
               [&](int v) { return setBits(&out, f.byte, f.mask, v); });
    for (const WideBitField &f : WideBitFields)
        change(now.*f.field, wanted.*f.field,
               [&](int v) { return setBits(&out, f.byte, f.mask, v); });
    change(now.pnp != 0, wanted.pnp != 0, [&](bool pnp) {
        const int tail = tailOffset(image);
        return tail >= 0 && setBits(&out, tail, 0x01, pnp ? 0 : 1);
    });
    // The FT232R keeps no manufacturer id and has a fixed endpoint size.
    ok = ok && now.endpointSize == wanted.endpointSize
        && qstrcmp(now.manufacturerId, wanted.manufacturerId) == 0;
    if (!ok) {
        *why = QStringLiteral("a field's value cannot be stored in an FT232R EEPROM");
        return false;
    }
    const QByteArray strings[3] = { wanted.manufacturer, wanted.description, wanted.serialNumber };
    if ((strings[0] != now.manufacturer || strings[1] != now.description
         || strings[2] != now.serialNumber)
        && !relayStrings(strings, &out, why))
        return false;
    setWord(&out, ChecksumWord, checksum(out));
    *edited = out;
    return true;
}

} // namespace ft232rimage
