// The EEPROM image editor alone, fed any image (the first 126 bytes, its
// checksum made valid) and any new description (what follows): if the image
// reads, an edit that is not refused keeps every other field, every byte of
// the configuration and of the other strings' descriptors, leaves a valid
// checksum, and a second edit changes nothing.

#include "callerrecord.h"
#include "device/ft232rimage.h"
#include "device/sim/simulateddevicelibrary.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using ft232rimage::Image;

#define REQUIRE(condition)                                                                         \
    do {                                                                                           \
        if (!(condition))                                                                          \
            std::abort();                                                                          \
    } while (false)

// The caller's record and buffers, read from an image.
struct Record : CallerRecord {
    bool read(const Image &image)
    {
        QString why;
        return ft232rimage::read(image, &data, &why);
    }
};

QByteArray descriptorAt(const Image &image, int slot)
{
    const int offset = image[size_t(0x0E + 2 * slot)] & 0x7F;
    const int length = image[size_t(0x0F + 2 * slot)];
    return QByteArray(reinterpret_cast<const char *>(image.data()) + offset, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Image image {};
    std::memcpy(image.data(), data, std::min<size_t>(size, ft232rimage::ChecksumWord * 2));
    const quint16 sum = ft232rimage::checksum(image);
    image[126] = quint8(sum);
    image[127] = quint8(sum >> 8);
    const size_t textStart = std::min<size_t>(size, 126);
    QByteArray text(reinterpret_cast<const char *>(data) + textStart, int(size - textStart));
    text = text.left(EepromDescriptionSize - 1).replace('\0', 'x');
    if (text.isEmpty())
        text = "ZELOR-K3";

    Record before;
    if (!before.read(image))
        return 0;
    Record wanted;
    REQUIRE(wanted.read(image));
    qstrcpy(wanted.description, text.constData());
    Image edited;
    QString why;
    if (!ft232rimage::edit(image, wanted.data, &edited, &why))
        return 0; // refused: nothing would be written

    REQUIRE(ft232rimage::checksum(edited) == ft232rimage::word(edited, ft232rimage::ChecksumWord));
    Record after;
    REQUIRE(after.read(edited));
    REQUIRE(QByteArray(after.description) == text);
    REQUIRE(qstrcmp(after.manufacturer, before.manufacturer) == 0);
    REQUIRE(qstrcmp(after.manufacturerId, before.manufacturerId) == 0);
    REQUIRE(qstrcmp(after.serial, before.serial) == 0);
    for (const EepromNumericField &field : eepromNumericFields())
        REQUIRE(field.get(after.data) == field.get(before.data));
    REQUIRE(after.data.pnp == before.data.pnp);
    REQUIRE(std::equal(image.begin(), image.begin() + 0x0E, edited.begin()));
    REQUIRE(std::equal(image.begin() + 0x14, image.begin() + 0x18, edited.begin() + 0x14));
    int firstString = ft232rimage::StringAreaEnd;
    for (int slot : { 0, 2 }) {
        if (image[size_t(0x0F + 2 * slot)]) {
            REQUIRE(descriptorAt(edited, slot) == descriptorAt(image, slot));
            REQUIRE((edited[size_t(0x0E + 2 * slot)] & 0x80)
                    == (image[size_t(0x0E + 2 * slot)] & 0x80));
            firstString = std::min(firstString, image[size_t(0x0E + 2 * slot)] & 0x7F);
        }
    }
    for (const Image *i : { &image, &edited }) {
        if ((*i)[0x11])
            firstString = std::min(firstString, (*i)[0x10] & 0x7F);
    }
    REQUIRE(std::equal(image.begin() + 0x18, image.begin() + std::max(0x18, firstString),
                       edited.begin() + 0x18));

    Image again;
    REQUIRE(ft232rimage::edit(edited, wanted.data, &again, &why));
    REQUIRE(again == edited);
    return 0;
}
