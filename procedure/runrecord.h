#pragma once

#include "device/devicelibrary.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The machine-readable record of one test run, kept beside the log as one
// line of TestingRecords.jsonl, the station's journal of its runs. Each
// record has an id of its own (a UUID) and names the station it ran on.
class RunRecord {
public:
    static constexpr int SchemaVersion = 1;
    static inline const QString FileName = QStringLiteral("TestingRecords.jsonl");

    // What the station runs on ("libftdi1 1.5", "simulated bench"), set once
    // by the program's entry.
    static void setBackend(const QString &backend);
    // The station's name, set once by the program's entry; the host name
    // until then.
    static void setStation(const QString &station);
    static QString station();

    explicit RunRecord(int run);
    ~RunRecord();
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;

    // Starts timing a step; step() ends it.
    void startStep();
    void step(const QString &name, const QString &result, qint32 failCodeAfter);
    void chipsFound(const QStringList &serials);
    // The socket of a fixture that ran it: its label and its USB location.
    void socket(const QString &label, const QString &location);
    void opened(const QString &serial, DeviceHandle handle);
    void descriptionRead(DeviceHandle handle, const QString &description);
    void programmed(DeviceHandle handle, bool ok);
    // After a programming the chip did not keep: what its EEPROM held once
    // the old rows were written back.
    void eepromAfterRestore(DeviceHandle handle, EepromAfterRestore state);
    void mismatch(qint32 from, qint32 to, quint32 block, quint32 offset, quint8 sent,
                  quint8 received);

    // The whole record as one line of JSON, the run's verdict filled in.
    QByteArray finish(bool passed, qint32 failCode);
    // Appends `line` to TestingRecords.jsonl; false when it was not saved.
    // Lines saved from several threads at once each stay whole.
    static bool save(const QByteArray &line);

private:
    struct Chip {
        QString serial;
        DeviceHandle handle = nullptr;
        QJsonValue descriptionRead;
        QJsonValue programmed;
        QString eepromAfterRestore; // empty: no restore
    };
    Chip *chipWith(DeviceHandle handle);

    int run;
    QString id;
    QDateTime started;
    QElapsedTimer clock;
    QElapsedTimer stepClock;
    QList<Chip> chips;
    QJsonArray steps;
    QJsonObject mismatchFound;
    QString socketLabel, socketLocation;
};
