// Socket mode on emulated fixtures, through libftdi1 and through D2XX: each
// wiring class found and only clean pairs programmed, one socket's fault
// kept from the others, labels, a pair moved between clicks, the setting.

#include "app/mw.h"
#include "app/pluginstart.h"
#include "chipbench.h"
#include "device/ftdi/usbhotplug.h"
#include "procedure/runrecord.h"
#include "sockets/fixturelayout.h"
#include "sockets/fixturewindow.h"
#include "sockets/socketsettings.h"
#include "sockets/sockettile.h"
#include "stationprobe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>

Q_DECLARE_METATYPE(Backend)

namespace {

// A chip of the fixture: "NAME@PORT" on a hub at root port 1, or
// "NAME=SERIAL@PORT" for a chip whose serial number is not its name.
QJsonObject chip(const QString &place, const QJsonObject &extra = {})
{
    const QStringList at = place.split(QLatin1Char('@'));
    const QStringList names = at[0].split(QLatin1Char('='));
    QJsonObject object = extra;
    object.insert(QStringLiteral("name"), names[0]);
    object.insert(QStringLiteral("serial"), names.value(1, names[0]));
    object.insert(QStringLiteral("ports"), QJsonArray { 1, at[1].toInt() });
    if (names.size() > 1)
        object.insert(QStringLiteral("clone"), true);
    return object;
}

QJsonArray pairsOf(const QString &text)
{
    QJsonArray pairs;
    for (const QString &pair : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        pairs.append(QJsonArray::fromStringList(pair.split(QLatin1Char('-'))));
    return pairs;
}

QByteArray bench(const QJsonArray &chips, const QString &links, const QString &wires = {})
{
    return QJsonDocument(QJsonObject { { "chips", chips },
                                       { "links", pairsOf(links) },
                                       { "wires", pairsOf(wires) } })
        .toJson(QJsonDocument::Compact);
}

QList<QJsonObject> records()
{
    QFile file(RunRecord::FileName);
    QList<QJsonObject> list;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                list << QJsonDocument::fromJson(line).object();
    return list;
}

QStringList tileStates(const FixtureWindow &window)
{
    QStringList states;
    for (const FixtureSocket &socket : window.sockets())
        states << window.tile(socket.key)->stateText();
    states.sort();
    return states;
}

bool waitIdle(FixtureWindow &window)
{
    QElapsedTimer clock;
    clock.start();
    while (!window.idle() && clock.elapsed() < 30000)
        QTest::qWait(10);
    return window.idle();
}

// One click on the fixture once its first probe is over: the tiles' states
// when every socket has ended, in text order.
QStringList stateAfterAClick(DeviceLibrary &library)
{
    FixtureWindow window(library, SocketSettings {});
    if (!waitIdle(window))
        return { "the first probe did not end" };
    window.startTest();
    return waitIdle(window) ? tileStates(window) : QStringList { "the runs did not end" };
}

QByteArray eepromOf(const ChipBench &chips, const QString &name)
{
    QByteArray image(128, '\0');
    chips.eeprom(name.toLatin1().constData(), reinterpret_cast<unsigned char *>(image.data()));
    return image;
}

} // namespace

class TestSockets : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchDirectory> scratch;

    static void addBackendRows(const char *name, const QJsonArray &chips, const QString &links,
                               const QString &wires, const QStringList &states,
                               const QStringList &programmed)
    {
        for (Backend backend : { Backend::Libftdi, Backend::D2xx })
            QTest::addRow("%s, %s", name, ChipBench::of(backend).name)
                << backend << bench(chips, links, wires) << states << programmed;
    }

private slots:
    void init() { scratch = std::make_unique<ScratchDirectory>(); }
    void cleanup() { scratch.reset(); }

