#pragma once

#include "device/ft232rimage.h"

#include <optional>
#include <vector>

// An open chip's EEPROM words, as a backend reaches them.
class EepromWordAccess {
public:
    virtual ~EepromWordAccess() = default;
    virtual bool readWord(int index, quint16 *value) = 0;
    virtual bool writeWord(int index, quint16 value) = 0;
    // Around a programming: what the backend's chip needs before the first
    // word is written, and after the last (also after a failed write).
    virtual bool prepareWrite() { return true; }
    virtual DeviceStatus finishWrite() { return DeviceStatusCode::Ok; }
};

// The EEPROM of one open chip. Its 64 words are read once and kept while the
// chip is open: nothing else writes them meanwhile.
//
// A genuine FT232R stores its EEPROM in 32-bit rows, words 2k and 2k + 1: an
// even word is only latched, and the odd word after it stores the row with
// the latched word. Programming therefore writes whole rows, the even word
// then the odd one, only the rows that differ, in ascending order, so the
// checksum's row (the last) goes last: a write cut short leaves the old
// checksum, and the chip refuses the half-written image at its next plug-in.
// Clones that store each word as it comes take the same writes.
//
// The written rows are read back; when the chip did not keep them, the old
// rows are written back once and the whole image is read to tell what the
// chip now holds.
class ChipEeprom {
public:
    explicit ChipEeprom(EepromWordAccess &access) : access(access) { }

    DeviceStatus read(EepromData *data);
    DeviceStatus program(const EepromData *data);
    EepromAfterRestore afterRestore() const { return restored; }

private:
    std::optional<ft232rimage::Image> readImage();
    const ft232rimage::Image *image();
    DeviceStatus write(const ft232rimage::Image &edited);
    void restore(const ft232rimage::Image &before, const ft232rimage::Image &edited,
                 const std::vector<int> &words);
    bool writeWords(const ft232rimage::Image &image, const std::vector<int> &words);
    bool holds(const ft232rimage::Image &image, const std::vector<int> &words);
    QString wordsText(const std::vector<int> &words);

    EepromWordAccess &access;
    std::optional<ft232rimage::Image> cached; // as last read or written
    EepromAfterRestore restored = EepromAfterRestore::NoRestore;
};
