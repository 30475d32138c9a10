// Every device library call of a passing run, each with every fault that
// applies to it, one fault per run: the station must never crash, never pass
// a run that a fault spoiled, report the last coded failure it logged, leave
// no handle open, keep every EEPROM field but the description, and keep the
// log file and the log view in step.

#include "device/sim/ft232reeprom.h"
#include "stationprobe.h"

#include <QLabel>
#include <QPushButton>

namespace {

enum class FaultKind { Status, ShortTransfer, CorruptByte, UnplugAfter };

const char *kindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Status: return "status";
    case FaultKind::ShortTransfer: return "short transfer";
    case FaultKind::CorruptByte: return "corrupt byte";
    case FaultKind::UnplugAfter: return "unplug after";
    }
    return "";
}

QList<FaultKind> faultsFor(SimOperation operation)
{
    QList<FaultKind> kinds { FaultKind::Status };
    if (operation == SimOperation::Write || operation == SimOperation::Read)
        kinds << FaultKind::ShortTransfer;
    if (operation == SimOperation::Read)
        kinds << FaultKind::CorruptByte;
    if (!isListOperation(operation))
        kinds << FaultKind::UnplugAfter;
    return kinds;
}

SimFault makeFault(const SimCall &call, FaultKind kind)
{
    SimFault f;
    f.operation = call.operation;
    f.serial = call.serial;
    f.call = call.number;
    switch (kind) {
    case FaultKind::Status: f.status = DeviceStatusCode::IoError; break;
    case FaultKind::ShortTransfer: f.transferred = 100; break;
    case FaultKind::CorruptByte: f.corruptOffset = 77; break;
    case FaultKind::UnplugAfter: f.unplug = call.serial; break;
    }
    return f;
}

// The code that belongs to each failure text, kept apart from the code
// under test. "Setting device params failed" is 9 or 10: the fault tells.
int codeOfLine(const QString &line, const SimFault &fault)
{
    static const QList<QPair<QString, int>> texts = {
        { QStringLiteral("No FT232R or FT245R devices found."), 1 },
        { QStringLiteral("Connected device count not 2. Found "), 2 },
        { QStringLiteral("Programming of description FAILED"), 3 },
        { QStringLiteral("FT_EE_Read FAILED!"), 4 },
        { QStringLiteral("No enough devices connected, or too many.."), 5 },
        { QStringLiteral("Error writing test data to device "), 6 },
        { QStringLiteral("Error reading test data from device "), 7 },
        { QStringLiteral("Data transfer error, tested devices FAIL"), 8 },
        { QStringLiteral("Setting device timeout params failed"), 20 },
    };
    for (const auto &text : texts) {
        if (line.contains(text.first))
            return text.second;
    }
    if (line == QLatin1String("Setting device params failed")) {
        const bool dataCharacteristics
            = (fault.operation == SimOperation::SetDataCharacteristics && fault.status != 0)
            || (fault.operation == SimOperation::SetBaudRate && !fault.unplug.isEmpty());
        return dataCharacteristics ? 10 : 9;
    }
    return -1;
}

void dropTraces(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        qt_message_output(type, context, message);
}

struct Outcome {
    QStringList log;
    QStringList view;
    QString banner;
    int openHandles;
    QList<std::optional<SimEeprom>> eeproms;
};

Outcome runOnce(const SimScenario &scenario)
{
    ScratchDirectory scratch;
    SimulatedDeviceLibrary library(scenario);
    Outcome outcome;
    {
        MW window(library);
        StationProbe probe(window);
        probe.stopRefresh();
        probe.form()->startTest->click();
        outcome.view = withoutDates(probe.viewParagraphs());
        outcome.banner = probe.form()->passed->text();
    }
    outcome.log = withoutDates(logFileLines());
    outcome.openHandles = library.openHandleCount();
    for (const SimDeviceSpec &device : scenario.devices)
        outcome.eeproms << library.eeprom(device.serial);
    return outcome;
}

