// The window, its form, its slots and timer, and the test log.

#include "device/sim/simulateddevicelibrary.h"
#include "log/debugtrace.h"
#include "stationprobe.h"

#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {
const QString SaveError
    = QStringLiteral(" (error opening file TestingLog.txt for writing, log not saved.)");

SimScenario noDevices()
{
    return SimScenario();
}
} // namespace

// A window of its own with a slot that follows the by-name pattern.
class NamedWindow : public QMainWindow {
    Q_OBJECT
public:
    int clicks = 0;
private slots:
    void on_startTest_clicked() { ++clicks; }
};

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    void slotTableHasExactlyTheTwoPrivateSlots()
    {
        const QMetaObject &meta = MW::staticMetaObject;
        QCOMPARE(QString::fromLatin1(meta.className()), QStringLiteral("MW"));
        QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
        QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 0);
        const QMetaMethod first = meta.method(meta.methodOffset());
        const QMetaMethod second = meta.method(meta.methodOffset() + 1);
        QCOMPARE(first.methodSignature(), QByteArray("on_startTest_clicked()"));
        QCOMPARE(second.methodSignature(), QByteArray("timeout()"));
        for (const QMetaMethod &slot : { first, second }) {
            QCOMPARE(slot.methodType(), QMetaMethod::Slot);
            QCOMPARE(slot.access(), QMetaMethod::Private);
        }
    }

    void formBuildsTheWidgetTree()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        MwForm *form = probe.form();

        QCOMPARE(window.objectName(), QStringLiteral("MW"));
        QCOMPARE(window.windowTitle(), QStringLiteral("ZELOR-K3 Tester V1.0.0"));
        QCOMPARE(window.size(), QSize(466, 537));
        QCOMPARE(window.centralWidget(), form->centralWidget);
        QCOMPARE(window.statusBar(), form->statusBar);
        QCOMPARE(form->centralWidget->layout(), form->verticalLayout);
        QCOMPARE(form->verticalLayout->spacing(), 6);
        QCOMPARE(form->verticalLayout->contentsMargins(), QMargins(11, 11, 11, 11));

        const QList<QWidget *> expectedOrder
            = { form->label_2, form->devicesconnected, form->label,
                form->log,     form->startTest,        form->passed };
        const QStringList expectedNames
            = { QStringLiteral("label_2"),   QStringLiteral("devicesconnected"),
                QStringLiteral("label"),     QStringLiteral("log"),
                QStringLiteral("startTest"), QStringLiteral("passed") };
        QCOMPARE(form->verticalLayout->count(), 6);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(form->verticalLayout->itemAt(i)->widget(), expectedOrder[i]);
            QCOMPARE(expectedOrder[i]->objectName(), expectedNames[i]);
            QCOMPARE(expectedOrder[i]->parentWidget(), form->centralWidget);
            QCOMPARE(form->verticalLayout->stretch(i), 0);
        }
        QCOMPARE(form->centralWidget->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(form->verticalLayout->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(form->statusBar->objectName(), QStringLiteral("statusBar"));

        QCOMPARE(form->label_2->text(), QStringLiteral("Currently plugged in devices"));
        QCOMPARE(form->label->text(), QStringLiteral("Log"));
        QCOMPARE(form->startTest->text(), QStringLiteral("Start test"));
        QVERIFY(form->passed->text().isEmpty());
        QVERIFY(form->passed->styleSheet().isEmpty());
        QVERIFY(form->devicesconnected->isReadOnly());
        QVERIFY(form->log->isReadOnly());
        QVERIFY(form->devicesconnected->toPlainText().isEmpty());
        QVERIFY(form->statusBar->currentMessage().isEmpty());
        QVERIFY(form->startTest->isEnabled());
    }

    void typingIntoTheViewsChangesNothing()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        window.show();
        const QString before = probe.form()->log->toPlainText();
        QTest::keyClicks(probe.form()->log, QStringLiteral("typed"));
        QTest::keyClicks(probe.form()->devicesconnected, QStringLiteral("typed"));
        QCOMPARE(probe.form()->log->toPlainText(), before);
        QVERIFY(probe.form()->devicesconnected->toPlainText().isEmpty());
    }

    void extraHeightGoesToTheTwoViews()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MwForm *form = probe.form();
        const int captionHeight = form->label->height();
        const int buttonHeight = form->startTest->height();
        const int logHeight = form->log->height();
        window.resize(466, 937);
        // The two views share the 400 extra pixels, give or take rounding.
        QTRY_VERIFY(
            qAbs(form->log->height() + form->devicesconnected->height() - 2 * logHeight - 400)
            <= 2);
        QCOMPARE(form->label->height(), captionHeight);
        QCOMPARE(form->startTest->height(), buttonHeight);
    }

    void aNamedWindowKeepsItsNameAndItsConnection()
    {
        NamedWindow window;
        window.setObjectName(QStringLiteral("bench"));
        MwForm form;
        form.setupForm(&window);
        QCOMPARE(window.objectName(), QStringLiteral("bench"));
        form.startTest->click();
        QCOMPARE(window.clicks, 1);
    }

    void oneClickRunsTheTestOnce()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        window.show();
        QTest::mouseClick(probe.form()->startTest, Qt::LeftButton);
        QCOMPARE(probe.runCount(), 1);
        QCOMPARE(library.callCount(SimOperation::CreateDeviceInfoList), 1);
    }

    void refreshTimerListsDevicesAboutOnceASecond()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        QCOMPARE(probe.refreshTimer()->interval(), 1000);
        QVERIFY(probe.refreshTimer()->isActive());
        QVERIFY(!probe.refreshTimer()->isSingleShot());
        QCOMPARE(probe.refreshTimer()->parent(), &window);
        QVERIFY(probe.form()->devicesconnected->toPlainText().isEmpty());
        QCOMPARE(library.callCount(SimOperation::CreateDeviceInfoList), 0);

        QTRY_COMPARE_WITH_TIMEOUT(probe.form()->devicesconnected->toPlainText(),
                                  QStringLiteral("No FT232R or FT245R devices found."), 2500);
        QCOMPARE(library.callCount(SimOperation::CreateDeviceInfoList), 1);
        QCOMPARE(withoutDates(logFileLines()),
                 QStringList { QStringLiteral("Starting app <date>") });
    }

    void startAndCloseLinesFrameTheFile()
    {
        {
            SimulatedDeviceLibrary library(noDevices());
            MW window(library);
            StationProbe probe(window);
            QCOMPARE(withoutDates(probe.viewParagraphs()),
                     QStringList { QStringLiteral("Starting app <date>") });
        }
        const QByteArray bytes = logFileBytes();
        QVERIFY2(bytes.startsWith("Starting app "), bytes.constData());
        QVERIFY2(bytes.contains("\r\nClosing app "), bytes.constData());
        QVERIFY2(bytes.endsWith("\r\n\r\n"), bytes.constData());
        QCOMPARE(bytes.count("\r\n"), 3);
        QCOMPARE(withoutDates(logFileLines()),
                 (QStringList { QStringLiteral("Starting app <date>"),
                                QStringLiteral("Closing app <date>"), QString() }));
    }

    void logMessageAppendsExactBytes()
    {
        {
            QFile existing(QStringLiteral("TestingLog.txt"));
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("earlier content\nwithout CR");
        }
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        const int start = int(logFileBytes().size());

        window.logMessage(QStringLiteral("abc"));
        window.logMessage(QString());
        window.logMessage(QStringLiteral("line\nbreak"));
        QCOMPARE(logFileBytes().mid(start), QByteArray("abc\r\n\r\nline\nbreak\r\n"));
        QVERIFY(logFileBytes().startsWith("earlier content\nwithout CRStarting app "));
        QCOMPARE(probe.viewParagraphs().mid(1),
                 (QStringList { QStringLiteral("abc"), QString(), QStringLiteral("line\nbreak") }));
    }

    void viewOrderEqualsFileOrder()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        for (int i = 0; i < 20; ++i)
            window.logMessage(QStringLiteral("line %1").arg(i));
        QCOMPARE(probe.viewParagraphs(), logFileLines());
        QCOMPARE(logFileLines().size(), 21);
    }

    void textIsShownVerbatimNeverAsMarkup_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("bold tags") << QStringLiteral("a <b>b</b>");
        QTest::newRow("entity") << QStringLiteral("x &amp; y &lt;");
        QTest::newRow("html document") << QStringLiteral("<html><body><p>para</p></body></html>");
        QTest::newRow("paragraph separator")
            << QStringLiteral("one") + QChar::ParagraphSeparator + QStringLiteral("two");
        QTest::newRow("blanks") << QStringLiteral("  leading and trailing  ");
    }
    void textIsShownVerbatimNeverAsMarkup()
    {
        QFETCH(QString, text);
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        window.logMessage(text);
        window.logMessage(QStringLiteral("next"));
        QString expected = text;
        expected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        QCOMPARE(probe.viewParagraphs().mid(1), (QStringList { expected, QStringLiteral("next") }));
    }

    void logViewFollowsItsLastLineUnlessScrolledBack()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        window.show();
        QScrollBar *scrollBar = probe.form()->log->verticalScrollBar();
        for (int i = 0; i < 60; ++i)
            window.logMessage(QStringLiteral("line %1").arg(i));
        QVERIFY(scrollBar->maximum() > 0);
        QCOMPARE(scrollBar->value(), scrollBar->maximum());

        scrollBar->setValue(0); // the operator reads back
        window.logMessage(QStringLiteral("one more"));
        QCOMPARE(scrollBar->value(), 0);
    }

    void unopenableFileGivesAnnotatedThenPlainLine()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        // A directory cannot be opened for appending, whoever runs the test.
        QVERIFY(QFile::remove(QStringLiteral("TestingLog.txt")));
        QVERIFY(QDir().mkdir(QStringLiteral("TestingLog.txt")));
        window.logMessage(QStringLiteral("abc"));
        QCOMPARE(probe.viewParagraphs().mid(1),
                 (QStringList { QStringLiteral("abc") + SaveError, QStringLiteral("abc") }));

        // The next line tries again and the file resumes.
        QVERIFY(QDir().rmdir(QStringLiteral("TestingLog.txt")));
        window.logMessage(QStringLiteral("def"));
        QCOMPARE(logFileBytes(), QByteArray("def\r\n"));
        QCOMPARE(probe.viewParagraphs().last(), QStringLiteral("def"));
    }

    void failedWriteIsNeverShownAsSaved()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        QVERIFY(QFile::remove(QStringLiteral("TestingLog.txt")));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), QStringLiteral("TestingLog.txt")));
        window.logMessage(QStringLiteral("disk full"));
        QCOMPARE(
            probe.viewParagraphs().mid(1),
            (QStringList { QStringLiteral("disk full") + SaveError, QStringLiteral("disk full") }));
    }

    void logMessageLetsPendingEventsRun()
    {
        SimulatedDeviceLibrary library(noDevices());
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        bool ran = false;
        QTimer::singleShot(0, &window, [&] { ran = true; });
        window.logMessage(QStringLiteral("x"));
        QVERIFY(ran);
    }

    void debugTraceEndsEveryItemWithABlank()
    {
        TraceCapture capture;
        DebugTrace() << "write";
        DebugTrace() << qint64(5) << qint64(389) << QStringLiteral("x") << qint64(4294967295LL);
        DebugTrace() << QString();
        QCOMPARE(capture.lines(),
                 (QStringList { QStringLiteral("write "), QStringLiteral("5 389 x 4294967295 "),
                                QStringLiteral(" ") }));
    }

private:
    std::unique_ptr<ScratchDirectory> scratch;
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
