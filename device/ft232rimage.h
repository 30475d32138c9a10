#pragma once

#include "device/devicelibrary.h"

#include <QString>

#include <array>

// The FT232R's 128-byte EEPROM image, read and edited where its fields lie.
// An edit changes only the bytes of the fields that differ. A string that
// does not change keeps its descriptor byte for byte, UTF-16 as stored. A
// string that changes is rewritten where it lies when it is no longer than
// before and another string follows it; otherwise everything after it
// (strings, gaps, FTDI's 02 03 tail, a user area) moves with its end.
namespace ft232rimage {

constexpr int Bytes = 128;
constexpr int Words = Bytes / 2;
constexpr int ChecksumWord = Words - 1;
// Where the string descriptors may lie: after the configuration and the
// pointers, before the checksum.
constexpr int StringAreaStart = 0x18;
constexpr int StringAreaEnd = Bytes - 2;

using Image = std::array<quint8, Bytes>;

quint16 word(const Image &image, int index);
quint16 checksum(const Image &image);

// Every field of `data` from the image, the strings into the caller's
// buffers; false, with the reason, when the image cannot be read so. A
// character that is not Latin-1 reads as '?'.
bool read(const Image &image, EepromData *data, QString *why);

// `image` with the fields of `wanted` applied; false, with the reason, when
// that cannot be done without losing a byte the image holds. A string of
// `wanted` that reads the same as the image's is left as stored.
bool edit(const Image &image, const EepromData &wanted, Image *edited, QString *why);

} // namespace ft232rimage