// What is wrong with one faulted run; empty when nothing is.
QStringList check(const SimFault &fault, const SimScenario &scenario, const Outcome &outcome)
{
    QStringList problems;
    const auto isHeader
        = [](const QString &line) { return line.startsWith(QLatin1String("Test run ")); };
    const int header
        = int(std::find_if(outcome.log.begin(), outcome.log.end(), isHeader) - outcome.log.begin());
    const QStringList run = outcome.log.mid(header, outcome.log.size() - header - 2);
    if (run.isEmpty())
        return { QStringLiteral("no run in the log") };
    if (outcome.view != run)
        problems << QStringLiteral("log view differs from the log file");

    int expectedCode = 0;
    for (const QString &line : run) {
        const int code = codeOfLine(line, fault);
        if (code >= 0)
            expectedCode = code;
    }
    const bool harmless = fault.operation == SimOperation::Close && !fault.unplug.isEmpty();
    const QString verdict = run.last();
    if (harmless) {
        if (verdict != QLatin1String("TEST PASSED"))
            problems << QStringLiteral("a harmless fault failed the run: ") + verdict;
    } else if (verdict != QStringLiteral("TEST FAILED (%1)").arg(expectedCode)) {
        problems << QStringLiteral("verdict %1, expected code %2").arg(verdict).arg(expectedCode);
    }
    if (outcome.banner != (verdict == QLatin1String("TEST PASSED") ? "PASSED" : "FAILED"))
        problems << QStringLiteral("banner ") + outcome.banner;

    const bool closeRefused = fault.operation == SimOperation::Close && fault.status != 0;
    if (outcome.openHandles != (closeRefused ? 1 : 0))
        problems << QStringLiteral("%1 handles left open").arg(outcome.openHandles);

    for (int i = 0; i < scenario.devices.size(); ++i) {
        SimEeprom expected = scenario.devices[i].eeprom;
        const SimEeprom &got = *outcome.eeproms[i];
        if (got.description == "ZELOR-K3")
            expected.description = got.description;
        if (got != expected)
            problems << QStringLiteral("EEPROM of %1 damaged")
                            .arg(QString::fromLatin1(scenario.devices[i].serial));
    }
    return problems;
}

} // namespace

class TestFaultSweep : public QObject {
    Q_OBJECT

private slots:
    void everyFaultOnEveryCall()
    {
        const QtMessageHandler previous = qInstallMessageHandler(dropTraces);
        SimScenario bench = SimScenario::passingPair();
        // One chip starts from a real factory image.
        QString error;
        QVERIFY2(decodeFt232rEeprom(factoryImage(), &bench.devices[0].eeprom, &error),
                 qPrintable(error));
        bench.devices[0].eeprom.serialNumber = bench.devices[0].serial;

        QList<SimCall> calls;
        {
            ScratchDirectory scratch;
            SimulatedDeviceLibrary library(bench);
            MW window(library);
            StationProbe probe(window);
            probe.stopRefresh();
            probe.form()->startTest->click();
            QCOMPARE(probe.form()->passed->text(), QStringLiteral("PASSED"));
            calls = library.calls();
        }
        QCOMPARE(calls.size(), 216);

        int scenarios = 0;
        QStringList failures;
        for (const SimCall &call : std::as_const(calls)) {
            for (FaultKind kind : faultsFor(call.operation)) {
                SimScenario scenario = bench;
                const SimFault fault = makeFault(call, kind);
                scenario.faults = { fault };
                ++scenarios;
                const QStringList problems = check(fault, scenario, runOnce(scenario));
                if (!problems.isEmpty()) {
                    failures << QStringLiteral("%1 %2 #%3, %4: %5")
                                    .arg(simOperationName(call.operation),
                                         QString::fromLatin1(call.serial))
                                    .arg(call.number)
                                    .arg(QLatin1String(kindName(kind)), problems.join("; "));
                }
            }
        }
        qInstallMessageHandler(previous);
        qInfo("fault sweep: %d scenarios, %d failures", scenarios, int(failures.size()));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.mid(0, 20).join(QLatin1Char('\n'))));
        QVERIFY(scenarios > 600);
    }
};

QTEST_MAIN(TestFaultSweep)
#include "tst_faultsweep.moc"
