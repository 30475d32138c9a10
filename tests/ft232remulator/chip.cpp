#include "chip.h"

#include <algorithm>
#include <cstring>

namespace ft232r {

namespace {

enum : uint8_t {
    RequestReset = 0x00,
    RequestModemCtrl = 0x01,
    RequestFlowCtrl = 0x02,
    RequestBaudRate = 0x03,
    RequestData = 0x04,
    RequestModemStatus = 0x05,
    RequestEventChar = 0x06,
    RequestErrorChar = 0x07,
    RequestSetLatency = 0x09,
    RequestGetLatency = 0x0A,
    RequestBitMode = 0x0B,
    RequestReadPins = 0x0C,
    RequestReadEeprom = 0x90,
    RequestWriteEeprom = 0x91,
};

enum : uint16_t { ResetSio = 0, PurgeToHost = 1, PurgeToLine = 2 };

// Modem status (first byte: bit 0 always set, CTS, DSR) and line status
// (second byte: THRE and TEMT while nothing waits to go out, OE after an overrun).
constexpr uint8_t ModemStatusByte = 0x01;
constexpr uint8_t LineIdle = 0x60;
constexpr uint8_t OverrunError = 0x02;

constexpr uint8_t LanguageTable[] = { 4, usb::DtString, 0x09, 0x04 }; // US English

int decodeBaudRate(uint16_t value, uint16_t index)
{
    static const int eighths[8] = { 0, 4, 2, 1, 3, 5, 6, 7 };
    const int whole = value & 0x3FFF;
    const int code = (value >> 14) | ((index & 1) << 2);
    if (whole == 0 && code == 0)
        return 3000000;
    if (whole == 1 && code == 0)
        return 2000000;
    const int divisor8 = whole * 8 + eighths[code];
    return (3000000 * 8 + divisor8 / 2) / divisor8;
}

int copyOut(const std::vector<uint8_t> &bytes, uint8_t *data, uint16_t length)
{
    const int count = std::min(int(bytes.size()), int(length));
    if (count > 0)
        std::memcpy(data, bytes.data(), size_t(count));
    return count;
}

} // namespace

uint16_t imageWord(const Image &image, int word)
{
    return uint16_t(image[size_t(2 * word)] | image[size_t(2 * word + 1)] << 8);
}

uint16_t imageChecksum(const Image &image)
{
    uint16_t sum = 0xAAAA;
    for (int word = 0; word < ImageWords - 1; ++word) {
        sum ^= imageWord(image, word);
        sum = uint16_t((sum << 1) | (sum >> 15));
    }
    return sum;
}

Image factoryImage(const std::string &manufacturer, const std::string &product,
                   const std::string &serial)
{
    Image image {};
    const uint8_t header[]
        = { 0x00, 0x40, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0xA0, 45, 0x08, 0x00, 0x00, 0x02 };
    std::copy(std::begin(header), std::end(header), image.begin());
    int at = 0x18;
    const std::string *strings[] = { &manufacturer, &product, &serial };
    for (int s = 0; s < 3; ++s) {
        const int length = 2 + 2 * int(strings[s]->size());
        image[size_t(0x0E + 2 * s)] = uint8_t(0x80 | at);
        image[size_t(0x0F + 2 * s)] = uint8_t(length);
        image[size_t(at)] = uint8_t(length);
        image[size_t(at + 1)] = usb::DtString;
        for (size_t i = 0; i < strings[s]->size(); ++i)
            image[size_t(at) + 2 + 2 * i] = uint8_t((*strings[s])[i]);
        at += length;
    }
    image[size_t(at)] = 0x02;
    image[size_t(at + 1)] = 0x03;
    image[0x14] = 0x23; // CBUS0 TXLED#, CBUS1 RXLED#
    image[0x15] = 0x10; // CBUS2 TXDEN, CBUS3 PWREN#
    image[0x16] = 0x05; // CBUS4 SLEEP#
    const uint16_t sum = imageChecksum(image);
    image[ImageBytes - 2] = uint8_t(sum);
    image[ImageBytes - 1] = uint8_t(sum >> 8);
    return image;
}

bool Enumeration::operator==(const Enumeration &o) const
{
    return vendorId == o.vendorId && productId == o.productId && attributes == o.attributes
        && maxPower == o.maxPower && strings == o.strings;
}

Enumeration Chip::enumeration() const
{
    Enumeration e;
    if (imageChecksum(eeprom) != imageWord(eeprom, ImageWords - 1))
        return e; // built-in defaults: FTDI's IDs and no strings at all
    e.vendorId = imageWord(eeprom, 1);
    e.productId = imageWord(eeprom, 2);
    e.attributes = eeprom[0x08];
    e.maxPower = eeprom[0x09];
    for (int s = 0; s < 3; ++s) {
        const int offset = eeprom[size_t(0x0E + 2 * s)] & 0x7F;
        const int length = std::min(int(eeprom[size_t(0x0F + 2 * s)]), ImageBytes - offset);
        if (length >= 2)
            e.strings[size_t(s)].assign(eeprom.begin() + offset, eeprom.begin() + offset + length);
    }
    if (!(eeprom[0x0A] & 0x08) || noSerial)
        e.strings[2].clear();
    return e;
}

void Chip::plugIn(int newAddress)
{
    const Clock::time_point now = Clock::now();
    enumerated = enumeration();
    plugged = true;
    address = newAddress;
    kernelDriver = true;
    claimedBy = nullptr;
    configuration = 1;
    remoteWakeupEnabled = false;
    latencyMs = 16;
    eventChar = 0;
    eventCharEnabled = false;
    errorChar = 0;
    errorCharEnabled = false;
    flowControl = 0;
    baud = 9600;
    bits = 8;
    stopBits = 0;
    parity = 0;
    lineEpoch = lastPacket = now;
    lineChars = 0;
    inFlight.clear();
    held.clear();
    overrun = false;
    if (plugListener)
        plugListener(*this, true);
}

void Chip::unplug()
{
    const bool was = plugged;
    plugged = false;
    claimedBy = nullptr;
    inFlight.clear();
    held.clear();
    if (was && plugListener)
        plugListener(*this, false);
}

std::vector<uint8_t> deviceDescriptor(const Enumeration &e)
{
    auto index = [&](int s, uint8_t i) { return uint8_t(e.strings[size_t(s)].empty() ? 0 : i); };
    return { usb::DtDeviceSize,
             usb::DtDevice,
             0x00,
             0x02, // USB 2.0
             0,
             0,
             0,
             8, // control endpoint packet size
             uint8_t(e.vendorId),
             uint8_t(e.vendorId >> 8),
             uint8_t(e.productId),
             uint8_t(e.productId >> 8),
             0x00,
             0x06, // release 6.00: an FT232R
             index(0, 1),
             index(1, 2),
             index(2, 3),
             1 };
}

std::vector<uint8_t> configDescriptor(const Enumeration &e)
{
    const uint8_t total = usb::DtConfigSize + usb::DtInterfaceSize + 2 * usb::DtEndpointSize;
    return { usb::DtConfigSize,
             usb::DtConfig,
             total,
             0,
             1,
             1,
             0,
             e.attributes,
             e.maxPower,
             usb::DtInterfaceSize,
             usb::DtInterface,
             0,
             0,
             2,
             0xFF,
             0xFF,
             0xFF,
             uint8_t(e.strings[1].empty() ? 0 : 2),
             usb::DtEndpointSize,
             usb::DtEndpoint,
             0x81,
             usb::TransferTypeBulk,
             PacketSize,
             0,
             0,
             usb::DtEndpointSize,
             usb::DtEndpoint,
             0x02,
             usb::TransferTypeBulk,
             PacketSize,
             0,
             0 };
}

int Chip::standardRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                          uint8_t *data, uint16_t length)
{
    const int recipient = requestType & 0x1F;
    const bool in = requestType & usb::EndpointIn;
    const bool knownEndpoint = index == 0 || index == 0x81 || index == 0x02;
    switch (request) {
    case usb::RequestGetStatus: {
        if (!in || (recipient == usb::RecipientEndpoint && !knownEndpoint))
            return usb::ErrorPipe;
        uint8_t status = 0;
        if (recipient == usb::RecipientDevice)
            status
                = uint8_t((enumerated.attributes & 0x40 ? 1 : 0) | (remoteWakeupEnabled ? 2 : 0));
        return copyOut({ status, 0 }, data, length);
    }
    case usb::RequestClearFeature:
    case usb::RequestSetFeature:
        if (recipient == usb::RecipientDevice && value == 1 && (enumerated.attributes & 0x20)) {
            remoteWakeupEnabled = request == usb::RequestSetFeature;
            return 0;
        }
        return recipient == usb::RecipientEndpoint && value == 0 && knownEndpoint ? 0
                                                                                  : usb::ErrorPipe;
    case usb::RequestGetDescriptor: {
        if (!in)
            return usb::ErrorPipe;
        const int type = value >> 8, number = value & 0xFF;
        if (type == usb::DtDevice)
            return copyOut(deviceDescriptor(enumerated), data, length);
        if (type == usb::DtConfig && number == 0)
            return copyOut(configDescriptor(enumerated), data, length);
        if (type == usb::DtString && number == 0)
            return copyOut({ std::begin(LanguageTable), std::end(LanguageTable) }, data, length);
        if (type == usb::DtString && number <= 3 && !enumerated.strings[size_t(number - 1)].empty())
            return copyOut(enumerated.strings[size_t(number - 1)], data, length);
        return usb::ErrorPipe;
    }
    case usb::RequestGetConfiguration:
        return in ? copyOut({ uint8_t(configuration) }, data, length) : usb::ErrorPipe;
    case usb::RequestSetConfiguration:
        if (in || value > 1)
            return usb::ErrorPipe;
        configuration = value;
        return 0;
    case usb::RequestGetInterface:
        return in && index == 0 && configuration ? copyOut({ 0 }, data, length) : usb::ErrorPipe;
    case usb::RequestSetInterface:
        return !in && index == 0 && value == 0 && configuration ? 0 : usb::ErrorPipe;
    default: return usb::ErrorPipe; // SET_ADDRESS, SET_DESCRIPTOR, SYNCH_FRAME
    }
}

