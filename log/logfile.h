#pragma once

#include <QString>

// TestingLog.txt, in the working folder.
// Appends one line and its CR LF. Callers in several threads each get their
// line whole, in the order they called. True only when the line reached the
// file, so a failed write or close counts like a failed open.
bool appendToLogFile(const QString &text);
