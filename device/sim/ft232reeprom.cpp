#include "device/sim/ft232reeprom.h"

namespace {

quint16 wordAt(const QByteArray &image, int offset)
{
    return quint16(quint8(image[offset]) | (quint8(image[offset + 1]) << 8));
}

quint8 byteAt(const QByteArray &image, int offset)
{
    return quint8(image[offset]);
}

// A string descriptor named by its (offset | 0x80, length) pair at
// `pointerOffset`: length byte, type 3, then UTF-16LE text.
bool readStringDescriptor(const QByteArray &image, int pointerOffset, QByteArray *text,
                          QString *error)
{
    const int offset = byteAt(image, pointerOffset) & 0x7F;
    const int length = byteAt(image, pointerOffset + 1);
    text->clear();
    if (length == 0)
        return true;
    if (length < 2 || length % 2 != 0 || offset + length > Ft232rEepromSize - 2
        || byteAt(image, offset) != length || byteAt(image, offset + 1) != 0x03) {
        *error = QStringLiteral("string descriptor at 0x%1 is malformed").arg(pointerOffset, 2, 16);
        return false;
    }
    for (int i = offset + 2; i < offset + length; i += 2)
        text->append(char(wordAt(image, i) & 0xFF));
    return true;
}

} // namespace

quint16 ft232rEepromChecksum(const QByteArray &image)
{
    quint16 checksum = 0xAAAA;
    for (int i = 0; i < Ft232rEepromSize - 2; i += 2) {
        checksum ^= wordAt(image, i);
        checksum = quint16((checksum << 1) | (checksum >> 15));
    }
    return checksum;
}

bool decodeFt232rEeprom(const QByteArray &image, SimEeprom *eeprom, QString *error)
{
    if (image.size() != Ft232rEepromSize) {
        *error = QStringLiteral("an FT232R EEPROM image has 128 bytes, not %1").arg(image.size());
        return false;
    }
    if (ft232rEepromChecksum(image) != wordAt(image, Ft232rEepromSize - 2)) {
        *error = QStringLiteral("EEPROM image checksum does not match");
        return false;
    }
    SimEeprom decoded;
    if (!readStringDescriptor(image, 0x0E, &decoded.manufacturer, error)
        || !readStringDescriptor(image, 0x10, &decoded.description, error)
        || !readStringDescriptor(image, 0x12, &decoded.serialNumber, error))
        return false;
    decoded.manufacturerId = decoded.serialNumber.left(2);

    EepromData &s = decoded.settings;
    const quint8 flags = byteAt(image, 0x00);
    s.useExtOsc = (flags & 0x02) ? 1 : 0;
    s.highDriveIOs = (flags & 0x04) ? 1 : 0;
    s.rIsD2XX = (flags & 0x08) ? 1 : 0;
    s.endpointSize = byteAt(image, 0x01);
    s.vendorId = wordAt(image, 0x02);
    s.productId = wordAt(image, 0x04);
    const quint8 config = byteAt(image, 0x08);
    s.selfPowered = (config & 0x40) ? 1 : 0;
    s.remoteWakeup = (config & 0x20) ? 1 : 0;
    s.maxPower = quint16(byteAt(image, 0x09) * 2);
    const quint8 chip = byteAt(image, 0x0A);
    s.pullDownEnable = (chip & 0x04) ? 1 : 0;
    s.serNumEnable = (chip & 0x08) ? 1 : 0;
    const quint8 invert = byteAt(image, 0x0B);
    quint8 EepromData::*const inverts[]
        = { &EepromData::invertTXD, &EepromData::invertRXD, &EepromData::invertRTS,
            &EepromData::invertCTS, &EepromData::invertDTR, &EepromData::invertDSR,
            &EepromData::invertDCD, &EepromData::invertRI };
    for (int bit = 0; bit < 8; ++bit)
        s.*inverts[bit] = (invert >> bit) & 1;
    s.cbus0 = byteAt(image, 0x14) & 0x0F;
    s.cbus1 = byteAt(image, 0x14) >> 4;
    s.cbus2 = byteAt(image, 0x15) & 0x0F;
    s.cbus3 = byteAt(image, 0x15) >> 4;
    s.cbus4 = byteAt(image, 0x16) & 0x0F;
    *eeprom = decoded;
    return true;
}
