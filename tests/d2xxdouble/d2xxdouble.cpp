// A stand-in for FTDI's D2XX library (ftd2xx.dll, libftd2xx.so) with the
// emulated FT232R chips of the FT232R emulator behind it: the functions the
// station uses, with D2XX's types and statuses as FTDI documents them. Tests
// only. What each behaviour rests on is in README.md beside this file.

#include "d2xxdouble.h"

#include "../ft232remulator/bench.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#define D2XX_EXPORT extern "C" __declspec(dllexport)
#define D2XX_CALL __stdcall
#else
#define D2XX_EXPORT extern "C" __attribute__((visibility("default")))
#define D2XX_CALL
#endif

using ft232r::bench;
using ft232r::Chip;
using ft232r::Clock;
using ft232r::Lock;
using ft232r::Nanos;

namespace {

using DWORD = uint32_t;
using ULONG = uint32_t;
using WORD = uint16_t;
using UCHAR = uint8_t;
using FT_STATUS = ULONG;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
};

enum : DWORD { OpenBySerial = 1, OpenByDescription = 2, OpenByLocation = 4 };
enum : ULONG { FlagOpened = 1 };
constexpr ULONG DeviceFt232r = 5;
constexpr DWORD LibraryVersion = 0x00000100; // "0.01.00": the double's own

struct Node {
    ULONG flags, type, id;
    DWORD locationId;
    char serialNumber[16];
    char description[64];
    void *handle;
};

// The FT232R's vendor requests, as libftdi1 and ftdi_sio send them.
enum : uint8_t {
    RequestReset = 0x00,
    RequestFlowCtrl = 0x02,
    RequestBaudRate = 0x03,
    RequestData = 0x04,
    RequestEventChar = 0x06,
    RequestErrorChar = 0x07,
    RequestSetLatency = 0x09,
    RequestGetLatency = 0x0A,
    RequestReadEeprom = 0x90,
    RequestWriteEeprom = 0x91,
};
enum : uint16_t { ResetSio = 0 };

// What an open handle is: the chip as it enumerated then, the time-outs and
// the driver's receive queue, which it fills from the chip's packets.
struct Handle {
    Chip *chip = nullptr;
    int address = 0;
    DWORD readTimeoutMs = 0; // 0: wait for ever
    DWORD writeTimeoutMs = 0;
    std::deque<uint8_t> queue;
    uint8_t lineStatus = 0; // error bits of the packets since it was last read
};

std::vector<std::unique_ptr<Handle>> &handles()
{
    static auto *list = new std::vector<std::unique_ptr<Handle>>;
    return *list;
}

std::vector<Node> &listed()
{
    static auto *list = new std::vector<Node>;
    return *list;
}

Handle *known(void *handle)
{
    for (auto &h : handles()) {
        if (h.get() == handle)
            return h.get();
    }
    return nullptr;
}

Chip *live(const Handle *h)
{
    return h && h->chip->plugged && h->chip->address == h->address ? h->chip : nullptr;
}

bool openHere(const Chip &chip)
{
    return std::any_of(handles().begin(), handles().end(), [&](const auto &h) {
        return h->chip == &chip && h->address == chip.address;
    });
}

// A string descriptor as D2XX on Linux lists it: ASCII, anything else '?'.
void copyString(const std::vector<uint8_t> &descriptor, char *out, size_t size)
{
    size_t n = 0;
    for (size_t i = 2; i + 1 < descriptor.size() && n + 1 < size; i += 2) {
        const unsigned unit = descriptor[i] | descriptor[i + 1] << 8;
        out[n++] = unit < 0x80 ? char(unit) : '?';
    }
    out[n] = '\0';
}

// As D2XX on Windows gives it: a hex digit for the host controller, then
// one for each port on the way (FTDI's "Using location IDs"). A chip placed
// on the bench without ports has one of the double's own.
DWORD locationOf(const Chip &chip)
{
    if (chip.ports.empty())
        return DWORD(0x1000 + ft232r::portOf(chip));
    DWORD location = DWORD(chip.bus & 0xF);
    for (uint8_t port : chip.ports)
        location = location << 4 | (port & 0xF);
    return location;
}

