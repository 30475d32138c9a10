#pragma once

#include <QStringList>

class QTextEdit;

// Adds `text` to `view` as one new paragraph of plain text, never read as
// markup. Line breaks inside the text become line breaks of that paragraph.
void appendPlainParagraph(QTextEdit *view, const QString &text);

// The paragraphs of `view`, each with its inner line breaks as '\n'.
QStringList plainParagraphs(const QTextEdit *view);