int Chip::vendorOut(uint8_t request, uint16_t value, uint16_t index)
{
    const Clock::time_point now = Clock::now();
    switch (request) {
    case RequestReset:
        if (value == ResetSio)
            resetSerialEngine(now);
        else if (value == PurgeToHost)
            purgeToHost(now);
        else if (value == PurgeToLine)
            purgeToLine(now);
        return 0;
    case RequestBaudRate:
    case RequestData:
        // What is still going out keeps its timing.
        lineEpoch = std::max(lineFreeAt(), now);
        lineChars = 0;
        if (request == RequestBaudRate) {
            baud = decodeBaudRate(value, index);
        } else {
            bits = value & 0xFF;
            parity = (value >> 8) & 0x07;
            stopBits = (value >> 11) & 0x03;
        }
        return 0;
    case RequestSetLatency:
        if ((value & 0xFF) == 0)
            return usb::ErrorPipe;
        latencyMs = std::max(value & 0xFF, latencyFloorMs);
        return 0;
    case RequestWriteEeprom:
        ++eepromWordsWritten;
        eepromWriteLatencyMs = latencyMs;
        if (index >= ImageWords || ignoresEepromWrites || eepromWordsWritten == dropsEepromWrite)
            return 0; // the factory words are read-only
        if (clone) {
            storeEepromWord(index, value);
        } else if (index % 2 == 0) {
            eepromLatch = value;
        } else {
            storeEepromWord(index - 1, eepromLatch);
            storeEepromWord(index, value);
        }
        return 0;
    case RequestEventChar:
        eventChar = uint8_t(value);
        eventCharEnabled = value & 0x100;
        return 0;
    case RequestErrorChar:
        errorChar = uint8_t(value);
        errorCharEnabled = value & 0x100;
        return 0;
    case RequestFlowCtrl: flowControl = index & 0xFF00; return 0;
    case RequestModemCtrl:
    case RequestBitMode: return 0;
    default: return usb::ErrorPipe;
    }
}

