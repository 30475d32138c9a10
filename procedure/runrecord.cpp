#include "procedure/runrecord.h"

#include <QFile>
#include <QJsonDocument>
#include <QMutex>
#include <QSysInfo>
#include <QUuid>

namespace {

// The platform's own: Windows tools take CR LF; the file is opened without
// text-mode translation either way.
#ifdef Q_OS_WIN
const QByteArray LineEnd = QByteArrayLiteral("\r\n");
#else
const QByteArray LineEnd = QByteArrayLiteral("\n");
#endif

QString &backendName()
{
    static QString name = QStringLiteral("unknown");
    return name;
}

QString &stationName()
{
    static QString name = QSysInfo::machineHostName();
    return name;
}

// ISO 8601 with the offset spelled out, +00:00 included.
QString isoWithOffset(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void RunRecord::setBackend(const QString &backend)
{
    backendName() = backend;
}

void RunRecord::setStation(const QString &station)
{
    stationName() = station;
}

QString RunRecord::station()
{
    return stationName();
}

RunRecord::RunRecord(int run)
    : run(run), id(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      started(QDateTime::currentDateTime())
{
    clock.start();
    stepClock.start();
}

RunRecord::~RunRecord() = default;

void RunRecord::startStep()
{
    stepClock.restart();
}

void RunRecord::step(const QString &name, const QString &result, qint32 failCodeAfter)
{
    steps.append(
        QJsonObject { { QStringLiteral("step"), name },
                      { QStringLiteral("result"), result },
                      { QStringLiteral("durationMs"), double(stepClock.nsecsElapsed()) / 1e6 },
                      { QStringLiteral("failCode"), failCodeAfter } });
}

void RunRecord::socket(const QString &label, const QString &location)
{
    socketLabel = label;
    socketLocation = location;
}

void RunRecord::chipsFound(const QStringList &serials)
{
    chips.clear();
    for (const QString &serial : serials)
        chips.append(Chip { serial, nullptr, QJsonValue::Null, QJsonValue::Null, {} });
}

RunRecord::Chip *RunRecord::chipWith(DeviceHandle handle)
{
    for (Chip &chip : chips) {
        if (handle && chip.handle == handle)
            return &chip;
    }
    return nullptr;
}

void RunRecord::opened(const QString &serial, DeviceHandle handle)
{
    for (Chip &chip : chips) {
        if (chip.serial == serial && !chip.handle) {
            chip.handle = handle;
            return;
        }
    }
}

void RunRecord::descriptionRead(DeviceHandle handle, const QString &description)
{
    if (Chip *chip = chipWith(handle))
        chip->descriptionRead = description;
}

void RunRecord::programmed(DeviceHandle handle, bool ok)
{
    if (Chip *chip = chipWith(handle))
        chip->programmed = ok;
}

void RunRecord::eepromAfterRestore(DeviceHandle handle, EepromAfterRestore state)
{
    static const char *const names[]
        = { "", "old image", "new image", "neither image", "unreadable" };
    if (Chip *chip = chipWith(handle))
        chip->eepromAfterRestore = QLatin1String(names[int(state)]);
}

void RunRecord::mismatch(qint32 from, qint32 to, quint32 block, quint32 offset, quint8 sent,
                         quint8 received)
{
    mismatchFound = QJsonObject { { QStringLiteral("direction"),
                                    from == 0 && to == 1 ? QStringLiteral("TX/RX")
                                                         : QStringLiteral("RX/TX") },
                                  { QStringLiteral("block"), qint64(block) },
                                  { QStringLiteral("offset"), qint64(offset) },
                                  { QStringLiteral("sent"), sent },
                                  { QStringLiteral("received"), received } };
}

QByteArray RunRecord::finish(bool passed, qint32 failCode)
{
    QJsonArray chipList;
    for (const Chip &chip : chips) {
        QJsonObject entry { { QStringLiteral("serial"), chip.serial },
                            { QStringLiteral("deviceType"), qint64(DeviceTypeFt232r) },
                            { QStringLiteral("descriptionRead"), chip.descriptionRead },
                            { QStringLiteral("programmed"), chip.programmed } };
        if (!chip.eepromAfterRestore.isEmpty())
            entry.insert(QStringLiteral("eepromAfterRestore"), chip.eepromAfterRestore);
        chipList.append(entry);
    }
    QJsonObject record { { QStringLiteral("schema"), SchemaVersion },
                         { QStringLiteral("id"), id },
                         { QStringLiteral("station"), stationName() },
                         { QStringLiteral("run"), run },
                         { QStringLiteral("start"), isoWithOffset(started) },
                         { QStringLiteral("end"), isoWithOffset(QDateTime::currentDateTime()) },
                         { QStringLiteral("durationMs"), double(clock.nsecsElapsed()) / 1e6 },
                         { QStringLiteral("version"), QStringLiteral(ZELOR_VERSION) },
                         { QStringLiteral("host"), QSysInfo::machineHostName() },
                         { QStringLiteral("backend"), backendName() },
                         { QStringLiteral("chips"), chipList },
                         { QStringLiteral("steps"), steps },
                         { QStringLiteral("verdict"),
                           passed ? QStringLiteral("PASSED") : QStringLiteral("FAILED") },
                         { QStringLiteral("failCode"), failCode } };
    if (!mismatchFound.isEmpty())
        record.insert(QStringLiteral("mismatch"), mismatchFound);
    if (!socketLabel.isEmpty()) {
        record.insert(QStringLiteral("socket"), socketLabel);
        record.insert(QStringLiteral("location"), socketLocation);
    }
    // Compact JSON escapes every control character: the record stays one line.
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + LineEnd;
}

bool RunRecord::save(const QByteArray &line)
{
    // One write of the whole line: a station killed mid-record tears at most
    // the last line, and the next record starts on a line of its own.
    static QMutex journalLock;
    const QMutexLocker locker(&journalLock);
    QFile file(FileName);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return false;
    char last = '\n';
    if (file.size() > 0 && (!file.seek(file.size() - 1) || !file.getChar(&last)))
        return false;
    const QByteArray bytes = last == '\n' ? line : LineEnd + line;
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}
