#include "app/mw.h"
#include "app/mwform.h"
#include "log/logfile.h"
#include "log/logview.h"

#include <QCoreApplication>

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
