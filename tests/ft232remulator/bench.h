#pragma once

// The bench of emulated FT232R chips that both test surfaces drive: the
// fake libusb-1.0 (ft232remulator.cpp) and the D2XX double
// (../d2xxdouble). The bench file format is in README.md beside this file.

#include "chip.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ft232r {

using Lock = std::unique_lock<std::recursive_mutex>;

// A control transfer at full speed completes in the frame after it was
// scheduled: one 1 ms frame each.
constexpr Nanos DefaultControlCost = std::chrono::microseconds(1000);

struct Bench {
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<Chip>> chips;
    // Chips of benches loaded before: unplugged, kept for whatever still
    // refers to them.
    std::vector<std::unique_ptr<Chip>> retired;
    int nextAddress = 2;
    bool loaded = false;
    std::string error;
};

Bench &bench();
Chip *findChip(const char *name);
int portOf(const Chip &chip); // its place on the bench, from 1
std::vector<uint8_t> portPathOf(const Chip &chip); // hub ports from the root
void plug(Chip &chip);
// The settings a previous program may leave, as the control functions give
// them; 0.
int settingsOf(const Chip &chip, int *flowControl, int *eventChar, int *errorChar,
               int *eepromWriteLatency);

// Replaces the bench; the caller holds the lock.
bool loadBench(const QByteArray &json, std::string *error);
// The bench named by FT232R_EMULATOR_BENCH, once per process; `who` names
// the surface in a complaint about the file.
void loadFromEnvironmentOnce(const char *who);
// Every chip's EEPROM and counters to FT232R_EMULATOR_DUMP, if set.
void dump();

void sleepUntil(Lock &lock, Clock::time_point at);
Clock::time_point deadlineAfter(unsigned int timeoutMs); // 0: none

// After one control transfer of `chip`: the unplug a bench may plant after
// it, then the transfer's time, spent with the lock released.
void afterControlTransfer(Lock &lock, Chip &chip, Nanos cost);

// Results of a transfer on the line, as libusb-1.0 numbers them.
enum : int { TransferOk = 0, TransferNoDevice = -4, TransferTimeout = -7 };

// Sends `length` bytes in 64-byte packets; the chip takes a packet only when
// its host-to-line buffer has room for it. `live` gives the chip, or null
// once it is gone.
int sendPackets(Lock &lock, const std::function<Chip *()> &live, const uint8_t *data, int length,
                Clock::time_point deadline, int *transferred);

} // namespace ft232r