    // A click on a fixture: each socket's tile state (as patterns, in text
    // order), and the chips whose EEPROM changed; every other chip's EEPROM
    // is as it was.
    void onlyCleanPairsAreProgrammed_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QByteArray>("fixture");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QStringList>("programmed");
        const QJsonArray four { chip("A@1"), chip("B@2"), chip("C@3"), chip("D@4") };
        addBackendRows("two clean pairs", four, "A-B C-D", {}, { "PASSED", "PASSED" },
                       { "A", "B", "C", "D" });
        addBackendRows("a one-way pair", four, "C-D", "B-A",
                       { "PASSED",
                         "WIRING: A \\S+ hears B \\S+, which does not hear it: the "
                         "line to B \\S+ is broken$" },
                       { "C", "D" });
        addBackendRows("a loopback plug", four, "C-D", "A-A B-B",
                       { "PASSED", "WIRING: A .* hears itself", "WIRING: B .* hears itself" },
                       { "C", "D" });
        const QJsonArray five { chip("A@1"), chip("B@2"), chip("C@3"), chip("D@4"), chip("E@5") };
        addBackendRows("a chip that hears two", five, "D-E", "A-C B-C",
                       { "PASSED", "WIRING: A .* hears nothing", "WIRING: B .* hears nothing",
                         "WIRING: C .* hears (more than one chip|garbled bytes)" },
                       { "D", "E" });
        const QJsonArray three { chip("A@1"), chip("B@2"), chip("C@3") };
        addBackendRows("a chip alone", three, "B-C", {}, { "PASSED", "WIRING: A .* hears nothing" },
                       { "B", "C" });
        const QJsonArray clones { chip("K1=A50285BI@1"), chip("K2=A50285BI@2"),
                                  chip("K3=A50285BI@3"), chip("K4=A50285BI@4") };
        addBackendRows("four chips of one serial number", clones, "K1-K2 K3-K4", {},
                       { "PASSED", "PASSED" }, { "K1", "K2", "K3", "K4" });
    }

    void onlyCleanPairsAreProgrammed()
    {
        QFETCH(Backend, backend);
        QFETCH(QByteArray, fixture);
        QFETCH(QStringList, states);
        QFETCH(QStringList, programmed);
        const ChipBench &chips = ChipBench::of(backend);
        QVERIFY2(chips.load(fixture.constData()) == 0, chips.error());
        const QStringList names { "A", "B", "C", "D", "E", "K1", "K2", "K3", "K4" };
        QHash<QString, QByteArray> before;
        for (const QString &name : names)
            before.insert(name, eepromOf(chips, name));
        const QStringList shown = stateAfterAClick(*chips.library());
        QCOMPARE(shown.size(), states.size());
        for (int i = 0; i < states.size(); ++i)
            QVERIFY2(QRegularExpression(states[i]).match(shown[i]).hasMatch(),
                     qPrintable(shown[i]));
        QCOMPARE(chips.openHandles(), 0);
        for (const QString &name : names) {
            const bool changed = eepromOf(chips, name) != before.value(name);
            QVERIFY2(changed == programmed.contains(name), qPrintable(name));
        }
        // One record a socket run, each line of the log whole and labelled.
        QCOMPARE(records().size(), states.count(QStringLiteral("PASSED")));
        for (const QJsonObject &record : records())
            QVERIFY(!record.value("socket").toString().isEmpty()
                    && record.value("location").toString().contains('+'));
        const QStringList lines = logFileLines();
        QCOMPARE(lines.filter(QRegularExpression("^Test run \\d+ started")).size(), 1);
        QCOMPARE(lines.filter(QRegularExpression("^\\[.+\\] TEST PASSED$")).size(),
                 records().size());
        for (const QString &line : lines.join('\n').split('\n'))
            QVERIFY2(QRegularExpression("^(\\[[^]]+\\] |Starting app |Test run |Closing app |$)")
                         .match(line)
                         .hasMatch(),
                     qPrintable(line));
    }

    // One socket's chip unplugged, or its line dead, mid-run: that socket
    // fails with its code, the others pass and finish before it.
    void aFaultStaysInItsSocket_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("after");
        QTest::addColumn<QString>("state");
        for (Backend backend : { Backend::Libftdi, Backend::D2xx }) {
            const ChipBench &chips = ChipBench::of(backend);
            const int mid = backend == Backend::Libftdi ? 60 : 80;
            QTest::addRow("a chip unplugged mid-run, %s", chips.name)
                << backend << QString::fromLatin1(chips.unplugAfter) << mid << "FAILED \\(\\d+\\)";
            // The window's first probe and the click's each send a token.
            QTest::addRow("a line dead after the probe, %s", chips.name)
                << backend << "lineDeadAfterBytes" << 2 * wiringprobe::TokenSize
                << "FAILED \\(7\\): reading test data failed";
        }
    }

    void aFaultStaysInItsSocket()
    {
        QFETCH(Backend, backend);
        QFETCH(QString, fault);
        QFETCH(int, after);
        QFETCH(QString, state);
        const ChipBench &chips = ChipBench::of(backend);
        const QJsonArray six { chip("A@1"), chip("B@2"), chip("C@3", { { fault, after } }),
                               chip("D@4"), chip("E@5"), chip("F@6") };
        QVERIFY2(chips.load(bench(six, "A-B C-D E-F").constData()) == 0, chips.error());
        const QStringList shown = stateAfterAClick(*chips.library());
        QCOMPARE(shown.size(), 3);
        QVERIFY2(QRegularExpression(state).match(shown[0]).hasMatch(), qPrintable(shown[0]));
        QCOMPARE(shown.mid(1), QStringList({ "PASSED", "PASSED" }));
        QCOMPARE(chips.openHandles(), 0);
        // The socket waiting out its time-outs holds up no other: they all
        // end before it does.
        QString failedEnd, lastPassEnd;
        for (const QJsonObject &record : records()) {
            QString &end = record.value("verdict") == "FAILED" ? failedEnd : lastPassEnd;
            end = std::max(end, record.value("end").toString());
        }
        if (fault == QLatin1String("lineDeadAfterBytes"))
            QVERIFY2(lastPassEnd < failedEnd, qPrintable(lastPassEnd + " " + failedEnd));
    }

    // Tiles' labels from the ini, and the notes about them.
    void socketsKeepTheirLabels_data()
    {
        QTest::addColumn<QStringList>("labels"); // "LOCATION=LABEL"
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("note");
        QTest::newRow("every socket labelled")
            << QStringList { "0x1=A", "0x3=B", "0x5=C" } << QStringList { "A", "B", "C" } << "";
        QTest::newRow("both chips of a socket labelled")
            << QStringList { "0x1=A", "0x2=A", "0x3=B", "0x5=C" } << QStringList { "A", "B", "C" }
            << "";
        QTest::newRow("more sockets than labels")
            << QStringList { "0x3=B" } << QStringList { "0x1+0x2", "0x5+0x6", "B" }
            << "Some sockets have no label";
        QTest::newRow("a label given twice") << QStringList { "0x1=A", "0x3=A", "0x5=C" }
                                             << QStringList { "0x1+0x2", "0x3+0x4", "C" }
                                             << "Label A is given to 2 sockets (0x1+0x2, 0x3+0x4)";
        QTest::newRow("no labels at all")
            << QStringList {} << QStringList { "0x1+0x2", "0x3+0x4", "0x5+0x6" } << "";
    }

    void socketsKeepTheirLabels()
    {
        QFETCH(QStringList, labels);
        QFETCH(QStringList, shown);
        QFETCH(QString, note);
        QList<FixtureChip> chips;
        QList<ChipWiring> wiring;
        for (int i = 0; i < 6; ++i) {
            chips << FixtureChip { QStringLiteral("S%1").arg(i), {}, quint32(6 - i) };
            wiring << ChipWiring { Wiring::Paired, i ^ 1 };
        }
        QHash<QString, QString> byLocation;
        for (const QString &label : labels)
            byLocation.insert(label.section('=', 0, 0), label.section('=', 1));
        const FixtureLayout layout = layOutFixture(chips, wiring, byLocation, [](quint32 location) {
            return QStringLiteral("0x%1").arg(location, 0, 16);
        });
        QStringList labelled;
        for (const FixtureSocket &socket : layout.sockets)
            labelled << socket.label;
        QCOMPARE(labelled, shown);
        if (note.isEmpty())
            QCOMPARE(layout.notes, QStringList());
        else
            QVERIFY2(layout.notes.join('\n').contains(note), qPrintable(layout.notes.join('\n')));
    }

    // The same pair seated in another socket between two clicks: its
    // second run is the other socket's, by label and location.
    void aMovedPairTakesItsNewSocket()
    {
        const ChipBench &chips = ChipBench::of(Backend::Libftdi);
        const QJsonArray first { chip("A@1"), chip("B@2"), chip("C@3"), chip("D@4") };
        const QJsonArray moved { chip("A@3"), chip("B@4"), chip("C@1"), chip("D@2") };
        QVERIFY2(chips.load(bench(first, "A-B C-D").constData()) == 0, chips.error());
        SocketSettings settings;
        settings.labels = { { "1-1.1", "left" }, { "1-1.3", "right" } };
        const auto library = chips.library();
        FixtureWindow window(*library, settings);
        QVERIFY(waitIdle(window));
        window.startTest();
        QVERIFY(waitIdle(window));
        QSignalSpy probed(&window, &FixtureWindow::probed);
        QVERIFY2(chips.load(bench(moved, "A-B C-D").constData()) == 0, chips.error());
        QVERIFY(probed.wait(5000)); // the refresh saw the chips move
        QVERIFY(waitIdle(window));
        window.startTest();
        QVERIFY(waitIdle(window));
        QStringList runs;
        for (const QJsonObject &record : records())
            runs << QStringLiteral("%1 %2 %3 %4")
                        .arg(record.value("run").toInt())
                        .arg(record.value("chips")[0]["serial"].toString(),
                             record.value("socket").toString(),
                             record.value("location").toString());
        runs.sort();
        QCOMPARE(runs,
                 QStringList({ "1 A left 1-1.1+1-1.2", "1 C right 1-1.3+1-1.4",
                               "2 A right 1-1.3+1-1.4", "2 C left 1-1.1+1-1.2" }));
    }

    // With start=plug-in, four pairs seated one after another: four runs,
    // each a second after its own pair was seated, none waiting for
    // another; a pair left seated is not tested again, and one pulled and
    // seated again is.
    void eachSocketArmsOnItsOwn_data()
    {
        QTest::addColumn<Backend>("backend");
        for (Backend backend : { Backend::Libftdi, Backend::D2xx })
            QTest::newRow(ChipBench::of(backend).name) << backend;
    }

    void eachSocketArmsOnItsOwn()
    {
        QFETCH(Backend, backend);
        const ChipBench &chips = ChipBench::of(backend);
        QJsonArray eight;
        QStringList links;
        for (int i = 1; i <= 8; ++i)
            eight << chip(QStringLiteral("P%1@%1").arg(i));
        QVERIFY2(chips.load(bench(eight, "P1-P2 P3-P4 P5-P6 P7-P8").constData()) == 0,
                 chips.error());
        for (int i = 1; i <= 8; ++i)
            chips.unplug(qPrintable(QStringLiteral("P%1").arg(i)));
        const auto library = chips.library();
        FixtureWindow window(*library, SocketSettings {});
        window.armOnPlugIn();
        QVERIFY(waitIdle(window));
        QMultiHash<QString, QDateTime> seated; // by the pair's first serial number
        auto seat = [&](int pair) {
            for (int side : { 2 * pair - 1, 2 * pair })
                chips.plug(qPrintable(QStringLiteral("P%1").arg(side)));
            seated.insert(QStringLiteral("P%1").arg(2 * pair - 1), QDateTime::currentDateTime());
        };
        for (int pair = 1; pair <= 4; ++pair) {
            seat(pair);
            QTest::qWait(400);
        }
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), 4, 20000);
        QTest::qWait(2000); // all still seated: no run more
        QCOMPARE(records().size(), 4);
        for (int side : { 1, 2 })
            chips.unplug(qPrintable(QStringLiteral("P%1").arg(side)));
        QTest::qWait(600);
        seat(1);
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), 5, 20000);
        QVERIFY(waitIdle(window));
        QStringList late;
        for (const QJsonObject &record : records()) {
            const QString first = record.value("chips")[0]["serial"].toString();
            const QDateTime start
                = QDateTime::fromString(record.value("start").toString(), Qt::ISODateWithMs);
            qint64 after = -1; // since the pair was last seated before the run
            for (const QDateTime &at : seated.values(first))
                if (at <= start && (after < 0 || at.msecsTo(start) < after))
                    after = at.msecsTo(start);
            QVERIFY2(record.value("verdict") == "PASSED", qPrintable(first));
            if (after < FixtureWindow::StillMs || after > FixtureWindow::StillMs + 1500)
                late << QStringLiteral("%1 after %2 ms").arg(first).arg(after);
        }
        QVERIFY2(late.isEmpty(), qPrintable(late.join(", ")));
    }

    // Through libusb's hotplug notices (libftdi1 on the emulator), in
    // one-pair mode and in socket mode: a chip pulled and seated again
    // faster than the list's refresh restarts the second of stillness, so
    // the run starts a second after the bounce, not after the first seating.
    void aBounceFasterThanTheRefreshIsNoticed_data()
    {
        QTest::addColumn<bool>("sockets");
        QTest::newRow("one pair") << false;
        QTest::newRow("sockets") << true;
    }

    void aBounceFasterThanTheRefreshIsNoticed()
    {
        QFETCH(bool, sockets);
        const ChipBench &chips = ChipBench::of(Backend::Libftdi);
        QVERIFY2(chips.load(bench({ chip("A@1"), chip("B@2") }, "A-B").constData()) == 0,
                 chips.error());
        chips.unplug("A");
        chips.unplug("B");
        const auto library = chips.library();
        std::unique_ptr<QMainWindow> window;
        if (sockets) {
            auto *fixture = new FixtureWindow(*library, SocketSettings {});
            window.reset(fixture);
            fixture->armOnPlugIn(UsbHotplug::start(fixture));
        } else {
            auto *station = new MW(*library);
            window.reset(station);
            (new PlugInStart(*station, *library))->listenTo(UsbHotplug::start(station));
        }
        QTest::qWait(300);
        chips.plug("A");
        chips.plug("B");
        QTest::qWait(500);
        chips.unplug("B");
        chips.plug("B");
        const QDateTime bounced = QDateTime::currentDateTime();
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), 1, 10000);
        const QDateTime started
            = QDateTime::fromString(records()[0].value("start").toString(), Qt::ISODateWithMs);
        qInfo("run started %lld ms after the bounce", bounced.msecsTo(started));
        QVERIFY2(bounced.msecsTo(started) >= PlugInStart::StillMs,
                 qPrintable(QString::number(bounced.msecsTo(started))));
        QCOMPARE(records()[0].value("verdict"), "PASSED");
        QTest::qWait(1500);
        QCOMPARE(records().size(), 1);
    }

    // The setting: absent or false is the one-pair station; anything but
    // true or false is said, and is the one-pair station too.
    void theSettingIsReadOrRefused_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("problem");
        QTest::newRow("absent") << QByteArray("[station]\nstart=click\n") << false << "";
        QTest::newRow("false") << QByteArray("[station]\nsockets=false\n") << false << "";
        QTest::newRow("true, with labels")
            << QByteArray("[station]\nsockets=true\n[sockets]\n1-1.1=A\n") << true << "";
        QTest::newRow("invalid") << QByteArray("[station]\nsockets=yes\n") << false
                                 << "sockets=yes is neither true nor false; testing one pair";
    }

    void theSettingIsReadOrRefused()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, enabled);
        QFETCH(QString, problem);
        QFile file(QStringLiteral("zelor-k3-tester.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        file.close();
        const SocketSettings settings = SocketSettings::load();
        QCOMPARE(settings.enabled, enabled);
        QCOMPARE(settings.problem.section(": ", 1), problem);
        QCOMPARE(settings.labels.value("1-1.1"), enabled ? "A" : "");
        if (enabled)
            return;
        // The simulated bench's station with it: the one-pair station's log,
        // after the line that says what was not used.
        QProcess station;
        station.setStandardErrorFile(QProcess::nullDevice());
        station.start(qEnvironmentVariable("ZELOR_SIM_EXECUTABLE"), { "--runs", "1" });
        QVERIFY(station.waitForFinished(60000));
        QCOMPARE(station.exitCode(), 0);
        QStringList expected { "Starting app <date>" };
        if (!problem.isEmpty())
            expected << "zelor-k3-tester.ini: " + problem;
        expected << passingRunLog(1) << "Closing app <date>"
                 << "";
        QCOMPARE(withoutDates(logFileLines()), expected);
    }
};

QTEST_MAIN(TestSockets)
#include "tst_sockets.moc"
