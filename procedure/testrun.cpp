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

    // Each step runs, is recorded, then logged: a refresh inside
    // logMessage may change the lists the next step reads.
    auto step = [&](const QString &name, const QString &prefix, auto &&run) {
        runRecord.startStep();
        const QString result = run();
        runRecord.step(name, result, failCode);
        logMessage(prefix + result);
    };
    step(QStringLiteral("find"), QStringLiteral("Finding devices... "), [&] {
        const QString found = findDevices();
        runRecord.chipsFound(serialList);
        return found;
    });
    step(QStringLiteral("open"), QStringLiteral("Initializing devs... "),
         [&] { return openDevices(); });
    // A failed programming logs, and so may let a refresh run; the list's
    // size is read again before every pass.
    for (int i = 0; i < handleList.size(); ++i)
        step(QStringLiteral("program"), QStringLiteral("Programming devices... "),
             [&] { return programDescription(handleList.at(i)); });
    step(QStringLiteral("TX/RX"), QStringLiteral("Testing device TX/RX... "),
         [&] { return testTransfer(0, 1); });
    step(QStringLiteral("RX/TX"), QStringLiteral("Testing device RX/TX... "),
         [&] { return testTransfer(1, 0); });
    step(QStringLiteral("close"), QStringLiteral("Closing devices... "),
         [&] { return closeDevices(); });

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
