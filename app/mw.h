#pragma once

#include "device/devicelibrary.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>

class MwForm;
class QTimer;
class RunRecord;

// The station's main window and the owner of all its state. The device
// library is given by the caller and must outlive the window.
class MW : public QMainWindow {
    Q_OBJECT

public:
    explicit MW(DeviceLibrary &library, QWidget *parent = nullptr);
    ~MW() override;

    void logMessage(const QString &text);
    // The "Closing app" line, once: from the destructor, or earlier when the
    // session ends and the process may not live to destroy the window.
    void logClosing();

    QString findDevices();
    QString openDevices();
    QString closeDevices();
    QString programDescription(DeviceHandle handle);
    QString testTransfer(qint32 from, qint32 to);

    // Called with each run's record line once it is in the journal
    // (`journaled`), or could not be saved there.
    using RecordSink = std::function<void(const QByteArray &line, bool journaled)>;
    void setRecordSink(RecordSink sink) { recordSink = std::move(sink); }

private slots:
    void on_startTest_clicked();
    void timeout();

private:
    void recordFailure(qint32 code);
    bool configureDevice(DeviceHandle handle);

    friend class StationProbe;
    friend class PlugInStart;

    MwForm *form;
    QStringList serialList;
    QList<DeviceHandle> handleList;
    bool testPassed = false;
    qint32 failCode;
    QTimer *refreshTimer;
    qint32 runCount;
    DeviceLibrary &library;
    bool closingLogged = false;
    RunRecord *record = nullptr; // the run's, while one runs
    RecordSink recordSink;
};
