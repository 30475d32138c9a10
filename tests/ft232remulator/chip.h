#pragma once

// One emulated FT232R: its EEPROM, what it enumerates with, its answers to
// control requests and its serial engine with the chip's two buffers. The
// facts each part relies on, with their sources, are in README.md.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct libusb_device_handle;

namespace ft232r {

// The USB values the chip answers with: chapter 9 of USB 2.0, and the
// error codes of libusb-1.0 (libusb.h) that a
// control request returns instead of a byte count.
namespace usb {
enum : uint8_t {
    DtDevice = 1,
    DtConfig = 2,
    DtString = 3,
    DtInterface = 4,
    DtEndpoint = 5,
    DtDeviceSize = 18,
    DtConfigSize = 9,
    DtInterfaceSize = 9,
    DtEndpointSize = 7,
    RequestGetStatus = 0,
    RequestClearFeature = 1,
    RequestSetFeature = 3,
    RequestGetDescriptor = 6,
    RequestGetConfiguration = 8,
    RequestSetConfiguration = 9,
    RequestGetInterface = 10,
    RequestSetInterface = 11,
    EndpointIn = 0x80,
    RecipientDevice = 0,
    RecipientEndpoint = 2,
    TransferTypeBulk = 2,
};
enum : int { ErrorOverflow = -8, ErrorPipe = -9 };
} // namespace usb

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

constexpr int ImageBytes = 128; // the configuration image: 64 words, checksum last
constexpr int ImageWords = ImageBytes / 2;
constexpr int FactoryWords = 64; // read-only words 0x40 to 0x7F, chip ID among them
constexpr int PacketSize = 64;
constexpr int PacketData = PacketSize - 2;
constexpr int ToLineBufferBytes = 128; // host to line
constexpr int ToHostBufferBytes = 256; // line to host

using Image = std::array<uint8_t, ImageBytes>;

uint16_t imageWord(const Image &image, int word);
uint16_t imageChecksum(const Image &image);
// An image as FTDI ships an FT232R: configuration, the three strings from
// 0x18, the two bytes that FTDI's tools write after them, the checksum.
Image factoryImage(const std::string &manufacturer, const std::string &product,
                   const std::string &serial);

// What the chip told the host when it was plugged in: read from the image
// once, as the chip reads its EEPROM only at power-up and port reset.
struct Enumeration {
    uint16_t vendorId = 0x0403, productId = 0x6001;
    uint8_t attributes = 0xA0, maxPower = 45;
    std::array<std::vector<uint8_t>, 3> strings; // raw string descriptors; empty: none
    bool operator==(const Enumeration &o) const;
    bool operator!=(const Enumeration &o) const { return !(*this == o); }
};

std::vector<uint8_t> deviceDescriptor(const Enumeration &e);
std::vector<uint8_t> configDescriptor(const Enumeration &e);

struct Arrival {
    uint8_t byte;
    Clock::time_point at; // the stop bit is through
    Clock::time_point started; // the start bit went out
    const struct Chip *from; // whose transmitter sent it
};

struct Chip;
// Told of every arrival and departure, as the host's USB stack would be,
// with the bench's lock held: a surface that tells its program (libusb's
// hotplug, Windows' device-change messages) queues it and returns.
inline void (*plugListener)(Chip &chip, bool arrived) = nullptr;

struct Chip {
    // From the bench.
    std::string name; // how the bench and the tests call it
    Image eeprom {};
    std::array<uint16_t, FactoryWords> factory {};
    bool cannotOpen = false;
    bool noSerial = false;
    // A clone that stores each EEPROM word as it comes; a genuine FT232R
    // stores whole 32-bit rows (words 2k and 2k + 1): an even word only fills
    // the row latch, and the odd word stores the row with the latch.
    bool clone = false;
    bool andOnWrite = false;
    bool ignoresEepromWrites = false;
    int dropsEepromWrite = -1; // this EEPROM word write (from 1) is acknowledged and lost
    int latencyFloorMs = 1; // the chip holds at least this latency
    int unplugAfterBulk = -1;
    int unplugAfterControl = -1;
    int unplugAfterCall = -1; // D2XX calls on the chip's handles
    // Its transmitter reaches nobody once it has sent this many bytes.
    int64_t lineDeadAfterBytes = -1;
    int64_t bytesSent = 0;
    Nanos controlCost {}, eepromWriteCost {};

