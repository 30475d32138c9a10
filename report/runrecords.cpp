#include "report/runrecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cmath>

namespace yieldreport {

namespace {

QString why(const QString &name, int line, const QString &reason)
{
    return QStringLiteral("%1:%2: skipped: %3").arg(name, QString::number(line), reason);
}

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
    else if (!duration.isDouble() || !std::isfinite(duration.toDouble()) || duration.toDouble() < 0)
        *reason = QStringLiteral("no valid duration");
    else if (verdict != QLatin1String("PASSED") && verdict != QLatin1String("FAILED"))
        *reason = QStringLiteral("no verdict");
    else if (!o.value(QLatin1String("failCode")).isDouble())
        *reason = QStringLiteral("no failure code");
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
    if (serials.size() < 2)
        return QString();
    QStringList sorted = serials;
    sorted.sort();
    return sorted.join(QLatin1Char('\n'));
}

QList<Run> parse(const QByteArray &text, const QString &name, QStringList *problems)
{
    QList<Run> runs;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QString reason;
        Run run;
        if (!document.isObject())
            reason = i + 1 == lines.size() ? QStringLiteral("torn last line")
                                           : QStringLiteral("not JSON: ") + error.errorString();
        else if (readRun(document.object(), &run, &reason))
            run.id = idOf(document.object(), line);
        if (reason.isEmpty())
            runs << run;
        else
            *problems << why(name, int(i + 1), reason);
    }
    return runs;
}

} // namespace yieldreport
