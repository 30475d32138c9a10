#pragma once

#include "device/devicelibrary.h"

#include <QString>

#include <array>

// The FT232R's 128-byte EEPROM image, read and edited where its fields lie.
// An edit changes the bytes of the fields that differ, re-lays the string
// descriptors in the image's own order and pointer form, and keeps every
// other byte: those after the strings move with the end of the strings.
namespace ft232rimage {

constexpr int Bytes = 128;
constexpr int Words = Bytes / 2;
constexpr int ChecksumWord = Words - 1;

using Image = std::array<quint8, Bytes>;

quint16 word(const Image &image, int index);
quint16 checksum(const Image &image);

// Every field of `data` from the image, the strings into the caller's
// buffers; false, with the reason, when the image cannot be read so.
bool read(const Image &image, EepromData *data, QString *why);

// `image` with the fields of `wanted` applied; false, with the reason, when
// that cannot be done without losing a byte the image holds.
bool edit(const Image &image, const EepromData &wanted, Image *edited, QString *why);

} // namespace ft232rimage
