#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The journal's records the line database refused for their content, and
// its lines that are no record, kept beside the journal (its name +
// ".refused", one JSON object a line) for the line's owner to see:
// `zelor-k3-report --refused` lists them. They stay in the journal.
namespace refusedrecords {

struct Entry {
    QString key; // the record's id, or for a line that is no record a hash of it
    QString reason; // the server's, or why the line is no record
    QString at; // when, ISO 8601
    QByteArray line; // the journal's line
    QString journal; // the journal's file name
    qint64 lineNumber = 0; // its line, from 1
};

QString fileOf(const QString &journal);
QList<Entry> read(const QString &journal);
bool append(const QString &journal, const Entry &entry);
// One line an entry: "KEY  AT  JOURNAL:LINE  REASON", control characters
// shown escaped (\x1b).
QString listing(const QList<Entry> &entries);

} // namespace refusedrecords
