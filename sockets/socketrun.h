#pragma once

#include "procedure/pairsteps.h"
#include "sockets/fixturelayout.h"

#include <QByteArray>

#include <functional>

// One socket's run: the whole procedure of a run on its pair, in the thread
// that calls run(). Its log lines go to TestingLog.txt with the socket's
// label ahead of each line, and to `say` for its tile.
class SocketRun : public PairSteps {
public:
    // A line as logged, and whether it reached the log file.
    using Say = std::function<void(const QString &line, bool saved)>;

    SocketRun(DeviceLibrary &library, const FixtureSocket &socket, int run, Say say);

    void logMessage(const QString &text) override;
    // The record's line once the run is over.
    QByteArray run();
    bool passed() const { return testPassed; }
    qint32 code() const { return testPassed ? 0 : failCode; }

private:
    FixtureSocket socket;
    int number;
    Say say;
};