    // Counted since the bench was loaded.
    int bulkTransfers = 0;
    int controlTransfers = 0;
    int eepromWordsRead = 0;
    int eepromWordsWritten = 0;
    int apiCalls = 0; // D2XX calls on the chip's handles

    // Since it was last plugged in.
    bool plugged = false;
    int address = 0;
    Enumeration enumerated;
    bool kernelDriver = true;
    libusb_device_handle *claimedBy = nullptr;
    int configuration = 1;
    bool remoteWakeupEnabled = false;
    int latencyMs = 16;
    uint8_t eventChar = 0;
    bool eventCharEnabled = false;
    uint8_t errorChar = 0;
    bool errorCharEnabled = false;
    uint16_t flowControl = 0; // the handshake bits of request 2: 0 none
    // The row latch: the even word last written. What it holds at power-up
    // is not known; erased EEPROM reads 0xFFFF.
    uint16_t eepromLatch = 0xFFFF;
    int eepromWriteLatencyMs = 0; // the latency at the last EEPROM write
    int baud = 9600, bits = 8, stopBits = 0, parity = 0;
    // Whose receivers this chip's transmitter drives: its partner, itself
    // through a loopback plug, or several through a short.
    std::vector<Chip *> hearers;
    // Where it sits on USB: its bus and the port of each hub from the root
    // (empty: one port, its place on the bench).
    int bus = 1;
    std::vector<uint8_t> ports;

    // Host to line: bytes leave one character time apart from `lineEpoch`
    // while the line stays busy, so the schedule does not drift.
    Clock::time_point lineEpoch {};
    int64_t lineChars = 0;
    // Line to host: on the wire, then held in the chip until the host reads.
    std::deque<Arrival> inFlight;
    std::deque<uint8_t> held;
    bool overrun = false;
    Clock::time_point lastPacket {};

    void plugIn(int newAddress);
    void unplug();
    Enumeration enumeration() const;

    // Control requests; a negative result is a libusb error code.
    int standardRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        uint8_t *data, uint16_t length);
    int vendorOut(uint8_t request, uint16_t value, uint16_t index);
    int vendorIn(uint8_t request, uint16_t index, uint8_t *data, uint16_t length);

    // The serial engine.
    Nanos charSpan(int64_t chars) const;
    Clock::time_point lineFreeAt() const { return lineEpoch + charSpan(lineChars); }
    // When `count` more bytes fit the host-to-line buffer.
    Clock::time_point roomFor(int count) const;
    void sendToLine(const uint8_t *data, int count, Clock::time_point now);
    void hear(const Arrival &arrival);
    void settle(Clock::time_point now); // arrivals up to now into the buffer, or lost
    // When the chip next sends a packet to the host, `now` at the latest if
    // one is due: 62 bytes held, the latency timer run out since the last
    // packet, or the event character in.
    Clock::time_point nextPacketAt(Clock::time_point now);
    // The packet the chip answers an IN token with: status bytes and `count` bytes.
    int takePacket(uint8_t *out, int count, Clock::time_point now);
    // When the chip sends what it holds at once: the event character has
    // come in (AN232B-04), or `max` when it is off or not on its way.
    Clock::time_point eventCharAt() const;
    void purgeToHost(Clock::time_point now);
    void purgeToLine(Clock::time_point now);
    void resetSerialEngine(Clock::time_point now);

private:
    void storeEepromWord(int word, uint16_t value);
    bool sameLineAs(const Chip &o) const;
    int bitsPerChar() const;
};

} // namespace ft232r
