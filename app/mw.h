#pragma once

#include "device/devicelibrary.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>

class MwForm;
class QTimer;

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

private slots:
    void on_startTest_clicked();
    void timeout();

private:
    void recordFailure(qint32 code);
    bool configureDevice(DeviceHandle handle);

    friend class StationProbe;

    MwForm *form;
    QStringList serialList;
    QList<DeviceHandle> handleList;
    bool testPassed = false;
    qint32 failCode;
    QTimer *refreshTimer;
    qint32 runCount;
    DeviceLibrary &library;
    bool closingLogged = false;
};
