#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// Reading TestingRecords.jsonl: the runs its lines record. Qt Core only: the
// stations read their journal with it.
namespace yieldreport {

struct Run {
    QString id; // the record's own, or for a record written before records had one, a UUID
                // derived from its line
    QString station; // the record's, or its host for a record written before
    int run = 0;
    QString start, end; // ISO 8601 as recorded, with the station's UTC offset
    QDateTime startTime;
    double durationMs = 0;
    QString host, backend;
    QStringList serials;
    bool passed = false;
    int failCode = 0;
    QString socket; // the fixture's socket label; empty for a station of one pair

    QString day() const { return start.left(10); } // the station's own calendar day
    QString pair() const; // the chips' serial numbers, sorted; empty unless two chips
};

// A cycle time of a day or more is no run's: refused, as the line database
// refuses it.
constexpr double MaxDurationMs = 86400000;
constexpr int MaxLabelLength = 64; // of a serial number or a socket label

// The runs in `text`; each line that is not a run record goes to `problems`
// as "NAME:LINE: reason" and is skipped.
QList<Run> parse(const QByteArray &text, const QString &name, QStringList *problems);

} // namespace yieldreport