Node nodeOf(Chip &chip)
{
    Node node {};
    if (chip.cannotOpen) { // open in another program: only the flag is known
        node.flags = FlagOpened;
        return node;
    }
    const bool open = openHere(chip);
    node.flags = open ? ULONG(FlagOpened) : 0;
    node.type = DeviceFt232r;
    node.id = ULONG(chip.enumerated.vendorId) << 16 | chip.enumerated.productId;
    node.locationId = open ? 0 : locationOf(chip);
    copyString(chip.enumerated.strings[2], node.serialNumber, sizeof node.serialNumber);
    copyString(chip.enumerated.strings[1], node.description, sizeof node.description);
    for (auto &h : handles()) {
        if (h->chip == &chip && h->address == chip.address)
            node.handle = h.get();
    }
    return node;
}

// `count` control transfers of the chip: counted, costed, and the unplug a
// bench may plant after one of them.
void control(Lock &lock, Chip &chip, int count = 1, Nanos extra = Nanos(0))
{
    for (int i = 0; i < count && chip.plugged; ++i) {
        ++chip.controlTransfers;
        ft232r::afterControlTransfer(lock, chip, chip.controlCost + extra);
    }
}

// Brings the driver's queue up to now: every packet the chip has sent since
// the last look, in the order and at the moments it sent them.
void pump(Handle &h, Clock::time_point now)
{
    Chip &chip = *h.chip;
    Clock::time_point at = chip.lastPacket;
    while (true) {
        const Clock::time_point next = chip.nextPacketAt(at);
        if (next > now)
            break;
        at = next;
        const int count = std::min(int(chip.held.size()), ft232r::PacketData);
        if (count == 0 && chip.inFlight.empty()) {
            // Idle: status-only packets, one a latency period, change nothing.
            const Nanos period = std::chrono::milliseconds(chip.latencyMs);
            chip.lastPacket = now - (now - chip.lastPacket) % period;
            break;
        }
        uint8_t packet[ft232r::PacketSize];
        chip.takePacket(packet, count, at);
        h.lineStatus |= packet[1] & 0x1E;
        h.queue.insert(h.queue.end(), packet + 2, packet + 2 + count);
    }
    chip.settle(now);
}

// One D2XX call on an open handle: the handle checked, the call counted, and
// the unplug a bench may plant after it.
class Call {
public:
    explicit Call(void *handle) : lock(bench().mutex), h(known(handle)), chip(live(h))
    {
        if (chip)
            ++chip->apiCalls;
    }
    ~Call()
    {
        if (chip && chip->unplugAfterCall >= 0 && chip->apiCalls >= chip->unplugAfterCall)
            chip->unplug();
    }
    // FT_OK when the call can go on to the chip.
    FT_STATUS status() const
    {
        return !h ? FT_STATUS(FT_INVALID_HANDLE) : chip ? FT_STATUS(FT_OK) : FT_STATUS(FT_IO_ERROR);
    }

    Lock lock;
    Handle *h;
    Chip *chip;
};

// The divisor an FT232R runs from its 3 MHz base, in eighths, and the
// request that sets it (libftdi1's ftdi_to_clkbits, ftdi_sio's
// ftdi_232bm_baud_base_to_divisor).
bool baudRequest(ULONG baud, uint16_t *value, uint16_t *index)
{
    static const int codeOfEighths[8] = { 0, 3, 2, 4, 1, 5, 6, 7 };
    if (baud < 183 || baud > 3000000 * 103 / 100)
        return false;
    const ULONG divisor8 = (24000000u + baud / 2) / baud;
    ULONG whole = divisor8 / 8, code = ULONG(codeOfEighths[divisor8 % 8]);
    if (divisor8 < 12) // 3 Mbaud
        whole = code = 0;
    else if (divisor8 < 16) // 2 Mbaud
        whole = 1, code = 0;
    *value = uint16_t(whole | (code & 3) << 14);
    *index = uint16_t(code >> 2);
    return true;
}

} // namespace

// --- D2XX ------------------------------------------------------------------

