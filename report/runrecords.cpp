#include "report/runrecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUuid>

#include <cmath>

namespace yieldreport {

namespace {

QString why(const QString &name, int line, const QString &reason)
{
    return QStringLiteral("%1:%2: skipped: %3").arg(name, QString::number(line), reason);
}

// The codes of the failure table.
bool tableCode(const QJsonValue &code)
{
    static const QList<double> codes { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20 };
    return code.isDouble() && codes.contains(code.toDouble());
}

// As the line database checks a record's chips: at most 64, each with a
// serial number of at most 64 characters and no line break (a pair is
// keyed by its two serial numbers, one a line).
bool chipsFit(const QJsonValue &chips)
{
    if (chips.isUndefined())
        return true;
    if (!chips.isArray() || chips.toArray().size() > 64)
        return false;
    for (const QJsonValue &chip : chips.toArray()) {
        const QJsonValue serial = chip.toObject().value(QLatin1String("serial"));
        if (!serial.isString() || serial.toString().size() > MaxLabelLength
            || serial.toString().contains(QLatin1Char('\n')))
            return false;
    }
    return true;
}

// A record is taken as the line database takes it, refused for what it
// refuses.
bool readRun(const QJsonObject &o, Run *run, QString *reason)
{
    const QJsonValue duration = o.value(QLatin1String("durationMs"));
    const QString verdict = o.value(QLatin1String("verdict")).toString();
    run->start = o.value(QLatin1String("start")).toString();
    run->startTime = QDateTime::fromString(run->start, Qt::ISODateWithMs);
    if (o.value(QLatin1String("schema")).toInt() != 1)
        *reason = QStringLiteral("not a record of schema 1");
    else if (!run->startTime.isValid())
        *reason = QStringLiteral("no valid start");
    else if (!duration.isDouble() || !std::isfinite(duration.toDouble()) || duration.toDouble() < 0
             || duration.toDouble() >= MaxDurationMs)
        *reason = QStringLiteral("no cycle time from 0 to a day");
    else if (verdict != QLatin1String("PASSED") && verdict != QLatin1String("FAILED"))
        *reason = QStringLiteral("no verdict");
    else if (!o.value(QLatin1String("failCode")).isDouble())
        *reason = QStringLiteral("no failure code");
    else if (!tableCode(o.value(QLatin1String("failCode"))))
        *reason = QStringLiteral("no failure code of the table");
    else if (!chipsFit(o.value(QLatin1String("chips"))))
        *reason = QStringLiteral("a chip without a serial number of at most 64 characters "
                                 "on one line");
    else if (const QJsonValue socket = o.value(QLatin1String("socket")); !socket.isUndefined()
             && (!socket.isString() || socket.toString().size() > MaxLabelLength))
        *reason = QStringLiteral("a socket label that is not text of at most 64 characters");
    if (!reason->isEmpty())
        return false;
    run->run = o.value(QLatin1String("run")).toInt();
    run->end = o.value(QLatin1String("end")).toString();
    run->durationMs = duration.toDouble();
    run->host = o.value(QLatin1String("host")).toString();
    run->backend = o.value(QLatin1String("backend")).toString();
    run->passed = verdict == QLatin1String("PASSED");
    run->failCode = o.value(QLatin1String("failCode")).toInt();
    for (const QJsonValue &chip : o.value(QLatin1String("chips")).toArray())
        run->serials << chip.toObject().value(QLatin1String("serial")).toString();
    run->station = o.value(QLatin1String("station")).toString(run->host);
    run->socket = o.value(QLatin1String("socket")).toString();
    return true;
}

// Records written before they had an id get one derived from their line: the
// same line always gets the same id.
QString idOf(const QJsonObject &o, const QByteArray &line)
{
    static const QUuid namespaceId(QStringLiteral("6f1d2a52-9f0e-4c1e-9a43-3d1b0c7e5a10"));
    const QUuid id(o.value(QLatin1String("id")).toString());
    return (id.isNull() ? QUuid::createUuidV5(namespaceId, line.trimmed()) : id)
        .toString(QUuid::WithoutBraces);
}

} // namespace

QString Run::pair() const
{
    if (serials.size() != 2)
        return QString();
    QStringList sorted = serials;
    sorted.sort();
    return sorted.join(QLatin1Char('\n'));
}

QList<Run> parse(const QByteArray &text, const QString &name, QStringList *problems)
{
    QList<Run> runs;
    // The texts most runs share (station, host, backend, socket) held once.
    QSet<QString> shared;
    auto once = [&shared](QString *text) { *text = *shared.insert(*text); };
    int number = 0;
    for (qsizetype from = 0; from < text.size();) {
        qsizetype end = text.indexOf('\n', from);
        const bool last = end < 0;
        if (last)
            end = text.size();
        const QByteArray line = text.sliced(from, end - from);
        from = end + 1;
        ++number;
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QString reason;
        Run run;
        if (!document.isObject())
            reason = last ? QStringLiteral("torn last line")
                          : QStringLiteral("not JSON: ") + error.errorString();
        else if (readRun(document.object(), &run, &reason))
            run.id = idOf(document.object(), line);
        if (!reason.isEmpty()) {
            *problems << why(name, number, reason);
            continue;
        }
        for (QString *text : { &run.station, &run.host, &run.backend, &run.socket })
            once(text);
        runs << run;
    }
    return runs;
}

} // namespace yieldreport
