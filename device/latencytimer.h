#pragma once

#include <QtGlobal>

#include <functional>

// The chip's latency timer: how long it holds a short block before sending
// it on. The station asks for the shortest, which only speeds the loopback
// up; a chip or library that will not take it never fails a run.
namespace latencytimer {

using Set = std::function<bool(quint8 ms)>;
using Get = std::function<bool(quint8 *ms)>;

// 1 ms (FTDI's knowledge base gives 1 to 255), else 2 ms (the D2XX
// Programmer's Guide gives 2 to 255), else whatever the chip runs at, traced.
// Returns the latency the chip runs at, 0 when it cannot be read.
quint8 settle(const Set &set, const Get &get);

// After a change of the chip's own (an EEPROM write): `ms` again, or, when
// that is unknown or not taken, settled afresh.
quint8 restore(const Set &set, const Get &get, quint8 ms);

} // namespace latencytimer
