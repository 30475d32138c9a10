#include "device/displaytext.h"

#include <cstring>

QString latin1Field(const char *field, int size)
{
    const void *terminator = std::memchr(field, '\0', size_t(size));
    const int length = terminator ? int(static_cast<const char *>(terminator) - field) : size;
    return QString::fromLatin1(field, length);
}

QString displayText(const QString &deviceText)
{
    QString shown;
    shown.reserve(deviceText.size());
    for (const QChar c : deviceText) {
        const ushort code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            shown += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
