#include "app/mw.h"
#include "app/mwform.h"
#include "log/logview.h"
#include "procedure/runrecord.h"

#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

void MW::on_startTest_clicked()
{
    testPassed = true;
    failCode = 0;
    form->passed->setStyleSheet(QStringLiteral("background-color:black;color:white;"));
    form->passed->setText(QStringLiteral("TESTING IN PROGRESS..."));
    form->startTest->setEnabled(false);
    ++runCount;
    form->log->clear();
    RunRecord runRecord(runCount);
    record = &runRecord;
    logMessage(QStringLiteral("Test run %1 started %2")
                   .arg(runCount)
                   .arg(QDateTime::currentDateTime().toString(Qt::TextDate)));

    runSteps(runRecord, [&] {
        const QString found = findDevices();
        runRecord.chipsFound(serialList);
        return found;
    });

    if (testPassed) {
        form->passed->setStyleSheet(QStringLiteral("background-color:green;color:white;"));
        form->passed->setText(QStringLiteral("PASSED"));
        logMessage(verdictLine());
    } else {
        form->passed->setStyleSheet(QStringLiteral("background-color:red;color:white;"));
        form->passed->setText(QStringLiteral("FAILED"));
        logMessage(verdictLine());
    }
    // Shown as an unsaved log line is; the verdict stands either way.
    const QByteArray line = runRecord.finish(testPassed, testPassed ? 0 : failCode);
    record = nullptr;
    const bool journaled = RunRecord::save(line);
    if (!journaled) {
        const QString text = QString::fromUtf8(line.trimmed());
        appendPlainParagraph(form->log,
                             text
                                 + QStringLiteral(" (error opening file TestingRecords.jsonl for "
                                                  "writing, record not saved.)"));
        appendPlainParagraph(form->log, text);
    }
    if (recordSink)
        recordSink(line, journaled);
    form->startTest->setEnabled(true);
}
