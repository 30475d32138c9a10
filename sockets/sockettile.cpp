#include "sockets/sockettile.h"

#include "log/logview.h"
#include "procedure/failurecodes.h"

#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

QLabel *addLabel(QVBoxLayout *layout, const char *name, int scale, bool bold)
{
    auto *label = new QLabel;
    label->setObjectName(QString::fromLatin1(name));
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(bold);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    layout->addWidget(label);
    return label;
}

} // namespace

SocketTile::SocketTile(const QString &key, QWidget *parent) : QFrame(parent), key(key)
{
    setObjectName(QStringLiteral("socket ") + key);
    setFrameShape(QFrame::Box);
    setMinimumWidth(260);
    auto *layout = new QVBoxLayout(this);
    label = addLabel(layout, "label", 3, true);
    chips = addLabel(layout, "chips", 1, false);
    state = addLabel(layout, "state", 2, true);
    state->setAlignment(Qt::AlignCenter);
    state->setMinimumHeight(state->fontMetrics().height() * 3 / 2);
    detail = addLabel(layout, "detail", 1, false);
    next = addLabel(layout, "next", 2, true);
    next->setAlignment(Qt::AlignCenter);
    next->hide();
    retest = new QPushButton(QStringLiteral("Test this socket"));
    retest->setObjectName(QStringLiteral("retest"));
    layout->addWidget(retest);
    log = new QTextEdit;
    log->setObjectName(QStringLiteral("log"));
    log->setReadOnly(true);
    log->setMinimumHeight(60);
    log->setMaximumHeight(120);
    layout->addWidget(log, 1);
    connect(retest, &QPushButton::clicked, this, [this] { emit retestClicked(this->key); });
}

void SocketTile::show(const QString &labelText, const QString &chipsText)
{
    label->setText(labelText);
    chips->setText(chipsText);
}

void SocketTile::ready()
{
    setState(QStringLiteral("Ready"), QString(), "background-color:#dddddd;color:black;");
    retest->setEnabled(true);
}

void SocketTile::wiringProblem(const QString &problem)
{
    setState(QStringLiteral("WIRING"), problem, "background-color:#ff9900;color:black;");
    retest->setEnabled(false);
}

void SocketTile::testing()
{
    log->clear();
    setState(QStringLiteral("TESTING IN PROGRESS..."), QString(),
             "background-color:black;color:white;");
    retest->setEnabled(false);
}

void SocketTile::ended(bool passed, qint32 failCode)
{
    if (passed)
        setState(QStringLiteral("PASSED"), QString(), "background-color:green;color:white;");
    else
        setState(QStringLiteral("FAILED (%1)").arg(failCode),
                 QString::fromLatin1(failureCodeMeaning(failCode)),
                 "background-color:red;color:white;");
    retest->setEnabled(true);
}

void SocketTile::waitFor(const QString &what)
{
    next->setText(what);
    next->setVisible(!what.isEmpty());
}

void SocketTile::empty(const QString &what)
{
    setState(what, QString(), "background-color:#dddddd;color:black;");
    waitFor(QString());
    retest->setEnabled(false);
}

void SocketTile::addLine(const QString &line)
{
    appendPlainParagraph(log, line);
}

QString SocketTile::stateText() const
{
    return detail->text().isEmpty() ? state->text()
                                    : state->text() + QStringLiteral(": ") + detail->text();
}

void SocketTile::setState(const QString &text, const QString &detailText, const char *colours)
{
    state->setStyleSheet(QString::fromLatin1(colours));
    state->setText(text);
    detail->setText(detailText);
    detail->setVisible(!detailText.isEmpty());
}
