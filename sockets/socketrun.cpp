#include "sockets/socketrun.h"

#include "log/logfile.h"
#include "procedure/runrecord.h"

SocketRun::SocketRun(DeviceLibrary &library, const FixtureSocket &socket, int run, Say say)
    : PairSteps(library), socket(socket), number(run), say(std::move(say))
{
}

void SocketRun::logMessage(const QString &text)
{
    // Every line of the text carries the label, so no line of the log is
    // without its socket.
    const QString prefix = QLatin1Char('[') + socket.label + QStringLiteral("] ");
    QString line = prefix + text;
    for (int at = line.indexOf(QLatin1Char('\n')); at >= 0 && at + 1 < line.size();
         at = line.indexOf(QLatin1Char('\n'), at + 1))
        line.insert(at + 1, prefix);
    say(line, appendToLogFile(line));
}

QByteArray SocketRun::run()
{
    testPassed = true;
    failCode = 0;
    RunRecord runRecord(number);
    record = &runRecord;
    runRecord.socket(socket.label, socket.key);
    runSteps(runRecord, [&] {
        QString listing;
        for (const FixtureChip &chip : socket.chips) {
            serialList << chip.serial;
            locationList << chip.location;
            listing += chip.listed;
        }
        runRecord.chipsFound(serialList);
        return QStringLiteral("OK ") + listing;
    });
    logMessage(verdictLine());
    record = nullptr;
    return runRecord.finish(testPassed, code());
}
