#include "sockets/wiringprobe.h"

#include <QRandomGenerator>

#include <thread>
#include <vector>

namespace wiringprobe {

namespace {

constexpr quint8 Marker1 = 0xA5;
constexpr quint8 Marker2 = 0x5A;

quint8 crc8(const QByteArray &bytes)
{
    quint8 crc = 0;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = quint8(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// The indexes of the tokens that `bytes` is made of, in order; false when
// it is anything but whole tokens of this probe.
bool tokensIn(const QByteArray &bytes, quint8 nonce, int chips, QList<int> *indexes)
{
    if (bytes.size() % TokenSize != 0)
        return false;
    for (int at = 0; at < bytes.size(); at += TokenSize) {
        const QByteArray one = bytes.mid(at, TokenSize);
        const int index = quint8(one[3]);
        if (one != token(nonce, index) || index >= chips)
            return false;
        indexes->append(index);
    }
    return true;
}

} // namespace

QByteArray token(quint8 nonce, int index)
{
    QByteArray bytes;
    bytes.append(char(Marker1)).append(char(Marker2)).append(char(nonce));
    bytes.append(char(quint8(index))).append(char(quint8(~index)));
    bytes.append(char(crc8(bytes)));
    return bytes;
}

QList<ChipWiring> classify(const QList<QByteArray> &heard, const QList<bool> &opened, quint8 nonce)
{
    const int n = int(heard.size());
    QList<ChipWiring> result(n);
    QList<int> single(n, -1); // the one chip each heard, if just one
    for (int i = 0; i < n; ++i) {
        QList<int> indexes;
        if (!opened.value(i))
            result[i].wiring = Wiring::NotOpened;
        else if (heard[i].isEmpty())
            result[i].wiring = Wiring::HearsNothing;
        else if (!tokensIn(heard[i], nonce, n, &indexes))
            result[i].wiring = Wiring::Garbled;
        else if (indexes.size() > 1)
            result[i].wiring = Wiring::HearsSeveral;
        else if (indexes.first() == i)
            result[i].wiring = Wiring::HearsItself;
        else
            single[i] = indexes.first();
    }
    for (int i = 0; i < n; ++i) {
        const int j = single[i];
        if (j < 0)
            continue;
        if (single[j] == i) {
            result[i] = { Wiring::Paired, j };
        } else if (result[j].wiring == Wiring::HearsNothing || result[j].wiring == Wiring::OneWay) {
            // j's transmitter reaches i, but nothing reaches j: a broken line.
            result[i] = { Wiring::OneWay, j, true };
            if (result[j].wiring == Wiring::HearsNothing)
                result[j] = { Wiring::OneWay, i, false };
        } else {
            result[i] = { Wiring::OneWay, j, true }; // j hears someone else
        }
    }
    return result;
}

} // namespace wiringprobe

namespace {

constexpr quint32 BaudRate = 1000000;
constexpr quint32 DrainMs = 5;
constexpr quint32 WriteTimeoutMs = 500;
constexpr quint32 ReadSize = 64;

// Reads what arrives within `timeoutMs`, at most `limit` bytes.
QByteArray drain(DeviceLibrary &library, DeviceHandle handle, quint32 timeoutMs, int limit)
{
    QByteArray heard;
    if (library.setTimeouts(handle, timeoutMs, WriteTimeoutMs) != DeviceStatusCode::Ok)
        return heard;
    char buffer[ReadSize];
    quint32 received = 0;
    while (heard.size() < limit
           && library.read(handle, buffer, ReadSize, &received) == DeviceStatusCode::Ok
           && received > 0) {
        heard.append(buffer, int(std::min<quint32>(received, ReadSize)));
        if (received < ReadSize)
            break;
    }
    return heard;
}

// On every handle at once, each in a thread of its own.
template<typename Work> void onEach(int count, Work work)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(work, i);
    for (std::thread &thread : threads)
        thread.join();
}

} // namespace

QList<ChipWiring> probeWiring(DeviceLibrary &library, const QList<FixtureChip> &chips)
{
    const int n = int(std::min<qsizetype>(chips.size(), wiringprobe::MaxChips));
    QList<DeviceHandle> handles(n, nullptr);
    QList<bool> opened(n, false);
    for (int i = 0; i < n; ++i) {
        const char *where = reinterpret_cast<const char *>(quintptr(chips[i].location));
        opened[i] = chips[i].location != 0
            && library.open(where, OpenByLocation, &handles[i]) == DeviceStatusCode::Ok;
        if (opened[i]
            && (library.setBaudRate(handles[i], BaudRate) != DeviceStatusCode::Ok
                || library.setDataCharacteristics(handles[i], WordLength8, StopBits1, ParityNone)
                    != DeviceStatusCode::Ok)) {
            library.close(handles[i]);
            opened[i] = false;
        }
    }
    const quint8 nonce = quint8(QRandomGenerator::global()->bounded(256));
    QList<QByteArray> heard(n);
    // Whatever an earlier user left in the buffers is not heard.
    onEach(n, [&](int i) {
        if (opened[i])
            drain(library, handles[i], DrainMs, 1 << 16);
    });
    for (int i = 0; i < n; ++i) {
        const QByteArray token = wiringprobe::token(nonce, i);
        quint32 written = 0;
        if (opened[i])
            library.write(handles[i], token.constData(), quint32(token.size()), &written);
    }
    onEach(n, [&](int i) {
        if (opened[i])
            heard[i]
                = drain(library, handles[i], wiringprobe::ListenMs, wiringprobe::TokenSize * 4);
    });
    // Nothing of the probe is left for the run: its open clears the buffers
    // again, and what a chip still held is read away here.
    onEach(n, [&](int i) {
        if (opened[i])
            drain(library, handles[i], DrainMs, 1 << 16);
    });
    for (int i = 0; i < n; ++i) {
        if (opened[i])
            library.close(handles[i]);
    }
    return wiringprobe::classify(heard, opened, nonce);
}

QString wiringText(const ChipWiring &wiring, const QStringList &names)
{
    const QString partner = names.value(wiring.partner);
    switch (wiring.wiring) {
    case Wiring::Paired: return QStringLiteral("paired with %1").arg(partner);
    case Wiring::OneWay:
        return wiring.hearsPartner
            ? QStringLiteral("hears %1, which does not hear it: the line to %1 is broken")
                  .arg(partner)
            : QStringLiteral("is heard by %1 but does not hear it").arg(partner);
    case Wiring::HearsItself:
        return QStringLiteral("hears itself (a loopback plug, or TX shorted to RX)");
    case Wiring::HearsSeveral:
        return QStringLiteral("hears more than one chip (a short between sockets)");
    case Wiring::Garbled:
        return QStringLiteral("hears garbled bytes (a short between sockets, or noise)");
    case Wiring::HearsNothing: return QStringLiteral("hears nothing (no partner, or a dead line)");
    case Wiring::NotOpened: return QStringLiteral("could not be opened");
    }
    return QString();
}
