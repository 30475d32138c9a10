#include "log/logfile.h"

#include <QFile>
#include <QMutex>
#include <QTextStream>

namespace {

const QString LogFileName = QStringLiteral("TestingLog.txt");

QMutex &logFileLock()
{
    static QMutex lock;
    return lock;
}

} // namespace

bool appendToLogFile(const QString &text)
{
    const QMutexLocker locker(&logFileLock());
    QFile file(LogFileName);
    if (!file.open(QIODevice::Append))
        return false;
    bool saved;
    {
        QTextStream stream(&file);
        stream << text + QStringLiteral("\r\n");
        stream.flush();
        saved = stream.status() == QTextStream::Ok && file.flush();
    }
    file.close();
    return saved && file.error() == QFileDevice::NoError;
}
