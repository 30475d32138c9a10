#include "log/debugtrace.h"

#include <QtGlobal>

DebugTrace::~DebugTrace()
{
    qt_message_output(QtDebugMsg, QMessageLogContext(), message);
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
