#pragma once

// Shared helpers of the station's tests: access to MW's state, a capture of
// debug traces, and the log file and log view as lists of lines.

#include "app/mw.h"
#include "app/mwform.h"
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
