#pragma once

#include <QHash>
#include <QString>

// Socket mode, set in zelor-k3-tester.ini of the folder the station starts
// in:
//   [station]
//   sockets=true
//   [sockets]
//   1-1.1=A        (a chip's USB location = the label on the fixture)
// Without `sockets`, or with anything but true or false, the station tests
// one pair a click, as it always has.
struct SocketSettings {
    bool enabled = false;
    QString problem; // a setting that could not be used, said in the status line and the log
    QHash<QString, QString> labels; // by location text

    static SocketSettings load();
};
