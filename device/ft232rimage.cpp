#include "device/ft232rimage.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <cstring>

namespace ft232rimage {

namespace {

constexpr int PointerBase = 0x0E; // (offset | 0x80, length) of manufacturer, product, serial
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
    int end() const { return offset + length; }
};

using Descriptors = std::array<Descriptor, 3>;

Descriptor descriptor(const Image &image, int slot)
{
    const quint8 pointer = image[size_t(PointerBase + 2 * slot)];
    return { slot, quint8(pointer & 0x80), pointer & 0x7F,
             image[size_t(PointerBase + 2 * slot + 1)] };
}

void setPointer(Image *image, const Descriptor &d)
{
    (*image)[size_t(PointerBase + 2 * d.slot)] = quint8(d.pointerFlags | d.offset);
    (*image)[size_t(PointerBase + 2 * d.slot + 1)] = quint8(d.length);
}

// The three descriptors, each a whole string descriptor inside the string
// area and none overlapping another; false, with the reason, otherwise.
bool descriptors(const Image &image, Descriptors *out, QString *why)
{
    for (int slot = 0; slot < 3; ++slot) {
        const Descriptor d = descriptor(image, slot);
        (*out)[size_t(slot)] = d;
        if (d.length == 0)
            continue;
        if (d.offset < StringAreaStart || d.end() > StringAreaEnd) {
            *why = QStringLiteral("string descriptor %1 does not lie in the string area").arg(slot);
            return false;
        }
        if (d.length < 2 || d.length % 2 || image[size_t(d.offset)] != d.length
            || image[size_t(d.offset + 1)] != StringDescriptor) {
            *why = QStringLiteral("string descriptor %1 is malformed").arg(slot);
            return false;
        }
    }
    for (const Descriptor &a : *out) {
        for (const Descriptor &b : *out) {
            if (a.slot < b.slot && a.length && b.length && a.offset < b.end()
                && b.offset < a.end()) {
                *why = QStringLiteral("string descriptors %1 and %2 overlap")
                           .arg(a.slot)
                           .arg(b.slot);
                return false;
            }
        }
    }
    return true;
}

// The string as the station's 8-bit buffers hold it.
QByteArray textOf(const Image &image, const Descriptor &d)
{
    QByteArray text;
    for (int i = d.offset + 2; i < d.end(); i += 2) {
        const quint16 unit = quint16(image[size_t(i)] | image[size_t(i + 1)] << 8);
        text.append(unit <= 0xFF ? char(unit) : '?');
    }
    return text;
}

QByteArray descriptorBytes(const QByteArray &text)
{
    QByteArray bytes;
    bytes.append(char(2 + 2 * text.size())).append(char(StringDescriptor));
    for (char c : text)
        bytes.append(c).append('\0');
    return bytes;
}

int stringsEnd(const Descriptors &ds)
{
    int end = StringAreaStart;
    for (const Descriptor &d : ds) {
        if (d.length)
            end = std::max(end, d.end());
    }
    return end;
}

// The plug-and-play byte of the 02 03 tail right after the strings, or -1.
int tailOffset(const Image &image, const Descriptors &ds)
{
    const int end = stringsEnd(ds);
    return end + 2 < StringAreaEnd && image[size_t(end)] == TailMarker[0]
            && image[size_t(end + 1)] == TailMarker[1]
        ? end + 2
        : -1;
}

// One past the last byte that belongs to the strings or their tail.
int usedEnd(const Image &image, const Descriptors &ds)
{
    const int tail = tailOffset(image, ds);
    return tail < 0 ? stringsEnd(ds) : tail + 1;
}

bool doesNotFit(QString *why)
{
    *why = QStringLiteral("the strings do not fit the EEPROM");
    return false;
}

// Gives `slot` the string `text`. In place when it is no longer than before
// and another string follows; otherwise what lies after it moves with its
// end, and only zeros may fall off the string area.
bool replaceString(Image *image, int slot, const QByteArray &text, QString *why)
{
    Descriptors ds;
    if (!descriptors(*image, &ds, why))
        return false;
    Descriptor d = ds[size_t(slot)];
    const QByteArray bytes = descriptorBytes(text);
    const bool followed = std::any_of(ds.begin(), ds.end(), [&](const Descriptor &o) {
        return o.length && o.slot != slot && o.offset > d.offset;
    });
    if (d.length && bytes.size() <= d.length && followed) {
        std::memcpy(image->data() + d.offset, bytes.constData(), size_t(bytes.size()));
        d.length = int(bytes.size());
        setPointer(image, d);
        return true;
    }
    if (!d.length) // a new string goes after the others
        d = { slot, 0x80, stringsEnd(ds), 0 };
    const int delta = int(bytes.size()) - d.length;
    const int restStart = d.end();
    if (bytes.size() > 0xFF || usedEnd(*image, ds) + delta > StringAreaEnd)
        return doesNotFit(why);
    QByteArray rest(reinterpret_cast<const char *>(image->data()) + restStart,
                    StringAreaEnd - restStart);
    const int room = StringAreaEnd - (d.offset + int(bytes.size()));
    if (rest.mid(room).count('\0') != rest.size() - std::min<int>(room, int(rest.size())))
        return doesNotFit(why);
    rest = rest.left(room).leftJustified(room, '\0');
    std::memcpy(image->data() + d.offset, bytes.constData(), size_t(bytes.size()));
    std::memcpy(image->data() + d.offset + bytes.size(), rest.constData(), size_t(rest.size()));
    for (Descriptor o : ds) {
        if (o.length && o.slot != slot && o.offset >= restStart) {
            o.offset += delta;
            setPointer(image, o);
        }
    }
    d.length = int(bytes.size());
    setPointer(image, d);
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
    Descriptors ds;
    if (!descriptors(image, &ds, why))
        return false;
    const int sizes[3] = { EepromManufacturerSize, EepromDescriptionSize, EepromSerialNumberSize };
    char *const buffers[3] = { data->manufacturer, data->description, data->serialNumber };
    for (const Descriptor &d : ds) {
        const QByteArray text = d.length ? textOf(image, d) : QByteArray();
        if (text.size() >= sizes[d.slot] || text.contains('\0')) {
            *why = QStringLiteral("string %1 does not fit its buffer").arg(d.slot);
            return false;
        }
        qstrcpy(buffers[d.slot], text.constData());
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
    const int tail = tailOffset(image, ds);
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
        Descriptors ds;
        QString ignored;
        const int tail = descriptors(image, &ds, &ignored) ? tailOffset(image, ds) : -1;
        return tail >= 0 && setBits(&out, tail, 0x01, pnp ? 0 : 1);
    });
    // The FT232R keeps no manufacturer id and has a fixed endpoint size.
    ok = ok && now.endpointSize == wanted.endpointSize
        && qstrcmp(now.manufacturerId, wanted.manufacturerId) == 0;
    if (!ok) {
        *why = QStringLiteral("a field's value cannot be stored in an FT232R EEPROM");
        return false;
    }
    const char *const nowStrings[3] = { now.manufacturer, now.description, now.serialNumber };
    const char *const wantedStrings[3]
        = { wanted.manufacturer, wanted.description, wanted.serialNumber };
    for (int slot = 0; slot < 3; ++slot) {
        if (qstrcmp(nowStrings[slot], wantedStrings[slot]) != 0
            && !replaceString(&out, slot, QByteArray(wantedStrings[slot]), why))
            return false;
    }
    setWord(&out, ChecksumWord, checksum(out));
    *edited = out;
    return true;
}

} // namespace ft232rimage
