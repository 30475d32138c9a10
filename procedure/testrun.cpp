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
    RunRecord record(runCount);
    logMessage(QStringLiteral("Test run %1 started %2")
                   .arg(runCount)
                   .arg(QDateTime::currentDateTime().toString(Qt::TextDate)));

    // Each step runs, is recorded, then logged: a refresh inside
    // logMessage may change the lists the next step reads.
    record.startStep();
    const QString found = findDevices();
    record.chipsFound(serialList);
    record.step(QStringLiteral("find"), found, failCode);
    logMessage(QStringLiteral("Finding devices... ") + found);

    record.startStep();
    const QString opened = openDevices();
    record.step(QStringLiteral("open"), opened, failCode);
    logMessage(QStringLiteral("Initializing devs... ") + opened);
    // A failed programming logs, and so may let a refresh run; the list's
    // size is read again before every pass.
    for (int i = 0; i < handleList.size(); ++i) {
        record.startStep();
        const QString programmed = programDescription(handleList.at(i));
        record.step(QStringLiteral("program"), programmed, failCode);
        logMessage(QStringLiteral("Programming devices... ") + programmed);
    }
    record.startStep();
    const QString txRx = testTransfer(0, 1);
    record.step(QStringLiteral("TX/RX"), txRx, failCode);
    logMessage(QStringLiteral("Testing device TX/RX... ") + txRx);
    record.startStep();
    const QString rxTx = testTransfer(1, 0);
    record.step(QStringLiteral("RX/TX"), rxTx, failCode);
    logMessage(QStringLiteral("Testing device RX/TX... ") + rxTx);
    record.startStep();
    const QString closed = closeDevices();
    record.step(QStringLiteral("close"), closed, failCode);
    logMessage(QStringLiteral("Closing devices... ") + closed);

    if (testPassed) {
        form->passed->setStyleSheet(QStringLiteral("background-color:green;color:white;"));
        form->passed->setText(QStringLiteral("PASSED"));
        logMessage(QStringLiteral("TEST PASSED"));
    } else {
        form->passed->setStyleSheet(QStringLiteral("background-color:red;color:white;"));
        form->passed->setText(QStringLiteral("FAILED"));
        logMessage(QStringLiteral("TEST FAILED (%1)").arg(failCode));
    }
    // Shown as an unsaved log line is; the verdict stands either way.
    const QByteArray line = record.finish(testPassed, testPassed ? 0 : failCode);
    if (!RunRecord::save(line)) {
        const QString text = QString::fromUtf8(line.trimmed());
        appendPlainParagraph(form->log,
                             text
                                 + QStringLiteral(" (error opening file TestingRecords.jsonl for "
                                                  "writing, record not saved.)"));
        appendPlainParagraph(form->log, text);
    }
    form->startTest->setEnabled(true);
}
