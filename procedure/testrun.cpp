#include "app/mw.h"
#include "app/mwform.h"

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
    logMessage(QStringLiteral("Test run %1 started %2")
                   .arg(runCount)
                   .arg(QDateTime::currentDateTime().toString(Qt::TextDate)));

    logMessage(QStringLiteral("Finding devices... ") + findDevices());
    logMessage(QStringLiteral("Initializing devs... ") + openDevices());
    // A failed programming logs, and so may let a refresh run; the list's
    // size is read again before every pass.
    for (int i = 0; i < handleList.size(); ++i)
        logMessage(QStringLiteral("Programming devices... ")
                   + programDescription(handleList.at(i)));
    logMessage(QStringLiteral("Testing device TX/RX... ") + testTransfer(0, 1));
    logMessage(QStringLiteral("Testing device RX/TX... ") + testTransfer(1, 0));
    logMessage(QStringLiteral("Closing devices... ") + closeDevices());

    if (testPassed) {
        form->passed->setStyleSheet(QStringLiteral("background-color:green;color:white;"));
        form->passed->setText(QStringLiteral("PASSED"));
        logMessage(QStringLiteral("TEST PASSED"));
    } else {
        form->passed->setStyleSheet(QStringLiteral("background-color:red;color:white;"));
        form->passed->setText(QStringLiteral("FAILED"));
        logMessage(QStringLiteral("TEST FAILED (%1)").arg(failCode));
    }
    form->startTest->setEnabled(true);
}
