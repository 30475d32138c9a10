#include "log/debugtrace.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(stationTrace, "zelor.trace")

// Through the category, so QT_LOGGING_RULES="zelor.trace=false" silences the
// station's traces and nothing else.
DebugTrace::~DebugTrace()
{
    if (stationTrace().isDebugEnabled())
        QMessageLogger(nullptr, 0, nullptr, stationTrace().categoryName()).debug().noquote()
            << message;
}

DebugTrace &DebugTrace::operator<<(const QString &item)
{
    message += item;
    message += QLatin1Char(' ');
    return *this;
}

DebugTrace &DebugTrace::operator<<(const char *item)
{
    return *this << QString::fromUtf8(item);
}

DebugTrace &DebugTrace::operator<<(qint64 item)
{
    return *this << QString::number(item);
}
