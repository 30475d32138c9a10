#pragma once

#include "device/devicelibrary.h"
#include "procedure/pairsteps.h"

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
class MW : public QMainWindow, public PairSteps {
    Q_OBJECT

public:
    explicit MW(DeviceLibrary &library, QWidget *parent = nullptr);
    ~MW() override;

    void logMessage(const QString &text) override;
    // The "Closing app" line, once: from the destructor, or earlier when the
    // session ends and the process may not live to destroy the window.
    void logClosing();

    QString findDevices();

    // Called with each run's record line once it is in the journal
    // (`journaled`), or could not be saved there.
    using RecordSink = std::function<void(const QByteArray &line, bool journaled)>;
    void setRecordSink(RecordSink sink) { recordSink = std::move(sink); }

private slots:
    void on_startTest_clicked();
    void timeout();

private:
    friend class StationProbe;
    friend class PlugInStart;

    MwForm *form;
    QTimer *refreshTimer;
    qint32 runCount;
    bool closingLogged = false;
    RecordSink recordSink;
};