D2XX_EXPORT FT_STATUS D2XX_CALL FT_CreateDeviceInfoList(DWORD *count)
{
    Lock lock(bench().mutex);
    ft232r::loadFromEnvironmentOnce("D2XX double");
    if (!count)
        return FT_INVALID_PARAMETER;
    listed().clear();
    for (auto &chip : bench().chips) {
        if (chip->plugged)
            listed().push_back(nodeOf(*chip));
    }
    *count = DWORD(listed().size());
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetDeviceInfoList(Node *nodes, DWORD *count)
{
    Lock lock(bench().mutex);
    if (!nodes || !count)
        return FT_INVALID_PARAMETER;
    std::copy(listed().begin(), listed().end(), nodes);
    *count = DWORD(listed().size());
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_OpenEx(void *argument, DWORD flags, void **handle)
{
    Lock lock(bench().mutex);
    ft232r::loadFromEnvironmentOnce("D2XX double");
    if (!argument || !handle)
        return FT_INVALID_PARAMETER;
    auto matches = [&](Chip &chip) {
        Node node = nodeOf(chip);
        switch (flags) {
        case OpenBySerial:
            return !chip.cannotOpen && std::strcmp(node.serialNumber, (const char *)argument) == 0;
        case OpenByDescription:
            return !chip.cannotOpen && std::strcmp(node.description, (const char *)argument) == 0;
        case OpenByLocation: return locationOf(chip) == DWORD(uintptr_t(argument));
        default: return false;
        }
    };
    if (flags != OpenBySerial && flags != OpenByDescription && flags != OpenByLocation)
        return FT_INVALID_PARAMETER;
    // The first listed chip that matches, open or not: FTDI does not say
    // what a serial number that two chips share opens, so the double takes
    // the least helpful reading and never moves on to a second chip.
    for (auto &chip : bench().chips) {
        if (!chip->plugged || !matches(*chip))
            continue;
        if (openHere(*chip) || chip->cannotOpen)
            return FT_DEVICE_NOT_OPENED;
        auto opened = std::make_unique<Handle>();
        opened->chip = chip.get();
        opened->address = chip->address;
        handles().push_back(std::move(opened));
        *handle = handles().back().get();
        ++chip->apiCalls;
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_Close(void *handle)
{
    Lock lock(bench().mutex);
    auto &list = handles();
    const auto it
        = std::find_if(list.begin(), list.end(), [&](const auto &h) { return h.get() == handle; });
    if (it == list.end())
        return FT_INVALID_HANDLE;
    if (Chip *chip = live(it->get()))
        ++chip->apiCalls;
    list.erase(it);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_ResetDevice(void *handle)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    // The driver reads the chip from the moment it is open: what the chip
    // held is in the driver's queue by now, and a reset of the chip leaves it.
    pump(*call.h, Clock::now());
    call.chip->vendorOut(RequestReset, ResetSio, 0);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_Purge(void *handle, ULONG mask)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    const Clock::time_point now = Clock::now();
    if (mask & 1) {
        pump(*call.h, now);
        call.chip->purgeToHost(now);
        call.h->queue.clear();
        control(call.lock, *call.chip);
    }
    if ((mask & 2) && call.chip) {
        call.chip->purgeToLine(now);
        control(call.lock, *call.chip);
    }
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetBaudRate(void *handle, ULONG baud)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    uint16_t value = 0, index = 0;
    if (!baudRequest(baud, &value, &index))
        return FT_INVALID_BAUD_RATE;
    call.chip->vendorOut(RequestBaudRate, value, index);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetDataCharacteristics(void *handle, UCHAR wordLength,
                                                          UCHAR stopBits, UCHAR parity)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4)
        return FT_INVALID_PARAMETER;
    call.chip->vendorOut(RequestData, uint16_t(wordLength | parity << 8 | stopBits << 11), 0);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetFlowControl(void *handle, uint16_t flow, UCHAR xon,
                                                  UCHAR xoff)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (flow != 0 && flow != 0x100 && flow != 0x200 && flow != 0x400)
        return FT_INVALID_PARAMETER;
    call.chip->vendorOut(RequestFlowCtrl, uint16_t(xon | xoff << 8), flow);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetTimeouts(void *handle, ULONG readMs, ULONG writeMs)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    call.h->readTimeoutMs = readMs;
    call.h->writeTimeoutMs = writeMs;
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetLatencyTimer(void *handle, UCHAR ms)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (ms == 0 || ms < call.chip->latencyFloorMs)
        return FT_INVALID_PARAMETER;
    call.chip->vendorOut(RequestSetLatency, ms, 0);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetLatencyTimer(void *handle, UCHAR *ms)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (!ms)
        return FT_INVALID_PARAMETER;
    call.chip->vendorIn(RequestGetLatency, 0, ms, 1);
    control(call.lock, *call.chip);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetUSBParameters(void *handle, ULONG inSize, ULONG)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    // A multiple of 64 bytes from 64 to 64 kB; the emulated driver takes
    // every packet as it comes, whatever the size.
    return inSize >= 64 && inSize <= 65536 && inSize % 64 == 0 ? FT_OK : FT_INVALID_PARAMETER;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_SetChars(void *handle, UCHAR eventChar, UCHAR eventEnabled,
                                            UCHAR errorChar, UCHAR errorEnabled)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    call.chip->vendorOut(RequestEventChar, uint16_t(eventChar | (eventEnabled ? 0x100 : 0)), 0);
    call.chip->vendorOut(RequestErrorChar, uint16_t(errorChar | (errorEnabled ? 0x100 : 0)), 0);
    control(call.lock, *call.chip, 2);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_Write(void *handle, void *buffer, DWORD count, DWORD *written)
{
    Call call(handle);
    if (written)
        *written = 0;
    if (call.status() != FT_OK)
        return call.status();
    if (!buffer || !written)
        return FT_INVALID_PARAMETER;
    ++call.chip->bulkTransfers;
    int sent = 0;
    Handle *h = call.h;
    const int result = ft232r::sendPackets(
        call.lock, [&] { return live(known(h)); }, static_cast<const uint8_t *>(buffer), int(count),
        ft232r::deadlineAfter(h->writeTimeoutMs), &sent);
    *written = DWORD(sent);
    Chip *chip = live(known(h));
    if (chip && chip->unplugAfterBulk >= 0 && chip->bulkTransfers >= chip->unplugAfterBulk)
        chip->unplug();
    return result == ft232r::TransferNoDevice ? FT_IO_ERROR : FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_Read(void *handle, void *buffer, DWORD count, DWORD *received)
{
    Call call(handle);
    if (received)
        *received = 0;
    if (call.status() != FT_OK)
        return call.status();
    if (!buffer || !received)
        return FT_INVALID_PARAMETER;
    ++call.chip->bulkTransfers;
    Handle *h = call.h;
    const Clock::time_point deadline = ft232r::deadlineAfter(h->readTimeoutMs);
    while (true) {
        Chip *chip = live(known(h));
        if (!chip)
            return FT_IO_ERROR;
        const Clock::time_point now = Clock::now();
        pump(*h, now);
        if (h->queue.size() >= count || now >= deadline)
            break;
        ft232r::sleepUntil(call.lock, std::min(chip->nextPacketAt(now), deadline));
    }
    const DWORD got = std::min<DWORD>(count, DWORD(h->queue.size()));
    std::copy_n(h->queue.begin(), got, static_cast<uint8_t *>(buffer));
    h->queue.erase(h->queue.begin(), h->queue.begin() + got);
    *received = got;
    Chip *chip = live(h);
    if (chip && chip->unplugAfterBulk >= 0 && chip->bulkTransfers >= chip->unplugAfterBulk)
        chip->unplug();
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetQueueStatus(void *handle, DWORD *rxBytes)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (!rxBytes)
        return FT_INVALID_PARAMETER;
    pump(*call.h, Clock::now());
    *rxBytes = DWORD(call.h->queue.size());
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetStatus(void *handle, DWORD *rxBytes, DWORD *txBytes,
                                             DWORD *events)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (!rxBytes || !txBytes || !events)
        return FT_INVALID_PARAMETER;
    const Clock::time_point now = Clock::now();
    pump(*call.h, now);
    *rxBytes = DWORD(call.h->queue.size());
    const Chip &chip = *call.chip;
    const int64_t gone = chip.lineFreeAt() <= now
        ? chip.lineChars
        : (now - chip.lineEpoch).count() / std::max<int64_t>(1, chip.charSpan(1).count());
    *txBytes = DWORD(std::max<int64_t>(0, chip.lineChars - gone));
    *events = 0;
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetModemStatus(void *handle, ULONG *status)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (!status)
        return FT_INVALID_PARAMETER;
    pump(*call.h, Clock::now());
    // Modem lines are not emulated (CTS, DSR, RI, DCD clear); the line
    // status byte holds the errors seen since the last look.
    *status = ULONG(call.h->lineStatus) << 8;
    call.h->lineStatus = 0;
    return FT_OK;
}

#ifndef D2XX_DOUBLE_WITHOUT_READEE // a library that lacks it, for the station's tests
D2XX_EXPORT FT_STATUS D2XX_CALL FT_ReadEE(void *handle, DWORD wordOffset, WORD *value)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (!value || wordOffset > 0x7F)
        return FT_INVALID_PARAMETER;
    uint8_t bytes[2] = {};
    call.chip->vendorIn(RequestReadEeprom, uint16_t(wordOffset), bytes, 2);
    *value = WORD(bytes[0] | bytes[1] << 8);
    control(call.lock, *call.chip);
    return FT_OK;
}
#endif

D2XX_EXPORT FT_STATUS D2XX_CALL FT_WriteEE(void *handle, DWORD wordOffset, WORD value)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    if (wordOffset > 0x7F)
        return FT_INVALID_PARAMETER;
    call.chip->vendorOut(RequestWriteEeprom, value, uint16_t(wordOffset));
    ft232r::dump();
    control(call.lock, *call.chip, 1, call.chip->eepromWriteCost);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetDeviceInfo(void *handle, ULONG *type, DWORD *id,
                                                 char *serialNumber, char *description, void *)
{
    Call call(handle);
    if (call.status() != FT_OK)
        return call.status();
    const ft232r::Enumeration &e = call.chip->enumerated;
    if (type)
        *type = DeviceFt232r;
    if (id)
        *id = DWORD(e.vendorId) << 16 | e.productId;
    if (serialNumber)
        copyString(e.strings[2], serialNumber, 16);
    if (description)
        copyString(e.strings[1], description, 64);
    return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_CALL FT_GetLibraryVersion(DWORD *version)
{
    if (!version)
        return FT_INVALID_PARAMETER;
    *version = LibraryVersion;
    return FT_OK;
}

// --- control of the double ---------------------------------------------------

namespace {

std::string &lastError()
{
    static auto *text = new std::string;
    return *text;
}

template<typename F> int withChip(const char *name, F f)
{
    Lock lock(bench().mutex);
    Chip *chip = ft232r::findChip(name);
    return chip ? f(*chip) : -1;
}

} // namespace

D2XX_EXPORT int d2xx_double_load(const char *json)
{
    Lock lock(bench().mutex);
    bench().loaded = true;
    handles().clear();
    listed().clear();
    lastError().clear();
    return ft232r::loadBench(QByteArray(json), &lastError()) ? 0 : -1;
}

D2XX_EXPORT const char *d2xx_double_error(void)
{
    return lastError().c_str();
}

D2XX_EXPORT int d2xx_double_eeprom(const char *name, unsigned char image[128])
{
    return withChip(name, [&](Chip &chip) {
        std::memcpy(image, chip.eeprom.data(), ft232r::ImageBytes);
        return 0;
    });
}

D2XX_EXPORT int d2xx_double_line(const char *name, int *baud, int *bits, int *stopBits, int *parity)
{
    return withChip(name, [&](Chip &chip) {
        *baud = chip.baud;
        *bits = chip.bits;
        *stopBits = chip.stopBits;
        *parity = chip.parity;
        return 0;
    });
}

D2XX_EXPORT int d2xx_double_latency(const char *name)
{
    return withChip(name, [](Chip &chip) { return chip.latencyMs; });
}

D2XX_EXPORT int d2xx_double_settings(const char *name, int *flowControl, int *eventChar,
                                     int *errorChar, int *eepromWriteLatency)
{
    return withChip(name, [&](Chip &chip) {
        return ft232r::settingsOf(chip, flowControl, eventChar, errorChar, eepromWriteLatency);
    });
}

D2XX_EXPORT int d2xx_double_counters(const char *name, int *controlTransfers, int *eepromWordsRead,
                                     int *eepromWordsWritten)
{
    return withChip(name, [&](Chip &chip) {
        *controlTransfers = chip.controlTransfers;
        *eepromWordsRead = chip.eepromWordsRead;
        *eepromWordsWritten = chip.eepromWordsWritten;
        return 0;
    });
}

D2XX_EXPORT int d2xx_double_calls(const char *name)
{
    return withChip(name, [](Chip &chip) { return chip.apiCalls; });
}

D2XX_EXPORT int d2xx_double_open_handles(void)
{
    Lock lock(bench().mutex);
    return int(handles().size());
}

D2XX_EXPORT void d2xx_double_unplug(const char *name)
{
    withChip(name, [](Chip &chip) { return chip.unplug(), 0; });
}

D2XX_EXPORT void d2xx_double_plug(const char *name)
{
    withChip(name, [](Chip &chip) { return ft232r::plug(chip), 0; });
}
