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
// chip is open: nothing else writes them meanwhile. Programming edits that
// image and writes only the words that differ, in ascending order, so the
// checksum (the last word) goes last: a write cut short leaves the old
// checksum, and the chip refuses the half-written image at its next plug-in.
// The written words are read back; when the chip did not store them, the old
// words are written back once.
class ChipEeprom {
public:
    explicit ChipEeprom(EepromWordAccess &access) : access(access) { }

    DeviceStatus read(EepromData *data);
    DeviceStatus program(const EepromData *data);

private:
    const ft232rimage::Image *image();
    DeviceStatus write(const ft232rimage::Image &edited);
    bool writeWords(const ft232rimage::Image &image, const std::vector<int> &words);
    bool holds(const ft232rimage::Image &image, const std::vector<int> &words);
    QString wordsText(const std::vector<int> &words);

    EepromWordAccess &access;
    std::optional<ft232rimage::Image> cached; // as last read or written
};
