#include "app/mw.h"
#include "app/mwform.h"
#include "log/logview.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

const QString LogFileName = QStringLiteral("TestingLog.txt");

// Appends one line to the log file; true only when the line reached the
// file, so a failed write or close counts like a failed open.
bool appendToLogFile(const QString &text)
{
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

} // namespace

void MW::logMessage(const QString &text)
{
    if (appendToLogFile(text)) {
        appendPlainParagraph(form->log, text);
    } else {
        appendPlainParagraph(form->log,
                             text
                                 + QStringLiteral(" (error opening file TestingLog.txt for "
                                                  "writing, log not saved.)"));
        appendPlainParagraph(form->log, text);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
