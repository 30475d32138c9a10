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
                               o.value(QLatin1String("line")).toString().toUtf8(),
                               o.value(QLatin1String("journal")).toString(),
                               o.value(QLatin1String("lineNumber")).toInteger() };
    }
    return entries;
}

bool append(const QString &journal, const Entry &entry)
{
    QFile file(fileOf(journal));
    const QJsonObject o { { QStringLiteral("key"), entry.key },
                          { QStringLiteral("reason"), entry.reason },
                          { QStringLiteral("at"), entry.at },
                          { QStringLiteral("line"), QString::fromUtf8(entry.line) },
                          { QStringLiteral("journal"), entry.journal },
                          { QStringLiteral("lineNumber"), entry.lineNumber } };
    return file.open(QIODevice::Append)
        && file.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n') > 0 && file.flush();
}

static QString escaped(const QString &text)
{
    QString shown;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString listing(const QList<Entry> &entries)
{
    QString text;
    for (const Entry &e : entries) {
        const QString where = e.lineNumber > 0
            ? QStringLiteral("%1:%2").arg(e.journal).arg(e.lineNumber)
            : QStringLiteral("-");
        text += escaped(e.key + QStringLiteral("  ") + e.at + QStringLiteral("  ") + where
                        + QStringLiteral("  ") + e.reason)
            + QLatin1Char('\n');
    }
    return text;
}

} // namespace refusedrecords
