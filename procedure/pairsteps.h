#pragma once

#include "device/devicelibrary.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class RunRecord;

// The steps of a run on one pair of chips and the run's state, written once
// for the station's window and for each socket of a fixture. Where a step
// says what it did, it says it through logMessage().
class PairSteps {
public:
    explicit PairSteps(DeviceLibrary &library) : library(library) { }
    virtual ~PairSteps() = default;
    PairSteps(const PairSteps &) = delete;
    PairSteps &operator=(const PairSteps &) = delete;

    virtual void logMessage(const QString &text) = 0;

    QString openDevices();
    QString closeDevices();
    QString programDescription(DeviceHandle handle);
    QString testTransfer(qint32 from, qint32 to);

    // The steps of a run in their order, each timed into `runRecord` and
    // logged; `find` is the first, and fills serialList.
    void runSteps(RunRecord &runRecord, const std::function<QString()> &find);
    // "TEST PASSED", or "TEST FAILED (code)".
    QString verdictLine() const;

protected:
    void recordFailure(qint32 code);
    bool configureDevice(DeviceHandle handle);

    QStringList serialList;
    // When it holds a location for each serial number, the chips open by
    // their USB location instead (a fixture may hold chips that share one).
    QList<quint32> locationList;
    QList<DeviceHandle> handleList;
    bool testPassed = false;
    qint32 failCode = 0;
    DeviceLibrary &library;
    RunRecord *record = nullptr; // the run's, while one runs
};
