#include "shipping/refusedrecords.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace refusedrecords {

QString fileOf(const QString &journal)
{
    return journal + QStringLiteral(".refused");
}

QList<Entry> read(const QString &journal)
{
    QList<Entry> entries;
    QFile file(fileOf(journal));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    while (!file.atEnd()) {
        const QJsonObject o = QJsonDocument::fromJson(file.readLine()).object();
        if (!o.value(QLatin1String("key")).toString().isEmpty())
            entries << Entry { o.value(QLatin1String("key")).toString(),
                               o.value(QLatin1String("reason")).toString(),
                               o.value(QLatin1String("at")).toString(),
                               o.value(QLatin1String("line")).toString().toUtf8() };
    }
    return entries;
}

bool append(const QString &journal, const Entry &entry)
{
    QFile file(fileOf(journal));
    const QJsonObject o { { QStringLiteral("key"), entry.key },
                          { QStringLiteral("reason"), entry.reason },
                          { QStringLiteral("at"), entry.at },
                          { QStringLiteral("line"), QString::fromUtf8(entry.line) } };
    return file.open(QIODevice::Append)
        && file.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n') > 0 && file.flush();
}

QString listing(const QList<Entry> &entries)
{
    QString text;
    for (const Entry &e : entries)
        text += e.key + QStringLiteral("  ") + e.at + QStringLiteral("  ") + e.reason
            + QLatin1Char('\n');
    return text;
}

} // namespace refusedrecords
