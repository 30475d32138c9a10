#include "device/d2xx/d2xxdevicelibrary.h"

#include "device/chipeeprom.h"
#include "device/latencytimer.h"
#include "log/debugtrace.h"

#include <QFileInfo>

#include <algorithm>

using namespace d2xx;

namespace {

#if defined(Q_OS_WIN)
const char *const InstallHint
    = "install FTDI's CDM driver package (ftdichip.com, D2XX drivers), which puts ftd2xx.dll "
      "into the system folder";
#else
const char *const InstallHint
    = "install FTDI's D2XX driver for Linux (ftdichip.com, D2XX drivers), which puts "
      "libftd2xx.so into /usr/local/lib";
#endif

template<typename Function>
bool resolve(QLibrary &library, const char *name, Function *function, QString *missing)
{
    *function = reinterpret_cast<Function>(library.resolve(name));
    if (!*function && missing->isEmpty())
        *missing = QString::fromLatin1(name);
    return *function != nullptr;
}

QByteArray field(const char *text, size_t size)
{
    return QByteArray(text, int(qstrnlen(text, size)));
}

} // namespace

// FTDI's own EEPROM programmer sets this latency before it writes the
// EEPROM (libftdi1 traced it and does the same).
constexpr UCHAR EepromWriteLatency = 0x77;

// One open chip. Its EEPROM is reached word by word, written at FTDI's
// programming latency.
struct D2xxDeviceLibrary::Session : EepromWordAccess {
    Session(const Api &api, Handle chip, bool ft232r) : api(api), chip(chip), ft232r(ft232r) { }

    bool readWord(int index, quint16 *value) override
    {
        WORD word = 0;
        if (api.readEE(chip, DWORD(index), &word) != Ok)
            return false;
        *value = word;
        return true;
    }
    bool writeWord(int index, quint16 value) override
    {
        return api.writeEE(chip, DWORD(index), value) == Ok;
    }
    bool prepareWrite() override { return api.setLatencyTimer(chip, EepromWriteLatency) == Ok; }
    DeviceStatus finishWrite() override
    {
        latency = latencytimer::restore(setLatency(), getLatency(), latency);
        return Ok;
    }

    latencytimer::Set setLatency() const
    {
        return [this](quint8 ms) { return api.setLatencyTimer(chip, ms) == Ok; };
    }
    latencytimer::Get getLatency() const
    {
        return [this](quint8 *ms) { return api.getLatencyTimer(chip, ms) == Ok; };
    }

    const Api &api;
    Handle chip;
    bool ft232r; // the image editor knows the FT232R's EEPROM only
    quint8 latency = 0; // as settled on open; 0: unknown
    ChipEeprom eeprom { *this };
};

D2xxDeviceLibrary::D2xxDeviceLibrary(const QString &fileName) : library(fileName)
{
    ready = load();
    if (!ready)
        DebugTrace() << problemText;
}

D2xxDeviceLibrary::~D2xxDeviceLibrary()
{
    for (const auto &s : sessions)
        api.close(s->chip);
    sessions.clear();
}

