#pragma once

#include <QString>

// Text of a fixed-size, NUL-terminated Latin-1 field: up to the first NUL,
// never beyond `size` bytes.
QString latin1Field(const char *field, int size);

// A device-supplied text made safe to show or log: control characters
// (below 0x20, 0x7F and 0x80 to 0x9F) are written as \xHH, so such a text
// can never break or forge a log line.
QString displayText(const QString &deviceText);