int Chip::vendorIn(uint8_t request, uint16_t index, uint8_t *data, uint16_t length)
{
    switch (request) {
    case RequestModemStatus: {
        const uint8_t line = lineFreeAt() <= Clock::now() ? LineIdle : 0;
        return length < 2 ? usb::ErrorOverflow : copyOut({ ModemStatusByte, line }, data, 2);
    }
    case RequestGetLatency:
        return length < 1 ? usb::ErrorOverflow : copyOut({ uint8_t(latencyMs) }, data, 1);
    case RequestReadPins: return length < 1 ? usb::ErrorOverflow : copyOut({ 0xFF }, data, 1);
    case RequestReadEeprom: {
        if (length < 2)
            return usb::ErrorOverflow;
        ++eepromWordsRead;
        const int word = index & 0x7F;
        const uint16_t stored
            = word < ImageWords ? imageWord(eeprom, word) : factory[size_t(word - ImageWords)];
        return copyOut({ uint8_t(stored), uint8_t(stored >> 8) }, data, 2);
    }
    default: return usb::ErrorPipe;
    }
}

void Chip::storeEepromWord(int word, uint16_t value)
{
    const uint16_t stored = andOnWrite ? uint16_t(imageWord(eeprom, word) & value) : value;
    eeprom[size_t(2 * word)] = uint8_t(stored);
    eeprom[size_t(2 * word + 1)] = uint8_t(stored >> 8);
}

int Chip::bitsPerChar() const
{
    return 1 + bits + (parity ? 1 : 0) + (stopBits == 0 ? 1 : 2);
}

Nanos Chip::charSpan(int64_t chars) const
{
    return Nanos(int64_t(__int128(chars) * bitsPerChar() * 1000000000 / baud));
}