bool D2xxDeviceLibrary::load()
{
    if (!library.load()) {
        problemText
            = QStringLiteral("FTDI's D2XX library %1 could not be loaded (%2): %3.")
                  .arg(library.fileName(), library.errorString(), QLatin1String(InstallHint));
        return false;
    }
    QString missing;
    QLibrary &l = library;
    const bool all = resolve(l, "FT_CreateDeviceInfoList", &api.createDeviceInfoList, &missing)
        & resolve(l, "FT_GetDeviceInfoList", &api.getDeviceInfoList, &missing)
        & resolve(l, "FT_OpenEx", &api.openEx, &missing)
        & resolve(l, "FT_Close", &api.close, &missing)
        & resolve(l, "FT_ResetDevice", &api.resetDevice, &missing)
        & resolve(l, "FT_Purge", &api.purge, &missing)
        & resolve(l, "FT_SetBaudRate", &api.setBaudRate, &missing)
        & resolve(l, "FT_SetDataCharacteristics", &api.setDataCharacteristics, &missing)
        & resolve(l, "FT_SetFlowControl", &api.setFlowControl, &missing)
        & resolve(l, "FT_SetTimeouts", &api.setTimeouts, &missing)
        & resolve(l, "FT_SetLatencyTimer", &api.setLatencyTimer, &missing)
        & resolve(l, "FT_GetLatencyTimer", &api.getLatencyTimer, &missing)
        & resolve(l, "FT_SetChars", &api.setChars, &missing)
        & resolve(l, "FT_Write", &api.write, &missing) & resolve(l, "FT_Read", &api.read, &missing)
        & resolve(l, "FT_GetQueueStatus", &api.getQueueStatus, &missing)
        & resolve(l, "FT_GetStatus", &api.getStatus, &missing)
        & resolve(l, "FT_GetModemStatus", &api.getModemStatus, &missing)
        & resolve(l, "FT_ReadEE", &api.readEE, &missing)
        & resolve(l, "FT_WriteEE", &api.writeEE, &missing)
        & resolve(l, "FT_GetDeviceInfo", &api.getDeviceInfo, &missing)
        & resolve(l, "FT_GetLibraryVersion", &api.getLibraryVersion, &missing);
    if (!all) {
        problemText = QStringLiteral("FTDI's D2XX library %1 lacks %2: %3.")
                          .arg(library.fileName(), missing, QLatin1String(InstallHint));
        return false;
    }
    DWORD number = 0;
    if (api.getLibraryVersion(&number) == Ok)
        version = QStringLiteral("%1.%2.%3")
                      .arg((number >> 16) & 0xFF, 0, 16)
                      .arg((number >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
                      .arg(number & 0xFF, 2, 16, QLatin1Char('0'));
    return true;
}

QString D2xxDeviceLibrary::name() const
{
    const QString file = QFileInfo(library.fileName()).fileName();
    if (!ready)
        return QStringLiteral("D2XX (%1, not loaded)").arg(file);
    return QStringLiteral("D2XX %1 (%2)")
        .arg(version.isEmpty() ? QStringLiteral("?") : version, file);
}

D2xxDeviceLibrary::Session *D2xxDeviceLibrary::session(DeviceHandle handle) const
{
    const std::lock_guard<std::mutex> lock(sessionsGuard);
    for (const auto &s : sessions) {
        if (s.get() == handle)
            return s.get();
    }
    return nullptr;
}

DeviceStatus D2xxDeviceLibrary::createDeviceInfoList(quint32 *count)
{
    if (!ready)
        return OtherError;
    DWORD number = 0;
    const Status status = api.createDeviceInfoList(&number);
    if (status != Ok)
        return status;
    created = number;
    *count = number;
    return Ok;
}

// The library's list as it made it last; its node count goes to `count`.
std::vector<ListNode> D2xxDeviceLibrary::list(quint32 *count)
{
    std::vector<ListNode> nodes(std::max<quint32>(created, 1), ListNode {});
    DWORD number = created;
    if (api.getDeviceInfoList(nodes.data(), &number) != Ok)
        number = 0;
    *count = std::min<quint32>(number, created);
    nodes.resize(*count);
    return nodes;
}

DeviceStatus D2xxDeviceLibrary::getDeviceInfoList(DeviceInfoRecord *list, quint32 capacity,
                                                  quint32 *count)
{
    if (!ready)
        return OtherError;
    quint32 listed = 0;
    const std::vector<ListNode> nodes = this->list(&listed);
    const quint32 written = std::min(capacity, listed);
    for (quint32 i = 0; i < written; ++i) {
        // The node is the record; its strings end within their fields.
        list[i] = nodes[i];
        list[i].handle = 0;
        list[i].serialNumber[sizeof list[i].serialNumber - 1] = '\0';
        list[i].description[sizeof list[i].description - 1] = '\0';
    }
    *count = written;
    return Ok;
}

// By serial number, unless other listed chips share it (as counterfeit
// chips often do): then by location, the first such chip not open yet, so
// that they open in turn.
Status D2xxDeviceLibrary::openChip(const QByteArray &serial, Handle *chip)
{
    quint32 count = 0;
    if (createDeviceInfoList(&count) != Ok)
        return DeviceNotFound;
    std::vector<ListNode> shared;
    for (const ListNode &node : list(&count)) {
        if (field(node.serialNumber, sizeof node.serialNumber) == serial)
            shared.push_back(node);
    }
    if (shared.size() > 1) {
        const auto free = std::find_if(shared.begin(), shared.end(), [&](const ListNode &node) {
            return !(node.flags & FlagOpened);
        });
        if (free == shared.end())
            return DeviceNotOpened;
        // A library that gives no locations is left to pick by serial number.
        if (free->locationId != 0)
            return api.openEx(reinterpret_cast<void *>(quintptr(free->locationId)),
                              d2xx::OpenByLocation, chip);
    }
    return api.openEx(const_cast<char *>(serial.constData()), d2xx::OpenBySerialNumber, chip);
}

// A known state whatever an earlier user left: the chip reset and its
// buffers empty, no flow control, no event or error character.
Status D2xxDeviceLibrary::configure(Handle chip)
{
    if (api.resetDevice(chip) != Ok || api.purge(chip, PurgeRx | PurgeTx) != Ok
        || api.setFlowControl(chip, FlowNone, 0x11, 0x13) != Ok
        || api.setChars(chip, 0, 0, 0, 0) != Ok)
        return IoError;
    return Ok;
}

DeviceStatus D2xxDeviceLibrary::open(const char *serialNumber, quint32 flags, DeviceHandle *handle)
{
    if (!ready)
        return DeviceNotOpened;
    const bool byLocation = flags == ::OpenByLocation;
    if (!byLocation && (flags != ::OpenBySerialNumber || !serialNumber))
        return InvalidParameter;
    const QByteArray serial = byLocation ? QByteArray() : QByteArray(serialNumber);
    if (!byLocation && serial.isEmpty())
        return DeviceNotFound;
    Handle chip = nullptr;
    const Status opened = byLocation
        ? api.openEx(const_cast<char *>(serialNumber), d2xx::OpenByLocation, &chip)
        : openChip(serial, &chip);
    if (opened != Ok)
        return opened;
    // The chip that opened must be the one asked for.
    ULONG type = 0;
    DWORD id = 0;
    char openedSerial[16] = {}, description[64] = {};
    if (api.getDeviceInfo(chip, &type, &id, openedSerial, description, nullptr) != Ok
        || (!byLocation && field(openedSerial, sizeof openedSerial) != serial)) {
        api.close(chip);
        return DeviceNotOpened;
    }
    auto s = std::make_unique<Session>(api, chip, type == d2xx::DeviceTypeFt232r);
    if (configure(chip) != Ok) {
        api.close(chip);
        return IoError;
    }
    s->latency = latencytimer::settle(s->setLatency(), s->getLatency());
    *handle = s.get();
    const std::lock_guard<std::mutex> lock(sessionsGuard);
    sessions.push_back(std::move(s));
    return Ok;
}

DeviceStatus D2xxDeviceLibrary::setBaudRate(DeviceHandle handle, quint32 baudRate)
{
    Session *s = session(handle);
    return s ? api.setBaudRate(s->chip, baudRate) : InvalidHandle;
}

DeviceStatus D2xxDeviceLibrary::setDataCharacteristics(DeviceHandle handle, quint8 wordLength,
                                                       quint8 stopBits, quint8 parity)
{
    Session *s = session(handle);
    return s ? api.setDataCharacteristics(s->chip, wordLength, stopBits, parity) : InvalidHandle;
}

DeviceStatus D2xxDeviceLibrary::setTimeouts(DeviceHandle handle, quint32 readTimeoutMs,
                                            quint32 writeTimeoutMs)
{
    Session *s = session(handle);
    return s ? api.setTimeouts(s->chip, readTimeoutMs, writeTimeoutMs) : InvalidHandle;
}

DeviceStatus D2xxDeviceLibrary::eepromRead(DeviceHandle handle, EepromData *data)
{
    Session *s = session(handle);
    if (!s)
        return InvalidHandle;
    return s->ft232r ? s->eeprom.read(data) : NotSupported;
}

DeviceStatus D2xxDeviceLibrary::eepromProgram(DeviceHandle handle, EepromData *data)
{
    Session *s = session(handle);
    if (!s)
        return InvalidHandle;
    return s->ft232r ? s->eeprom.program(data) : NotSupported;
}

EepromAfterRestore D2xxDeviceLibrary::eepromAfterRestore(DeviceHandle handle) const
{
    const Session *s = session(handle);
    return s ? s->eeprom.afterRestore() : EepromAfterRestore::NoRestore;
}

DeviceStatus D2xxDeviceLibrary::write(DeviceHandle handle, const void *buffer, quint32 count,
                                      quint32 *written)
{
    Session *s = session(handle);
    if (!s)
        return InvalidHandle;
    DWORD sent = 0;
    const Status status = api.write(s->chip, const_cast<void *>(buffer), count, &sent);
    *written = sent;
    if (status == Ok && sent < count) {
        DWORD rx = 0, tx = 0, events = 0;
        api.getStatus(s->chip, &rx, &tx, &events);
        DebugTrace() << "write of" << qint64(count) << "bytes took" << qint64(sent)
                     << "; queued to send" << qint64(tx);
    }
    return status;
}

DeviceStatus D2xxDeviceLibrary::read(DeviceHandle handle, void *buffer, quint32 count,
                                     quint32 *received)
{
    Session *s = session(handle);
    if (!s)
        return InvalidHandle;
    DWORD got = 0;
    const Status status = api.read(s->chip, buffer, count, &got);
    *received = got;
    if (status == Ok && got < count) {
        DWORD queued = 0;
        ULONG modem = 0;
        api.getQueueStatus(s->chip, &queued);
        api.getModemStatus(s->chip, &modem);
        DebugTrace() << "read of" << qint64(count) << "bytes got" << qint64(got)
                     << "in time; queued" << qint64(queued)
                     << ((modem & LineOverrunError) ? "; the chip lost bytes (overrun)" : "");
    }
    return status;
}

DeviceStatus D2xxDeviceLibrary::close(DeviceHandle handle)
{
    std::unique_ptr<Session> closing;
    {
        const std::lock_guard<std::mutex> lock(sessionsGuard);
        const auto found = std::find_if(sessions.begin(), sessions.end(),
                                        [&](const auto &s) { return s.get() == handle; });
        if (found == sessions.end())
            return InvalidHandle;
        closing = std::move(*found);
        sessions.erase(found); // the session is gone whether or not the chip was
    }
    return api.close(closing->chip);
}
