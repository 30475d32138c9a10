#pragma once

// Shared helpers of the station's tests: access to MW's state, a capture of
// debug traces, and the log file and log view as lists of lines.

#include "app/mw.h"
#include "app/mwform.h"
#include "callerrecord.h"
#include "device/sim/simulateddevicelibrary.h"
#include "log/logview.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

class StationProbe {
public:
    explicit StationProbe(MW &window) : window(window) { }

    QStringList &serialList() { return window.serialList; }
    QList<DeviceHandle> &handleList() { return window.handleList; }
    bool &testPassed() { return window.testPassed; }
    qint32 &failCode() { return window.failCode; }
    qint32 runCount() const { return window.runCount; }
    QTimer *refreshTimer() { return window.refreshTimer; }
    MwForm *form() { return window.form; }

    // A window whose refresh never fires on its own, for tests of one step.
    void stopRefresh() { window.refreshTimer->stop(); }
    QStringList viewParagraphs() { return plainParagraphs(window.form->log); }

private:
    MW &window;
};

// Collects the debug messages sent while it lives.
class TraceCapture {
public:
    TraceCapture()
    {
        messages().clear();
        previous = qInstallMessageHandler(&TraceCapture::handle);
    }
    ~TraceCapture() { qInstallMessageHandler(previous); }
    QStringList lines() const { return messages(); }

private:
    static QStringList &messages()
    {
        static QStringList list;
        return list;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtDebugMsg)
            messages().append(message);
    }
    QtMessageHandler previous;
};

// Runs the test in a fresh, empty working directory of its own.
class ScratchDirectory {
public:
    ScratchDirectory() : previous(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~ScratchDirectory() { QDir::setCurrent(previous); }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString previous;
};

inline QByteArray logFileBytes()
{
    QFile file(QStringLiteral("TestingLog.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The log file's lines, each without its CR LF. A text with inner line
// breaks stays one entry.
inline QStringList logFileLines()
{
    QStringList lines = QString::fromUtf8(logFileBytes()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The date and time of the start, close and run-header lines, masked.
inline QStringList withoutDates(QStringList lines)
{
    static const QRegularExpression textDate(
        QStringLiteral(" \\w{3} \\w{3} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4}"));
    for (QString &line : lines)
        line.replace(textDate, QStringLiteral(" <date>"));
    return lines;
}

// A fault on the `call`-th call of `operation` on the chip `serial`.
inline SimFault fault(SimOperation operation, const QByteArray &serial, int call,
                      DeviceStatus status = DeviceStatusCode::IoError)
{
    SimFault f;
    f.operation = operation;
    f.serial = serial;
    f.call = call;
    f.status = status;
    return f;
}

// The passing pair with these faults.
inline SimScenario pairWith(const QList<SimFault> &faults)
{
    SimScenario scenario = SimScenario::passingPair();
    scenario.faults = faults;
    return scenario;
}

// The real FT232R factory EEPROM image that the tests seed chips with.
inline QByteArray factoryImage()
{
    QFile file(qEnvironmentVariable("ZELOR_FACTORY_EEPROM"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray hex;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith('#'))
            hex += line;
    }
    return QByteArray::fromHex(hex);
}

// The log of a passing run on the default pair, its date masked.
inline QStringList passingRunLog(int number)
{
    return { QStringLiteral("Test run %1 started <date>").arg(number),
             QStringLiteral("Finding devices... OK Connected FT232R USB UART serial FTA1B2C3 \n"
                            "Connected FT232R USB UART serial FTD4E5F6 \n"),
             QStringLiteral("Opening device serial FTA1B2C3 OK"),
             QStringLiteral("Opening device serial FTD4E5F6 OK"),
             QStringLiteral("Initializing devs... OK"),
             QStringLiteral("Programming devices... OK"),
             QStringLiteral("Programming devices... OK"),
             QStringLiteral("Testing device TX/RX... OK"),
             QStringLiteral("Testing device RX/TX... OK"),
             QStringLiteral("Closing devices... OK"),
             QStringLiteral("TEST PASSED") };
}
