#pragma once

#include <QString>

// One debug trace message. Each item is followed by one blank; the message
// goes to Qt's message handler as a debug message of the category
// "zelor.trace" when the statement that builds it ends:
//     DebugTrace() << "read" << count;
class DebugTrace {
public:
    DebugTrace() = default;
    DebugTrace(const DebugTrace &) = delete;
    DebugTrace &operator=(const DebugTrace &) = delete;
    ~DebugTrace();

    DebugTrace &operator<<(const QString &item);
    DebugTrace &operator<<(const char *item);
    DebugTrace &operator<<(qint64 item);

private:
    QString message;
};
