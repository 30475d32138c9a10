#include "procedure/pairsteps.h"

#include "procedure/runrecord.h"

void PairSteps::runSteps(RunRecord &runRecord, const std::function<QString()> &find)
{
    // Each step runs, is recorded, then logged: a refresh inside
    // logMessage may change the lists the next step reads.
    auto step = [&](const QString &name, const QString &prefix, auto &&run) {
        runRecord.startStep();
        const QString result = run();
        runRecord.step(name, result, failCode);
        logMessage(prefix + result);
    };
    step(QStringLiteral("find"), QStringLiteral("Finding devices... "), find);
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
}

QString PairSteps::verdictLine() const
{
    return testPassed ? QStringLiteral("TEST PASSED")
                      : QStringLiteral("TEST FAILED (%1)").arg(failCode);
}

void PairSteps::recordFailure(qint32 code)
{
    testPassed = false;
    failCode = code;
}
