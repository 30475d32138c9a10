#include "log/logview.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QStringList>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Marks a block as holding an appended paragraph, so that an empty first
// paragraph is told apart from the empty block of an empty document.
constexpr int AppendedBlock = 1;

bool isUntouched(const QTextDocument *document)
{
    const QTextBlock first = document->firstBlock();
    return document->blockCount() == 1 && first.length() == 1 && first.userState() != AppendedBlock;
}

} // namespace

void appendPlainParagraph(QTextEdit *view, const QString &text)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QString paragraph = text;
    paragraph.replace(lineBreak, QString(QChar::LineSeparator));
    paragraph.replace(QChar::ParagraphSeparator, QChar::LineSeparator);

    // Like QTextEdit::append: a view showing its last line keeps showing it.
    QScrollBar *scrollBar = view->verticalScrollBar();
    const bool atBottom = scrollBar->value() >= scrollBar->maximum();

    QTextDocument *document = view->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!isUntouched(document))
        cursor.insertBlock();
    cursor.insertText(paragraph);
    cursor.block().setUserState(AppendedBlock);
    cursor.endEditBlock();
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

QStringList plainParagraphs(const QTextEdit *view)
{
    QStringList paragraphs;
    const QTextDocument *document = view->document();
    if (isUntouched(document))
        return paragraphs;
    for (QTextBlock block = document->firstBlock(); block.isValid(); block = block.next())
        paragraphs << block.text().replace(QChar::LineSeparator, QLatin1Char('\n'));
    return paragraphs;
}