Clock::time_point Chip::roomFor(int count) const
{
    const int64_t mustHaveLeft = lineChars - (ToLineBufferBytes - count);
    return mustHaveLeft <= 0 ? lineEpoch : lineEpoch + charSpan(mustHaveLeft);
}

bool Chip::sameLineAs(const Chip &o) const
{
    return baud == o.baud && bits == o.bits && stopBits == o.stopBits && parity == o.parity;
}

void Chip::sendToLine(const uint8_t *data, int count, Clock::time_point now)
{
    if (lineFreeAt() <= now) {
        lineEpoch = now;
        lineChars = 0;
    }
    for (int i = 0; i < count; ++i) {
        const Clock::time_point started = lineEpoch + charSpan(lineChars);
        ++lineChars;
        const Clock::time_point at = lineEpoch + charSpan(lineChars);
        if (lineDeadAfterBytes >= 0 && bytesSent++ >= lineDeadAfterBytes)
            continue;
        for (Chip *hearer : hearers) {
            if (hearer->plugged)
                hearer->hear(
                    { sameLineAs(*hearer) ? data[i] : uint8_t(~data[i]), at, started, this });
        }
    }
}

// Two transmitters driving one idle-high line at once: a 0 bit of either
// wins, so the receiver sees one character, the AND of both.
void Chip::hear(const Arrival &arrival)
{
    for (auto it = inFlight.rbegin(); it != inFlight.rend() && it->at > arrival.started; ++it) {
        if (it->from != arrival.from && it->started < arrival.at) {
            it->byte &= arrival.byte;
            return;
        }
    }
    inFlight.push_back(arrival);
}

void Chip::settle(Clock::time_point now)
{
    while (!inFlight.empty() && inFlight.front().at <= now) {
        if (int(held.size()) < ToHostBufferBytes)
            held.push_back(inFlight.front().byte);
        else
            overrun = true; // the byte is lost
        inFlight.pop_front();
    }
}

Clock::time_point Chip::nextPacketAt(Clock::time_point now)
{
    settle(now);
    const size_t held = this->held.size();
    if (held >= size_t(PacketData))
        return now;
    const Clock::time_point flush = lastPacket + std::chrono::milliseconds(latencyMs);
    const size_t missing = size_t(PacketData) - held;
    const Clock::time_point full
        = inFlight.size() >= missing ? inFlight[missing - 1].at : Clock::time_point::max();
    return std::max(now, std::min({ flush, full, eventCharAt() }));
}

int Chip::takePacket(uint8_t *out, int count, Clock::time_point now)
{
    out[0] = ModemStatusByte;
    out[1] = uint8_t((lineFreeAt() <= now ? LineIdle : 0) | (overrun ? OverrunError : 0));
    overrun = false;
    for (int i = 0; i < count; ++i) {
        out[2 + i] = held.front();
        held.pop_front();
    }
    lastPacket = now;
    return 2 + count;
}

Clock::time_point Chip::eventCharAt() const
{
    if (!eventCharEnabled)
        return Clock::time_point::max();
    if (std::find(held.begin(), held.end(), eventChar) != held.end())
        return Clock::time_point::min();
    for (const Arrival &a : inFlight) {
        if (a.byte == eventChar)
            return a.at;
    }
    return Clock::time_point::max();
}

void Chip::purgeToHost(Clock::time_point now)
{
    settle(now);
    held.clear();
    overrun = false;
}

void Chip::purgeToLine(Clock::time_point now)
{
    if (lineFreeAt() <= now)
        return;
    // The character in the shift register still goes out; the rest do not.
    const int64_t sinceEpoch = (now - lineEpoch).count();
    const int64_t inShifter
        = int64_t(__int128(sinceEpoch) * baud / (int64_t(bitsPerChar()) * 1000000000)) + 1;
    const Clock::time_point freeAt = lineEpoch + charSpan(inShifter);
    for (Chip *hearer : hearers) {
        auto &wire = hearer->inFlight;
        wire.erase(
            std::remove_if(wire.begin(), wire.end(),
                           [&](const Arrival &a) { return a.from == this && a.started >= freeAt; }),
            wire.end());
    }
    lineEpoch = freeAt;
    lineChars = 0;
}

void Chip::resetSerialEngine(Clock::time_point now)
{
    // Purges both buffers, turns flow control and the event character off
    // (the character becomes 0x0D); the baud rate, the data format, the
    // latency timer and the error character stay as they are.
    purgeToHost(now);
    purgeToLine(now);
    flowControl = 0;
    eventChar = 0x0D;
    eventCharEnabled = false;
}

} // namespace ft232r
